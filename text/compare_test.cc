#include "text/compare.h"

#include <gtest/gtest.h>

TEST(LowerCaseUnit, FoldsOnlyAsciiCapitals) {
  const struct {
    WideChar in, out;
  } cases[] = {
      {'A', 'a'},     {'Z', 'z'},       {'M', 'm'},       {'a', 'a'},   {'z', 'z'},
      {0x40, 0x40},   {0x5B, 0x5B},     {'0', '0'},       {0xC4, 0xC4}, {0xDE, 0xDE},
      {0x130, 0x130}, {0xD83D, 0xD83D}, {0xFFFF, 0xFFFF}, {0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(LowerCaseUnit(c.in), c.out) << std::hex << int{c.in};
}

TEST(CompareNoCase, EqualOnlyWhenSameLengthAndFoldedUnits) {
  const struct {
    const WideChar* first;
    const WideChar* second;
    bool equal;
  } cases[] = {
      {WIDE("/REALWRITE"), WIDE("/RealWrite"), true},
      {WIDE("/realwrite"), WIDE("/RealWrite"), true},
      {WIDE("/RealWrite "), WIDE("/RealWrite"), false},
      {WIDE("/Real"), WIDE("/RealWrite"), false},
      {WIDE(""), WIDE("/RealWrite"), false},
      {WIDE(""), WIDE(""), true},
      {WIDE("\u00C9T\u00C9"), WIDE("\u00E9t\u00E9"), false},
      {WIDE("\u00C9T\u00C9"), WIDE("\u00C9t\u00C9"), true},
      {WIDE("[x"), WIDE("{x"), false},  // '[' lies just past 'Z', '{' past 'z'
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompareNoCase(c.first, c.second) == 0, c.equal);
  }
}

TEST(CompareNoCase, OrdersByUnsignedFoldedUnits) {
  EXPECT_LT(CompareNoCase(WIDE("a"), WIDE("B")), 0);
  EXPECT_GT(CompareNoCase(WIDE("\uFFFF"), WIDE("a")), 0);  // no sign trouble above 0x7FFF
  EXPECT_EQ(CompareNoCase(WIDE("\uFFFF"), WIDE("")), 0xFFFF);
}

TEST(CompareNoCaseN, LooksAtCountUnitsAtMost) {
  const struct {
    const WideChar* first;
    const WideChar* second;
    std::uint32_t count;
    bool equal;
  } cases[] = {
      {WIDE("anything"), WIDE("else"), 0, true},
      {WIDE("VARIOUS ARTISTS"), WIDE("Various"), 7, true},
      {WIDE("various"), WIDE("Various"), 7, true},
      {WIDE("Var"), WIDE("Various"), 7, false},
      {WIDE("Vario"), WIDE("Various"), 7, false},
      {WIDE("the "), WIDE("The"), 4, false},
      {WIDE("the "), WIDE("THE WALL"), 4, true},
      {WIDE("the "), WIDE("Theatre"), 4, false},
      {WIDE("abc"), WIDE("abc"), 10, true},  // both end together before the count
      {WIDE("abc"), WIDE("abcd"), 10, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompareNoCaseN(c.first, c.second, c.count) == 0, c.equal) << c.count;
  }
}
