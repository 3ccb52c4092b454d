#include "text/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "library/kernel.h"

namespace {

class FormatNewTest : public ::testing::Test {
 protected:
  void TearDown() override { SetFormatNewCapacityLimit(std::numeric_limits<std::size_t>::max()); }

  static WideString Format(const WideChar* format, const WideChar* prefix, std::int32_t year,
                           const WideChar* title) {
    WideChar* text = FormatNew(format, prefix, year, title);
    if (text == nullptr) return WIDE("<none>");
    WideString result(text);
    delete[] text;
    return result;
  }
};

TEST_F(FormatNewTest, AppliesTheConversions) {
  const struct {
    const WideChar* format;
    const WideChar* prefix;
    std::int32_t year;
    const WideChar* title;
    const WideChar* expected;
  } cases[] = {
      {WIDE("%s%ld %s"), WIDE("9999 "), 1998, WIDE("Summer Hits"), WIDE("9999 1998 Summer Hits")},
      {WIDE("%s%ld %s"), WIDE(""), 1979, WIDE("Wall"), WIDE("1979 Wall")},
      {WIDE("%s%d %s"), WIDE(""), -5, WIDE("x"), WIDE("-5 x")},
      {WIDE("%s%d %s"), WIDE(""), 0, WIDE("x"), WIDE("0 x")},
      {WIDE("%s%d %s"), WIDE(""), INT32_MIN, WIDE("x"), WIDE("-2147483648 x")},
      {WIDE("%s%d %s"), WIDE(""), INT32_MAX, WIDE("x"), WIDE("2147483647 x")},
      {WIDE("[%s|%d|%s]"), nullptr, 7, WIDE("\u20AC"), WIDE("[(null)|7|\u20AC]")},
      {WIDE("100% %x %s%d%s"), WIDE("a"), 1, WIDE("b"), WIDE("100% %x a1b")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Format(c.format, c.prefix, c.year, c.title), c.expected);
  }
}

// A text of L units needs the first capacity of at least L + 1: 63 units fit
// in the first 64, 64 units need the second attempt.
TEST_F(FormatNewTest, GrowsUntilTheTextFits) {
  const WideString title53(53, 'x'), title54(54, 'x');
  SetFormatNewCapacityLimit(64);
  EXPECT_EQ(Format(WIDE("%s%ld %s"), WIDE("9999 "), 2001, title53.c_str()),
            WIDE("9999 2001 ") + title53);
  EXPECT_EQ(Format(WIDE("%s%ld %s"), WIDE("9999 "), 2001, title54.c_str()), WIDE("<none>"));
  SetFormatNewCapacityLimit(128);
  EXPECT_EQ(Format(WIDE("%s%ld %s"), WIDE("9999 "), 2001, title54.c_str()),
            WIDE("9999 2001 ") + title54);

  const WideString huge(100000, 'y');
  SetFormatNewCapacityLimit(std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(Format(WIDE("%s%ld %s"), WIDE(""), 2001, huge.c_str()), WIDE("2001 ") + huge);
}

TEST_F(FormatNewTest, FailedAllocationGivesNoneAndTheLastError) {
  for (std::size_t limit : {std::size_t{0}, std::size_t{64}}) {
    SetLastError(0);
    SetFormatNewCapacityLimit(limit);
    const WideString title(100, 't');
    EXPECT_EQ(FormatNew(WIDE("%s%ld %s"), WIDE(""), 1990, title.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  }
}

}  // namespace
