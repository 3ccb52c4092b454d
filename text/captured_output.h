// Captures what PrintMessage writes, message by message, for as long as it
// lives (tests only).
#pragma once

#include <string>
#include <vector>

#include "text/output.h"

class CapturedOutput : public MessageOutput {
 public:
  CapturedOutput() : m_Previous(SetMessageOutput(this)) {}
  ~CapturedOutput() override { SetMessageOutput(m_Previous); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  void Write(const char* bytes, std::size_t count) override {
    messages.emplace_back(bytes, count);
    all.append(bytes, count);
  }

  std::vector<std::string> messages;
  std::string all;

 private:
  MessageOutput* m_Previous;
};

// `text` with every line feed written as the tool writes it, CR LF.
inline std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}
