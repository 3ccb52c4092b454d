// The one way the tool writes a message. Every message is formatted by the
// rules of text/format_engine.h and then turned into bytes: code units up to
// 0xFF as one byte of the same value (ISO 8859-1), any other unit as "?", and
// every line feed as CR LF. The bytes of one message reach the output in one
// write, which tests can capture by installing their own MessageOutput.
#pragma once

#include <cstddef>
#include <cstdio>

#include "text/wide.h"

class MessageOutput {
 public:
  virtual ~MessageOutput() = default;
  // Failures are not reported: nobody could act on them.
  virtual void Write(const char* bytes, std::size_t count) = 0;
};

// A stdio stream; on a console each message is flushed at once, elsewhere the
// stream's buffer holds it until it fills or the process exits.
class StdioOutput : public MessageOutput {
 public:
  StdioOutput(std::FILE* stream, bool flushEachMessage)
      : m_Stream(stream), m_FlushEachMessage(flushEachMessage) {}
  void Write(const char* bytes, std::size_t count) override;

 private:
  std::FILE* m_Stream;
  bool m_FlushEachMessage;
};

// Installs `output` (null: the default, stdout flushed per message) and
// returns the one it replaces.
MessageOutput* SetMessageOutput(MessageOutput* output);

void PrintMessage(const WideChar* format, ...);
