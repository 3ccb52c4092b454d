#include "text/output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "text/captured_output.h"

TEST(PrintMessage, EncodesEachUnitAsOneByteOrQuestionMark) {
  const struct {
    const WideChar* text;
    std::string bytes;
  } cases[] = {
      {WIDE("Caf\u00E9"), "\x43\x61\x66\xE9"},
      {WIDE("\u20AC5"), "?5"},
      {WIDE("\U0001F3B5"), "??"},
      {nullptr, "(null)"},
      {WIDE("a\nb\n"), "a\r\nb\r\n"},  // inside a substituted text too
      {WIDE("\u00FF\u0100\u0080"), "\xFF?\x80"},
      {WIDE("\r"), "\r"},
  };
  for (const auto& c : cases) {
    CapturedOutput output;
    PrintMessage(WIDE("%s"), c.text);
    EXPECT_EQ(output.all, c.bytes);
  }
}

TEST(PrintMessage, WritesOneMessageInOneWrite) {
  CapturedOutput output;
  PrintMessage(WIDE("%s - %s --> %ld\n"), WIDE("Pink Floyd"), WIDE("The Wall"), 1980);
  PrintMessage(WIDE("."));
  ASSERT_EQ(output.messages.size(), 2u);
  EXPECT_EQ(output.messages[0], "Pink Floyd - The Wall --> 1980\r\n");
  EXPECT_EQ(output.messages[1], ".");
}

TEST(StdioOutput, BufferedStreamHoldsEveryMessageOnceClosed) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    StdioOutput stream(file, false);
    MessageOutput* previous = SetMessageOutput(&stream);
    for (int i = 0; i < 10000; ++i) PrintMessage(WIDE("line %d\n"), i);
    SetMessageOutput(previous);
  }
  std::fflush(file);
  std::rewind(file);
  std::string content;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) content.append(chunk, n);
  std::fclose(file);
  EXPECT_EQ(content.substr(0, 16), "line 0\r\nline 1\r\n");
  EXPECT_EQ(content.size(), std::string::size_type{10 * 8 + 90 * 9 + 900 * 10 + 9000 * 11});
}
