#include "driver/utf8.h"

#include <gtest/gtest.h>

TEST(Utf8ToWide, DecodesWellFormedAndReplacesEachIllFormedSequence) {
  const struct {
    const char* bytes;
    WideString units;
  } cases[] = {
      {"/RealWrite", WIDE("/RealWrite")},
      {"", WIDE("")},
      {"Caf\xC3\xA9", WIDE("Caf\u00E9")},
      {"\xE2\x82\xAC", WIDE("\u20AC")},
      {"\xF0\x9F\x8E\xB5", WIDE("\U0001F3B5")},
      {"\xF4\x8F\xBF\xBF", WIDE("\U0010FFFF")},
      {"\xEF\xBF\xBF", WIDE("\uFFFF")},
      {"\xFF", WIDE("\uFFFD")},
      {"a\x80z", WIDE("a\uFFFDz")},
      {"\xC3", WIDE("\uFFFD")},            // cut short at the end
      {"\xC3z", WIDE("\uFFFDz")},          // the next byte is kept
      {"\xC0\xAF", WIDE("\uFFFD\uFFFD")},  // overlong
      {"\xE0\x80\xAF", WIDE("\uFFFD\uFFFD\uFFFD")},
      {"\xED\xA0\x80", WIDE("\uFFFD\uFFFD\uFFFD")},            // an encoded surrogate
      {"\xF4\x90\x80\x80", WIDE("\uFFFD\uFFFD\uFFFD\uFFFD")},  // past U+10FFFF
      {"\xF0\x9F\x8E", WIDE("\uFFFD")},
      {"\xE2\x82/", WIDE("\uFFFD/")},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToWide(c.bytes), c.units) << c.bytes;
}
