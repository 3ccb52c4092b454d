#include "text/output.h"

#include <cstdarg>
#include <string>

#include "text/format_engine.h"

namespace {

StdioOutput g_stdout(stdout, true);
MessageOutput* g_output = &g_stdout;

class ByteSink {
 public:
  explicit ByteSink(std::string& bytes) : m_Bytes(bytes) {}
  bool Put(WideChar unit) {
    if (unit == '\n') {
      m_Bytes.append("\r\n", 2);
    } else if (static_cast<std::uint32_t>(unit) <= 0xFF) {
      m_Bytes.push_back(static_cast<char>(static_cast<unsigned char>(unit)));
    } else {
      m_Bytes.push_back('?');
    }
    return true;
  }

 private:
  std::string& m_Bytes;
};

}  // namespace

void StdioOutput::Write(const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, m_Stream);
  if (m_FlushEachMessage) std::fflush(m_Stream);
}

MessageOutput* SetMessageOutput(MessageOutput* output) {
  MessageOutput* previous = g_output;
  g_output = output != nullptr ? output : &g_stdout;
  return previous;
}

void PrintMessage(const WideChar* format, ...) {
  // Kept between calls so that a run of messages allocates once.
  static std::string bytes;
  bytes.clear();
  ByteSink sink(bytes);
  va_list args;
  va_start(args, format);
  FormatTo(sink, format, args);
  va_end(args);
  g_output->Write(bytes.data(), bytes.size());
}
