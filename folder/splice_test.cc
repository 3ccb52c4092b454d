#include "folder/splice.h"

#include <gtest/gtest.h>

namespace {

TEST(ApplySplices, ReplacesInsertsAndRemoves) {
  const std::string original = "0123456789";
  const struct {
    const char* what;
    Splices splices;
    std::string expected;
  } cases[] = {
      {"none", {}, "0123456789"},
      {"insert at the start", {{0, 0, "ab"}}, "ab0123456789"},
      {"insert at the end", {{10, 0, "ab"}}, "0123456789ab"},
      {"replace with longer", {{2, 2, "abcd"}}, "01abcd456789"},
      {"remove", {{2, 3, ""}}, "0156789"},
      {"several, insertion first at one offset",
       {{0, 1, "a"}, {5, 0, "b"}, {5, 5, "c"}},
       "a1234bc"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(SplicesAreOrdered(c.splices, original.size())) << c.what;
    EXPECT_EQ(ApplySplices(original, c.splices), c.expected) << c.what;
  }
}

TEST(SplicesAreOrdered, RefusesOverlapsDisorderAndSplicesPastTheEnd) {
  const struct {
    const char* what;
    Splices splices;
  } cases[] = {
      {"overlap", {{0, 4, ""}, {3, 1, ""}}},
      {"out of order", {{5, 1, ""}, {1, 1, ""}}},
      {"past the end", {{8, 3, ""}}},
      {"starts past the end", {{11, 0, "x"}}},
      {"length that wraps", {{5, ~std::uint64_t{0}, ""}}},
  };
  for (const auto& c : cases) EXPECT_FALSE(SplicesAreOrdered(c.splices, 10)) << c.what;
}

TEST(EncodeText, Utf8AndUtf16WithSurrogatePairsOnly) {
  const struct {
    WideString value;
    bool valid;
    std::string utf8;
  } cases[] = {
      {WIDE("Wall"), true, "Wall"},
      {WIDE("\u00E9t\u00E9"), true, "\xC3\xA9t\xC3\xA9"},
      {WIDE("\u20AC"), true, "\xE2\x82\xAC"},
      {{WideChar(0xD83C), WideChar(0xDFB5)}, true, "\xF0\x9F\x8E\xB5"},  // U+1F3B5
      {{WideChar(0xD83C)}, false, ""},
      {{WideChar(0xDFB5), WideChar('x')}, false, ""},
      {{WideChar(0xD83C), WideChar('x')}, false, ""},
      {WideString(), true, ""},
  };
  for (const auto& c : cases) {
    std::string utf8, utf16;
    EXPECT_EQ(EncodeUtf8(c.value, utf8), c.valid);
    EXPECT_EQ(EncodeUtf16Le(c.value, utf16), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(utf8, c.utf8);
    ASSERT_EQ(utf16.size(), c.value.size() * 2);
    for (std::size_t i = 0; i < c.value.size(); ++i) {
      EXPECT_EQ(LittleEndian(utf16, 2 * i, 2), static_cast<std::uint64_t>(c.value[i]));
    }
  }
}

TEST(Endian, ReadsWhatItWrites) {
  for (const std::uint64_t value : {std::uint64_t{0}, std::uint64_t{0x12345678},
                                    std::uint64_t{0xFFFFFFFF}, std::uint64_t{0x0102030405060708}}) {
    for (const int count : {4, 8}) {
      const std::uint64_t kept = count == 8 ? value : value & 0xFFFFFFFF;
      EXPECT_EQ(LittleEndian(LittleEndianBytes(value, count), 0, count), kept);
      EXPECT_EQ(BigEndian(BigEndianBytes(value, count), 0, count), kept);
    }
  }
  EXPECT_EQ(BigEndianBytes(0x0A0B0C0D, 4), "\x0A\x0B\x0C\x0D");
  EXPECT_EQ(LittleEndianBytes(0x0A0B0C0D, 4), "\x0D\x0C\x0B\x0A");
}

}  // namespace
