#include "folder/vorbis_comment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Le32(std::uint64_t value) { return LittleEndianBytes(value, 4); }

// A comment list as the bytes say it: vendor, fields in order, what follows.
struct CommentList {
  std::string vendor;
  std::vector<std::string> fields;
  std::string trailing;
  bool operator==(const CommentList& other) const {
    return vendor == other.vendor && fields == other.fields && trailing == other.trailing;
  }
};

std::string Build(const CommentList& list) {
  std::string out = Le32(list.vendor.size()) + list.vendor + Le32(list.fields.size());
  for (const std::string& field : list.fields) out += Le32(field.size()) + field;
  return out + list.trailing;
}

// The test's own reading, which keeps order, key case and stray bytes.
bool Parse(const std::string& bytes, CommentList& list) {
  std::size_t at = 0;
  const auto take = [&bytes, &at](std::size_t length, std::string& out) {
    if (bytes.size() - at < length) return false;
    out = bytes.substr(at, length);
    at += length;
    return true;
  };
  std::string number;
  if (!take(4, number) || !take(LittleEndian(number, 0, 4), list.vendor)) return false;
  if (!take(4, number)) return false;
  const std::uint64_t count = LittleEndian(number, 0, 4);
  list.fields.clear();
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string field;
    if (!take(4, number) || !take(LittleEndian(number, 0, 4), field)) return false;
    list.fields.push_back(field);
  }
  list.trailing = bytes.substr(at);
  return true;
}

std::ostream& operator<<(std::ostream& out, const CommentList& list) {
  out << "vendor[" << list.vendor << "] fields{";
  for (const std::string& field : list.fields) out << "[" << field << "]";
  return out << "} trailing[" << list.trailing.size() << " bytes]";
}

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

const std::string kOddVendor("ve\0n=d\xFF\x80or", 10);

struct EditCase {
  const char* name;
  CommentList before;
  WideString value;
  CommentList after;
};

// By name in the test log, not as bytes.
void PrintTo(const EditCase& c, std::ostream* out) { *out << c.name; }

class EditVorbisCommentTable : public testing::TestWithParam<EditCase> {};

TEST_P(EditVorbisCommentTable, GivesExactlyTheNewList) {
  const EditCase& c = GetParam();
  const std::string before = Build(c.before);
  Splices splices;
  std::string reason;
  ASSERT_TRUE(EditVorbisComment(before, c.value, splices, reason)) << reason;
  EXPECT_TRUE(SplicesAreOrdered(splices, before.size()));
  const std::string after = ApplySplices(before, splices);
  CommentList parsed;
  ASSERT_TRUE(Parse(after, parsed));
  EXPECT_EQ(parsed, c.after);
  EXPECT_EQ(after, Build(c.after));
  if (c.before == c.after) {
    EXPECT_TRUE(splices.empty());
  }
  // The vendor is never touched.
  for (const Splice& splice : splices) EXPECT_GE(splice.offset, 4 + c.before.vendor.size());
}

const std::string kFraming("\x01", 1);

INSTANTIATE_TEST_SUITE_P(
    Cases, EditVorbisCommentTable,
    testing::Values(
        EditCase{"ReplacesTheFirstUnderItsSpellingAndRemovesTheRest",
                 {"v", {"TITLE=x", "AlbumSort=old", "ARTIST=y", "ALBUMSORT=older"}, ""},
                 WIDE("new value"),
                 {"v", {"TITLE=x", "AlbumSort=new value", "ARTIST=y"}, ""}},
        EditCase{"KeepsAFirstThatAlreadyMatchesAndRemovesTheRest",
                 {"v", {"albumsort=same", "ALBUMSORT=other"}, ""},
                 WIDE("same"),
                 {"v", {"albumsort=same"}, ""}},
        EditCase{"InsertsAfterTheLastFieldAndBeforeTheFramingBit",
                 {"v", {"TITLE=x", "ARTIST=y"}, kFraming},
                 WIDE("Wall, The"),
                 {"v", {"TITLE=x", "ARTIST=y", "ALBUMSORT=Wall, The"}, kFraming}},
        EditCase{"InsertsIntoAnEmptyList", {"", {}, ""}, WIDE("a"), {"", {"ALBUMSORT=a"}, ""}},
        EditCase{"RemovesEveryOneForAnEmptyValue",
                 {"v", {"ALBUMSORT=a", "TITLE=x", "albumSort=b"}, kFraming},
                 WIDE(""),
                 {"v", {"TITLE=x"}, kFraming}},
        EditCase{"ReplacesAnEmptyValue",
                 {"v", {"ALBUMSORT=", "COMMENT="}, ""},
                 WIDE("b"),
                 {"v", {"ALBUMSORT=b", "COMMENT="}, ""}},
        EditCase{"ShrinksAValue",
                 {"v", {"ALBUMSORT=a long old value", "X=1"}, ""},
                 WIDE("s"),
                 {"v", {"ALBUMSORT=s", "X=1"}, ""}},
        EditCase{"EncodesUtf8IncludingPairs",
                 {"v", {}, ""},
                 WIDE("\u00C6r\u00F8 \U0001F3B5"),
                 {"v", {"ALBUMSORT=\xC3\x86r\xC3\xB8 \xF0\x9F\x8E\xB5"}, ""}},
        EditCase{"KeepsAVendorWithOddBytes",
                 {kOddVendor, {"ALBUMSORT=a"}, ""},
                 WIDE("bb"),
                 {kOddVendor, {"ALBUMSORT=bb"}, ""}},
        EditCase{
            "LeavesKeysThatOnlyLookAlike",
            {"v", {"ALBUMSORT", "ALBUMSORTX=1", "ALBUMSORT =2", "XALBUMSORT=3", "=4"}, ""},
            WIDE("z"),
            {"v",
             {"ALBUMSORT", "ALBUMSORTX=1", "ALBUMSORT =2", "XALBUMSORT=3", "=4", "ALBUMSORT=z"},
             ""}},
        EditCase{"KeepsInvalidUtf8InOtherFields",
                 {"v", {"TITLE=\xFF\xFE\xC3", "ALBUMSORT=\x80"}, ""},
                 WIDE("ok"),
                 {"v", {"TITLE=\xFF\xFE\xC3", "ALBUMSORT=ok"}, ""}},
        EditCase{"NoChangeForTheSameValue",
                 {"v", {"ALBUMSORT=Wall, The"}, kFraming},
                 WIDE("Wall, The"),
                 {"v", {"ALBUMSORT=Wall, The"}, kFraming}},
        EditCase{"NoChangeForAnEmptyValueWithoutTheField",
                 {"v", {"TITLE=x"}, ""},
                 WIDE(""),
                 {"v", {"TITLE=x"}, ""}}),
    CaseName<EditCase>);

TEST(EditVorbisComment, SplicesOnlyTheCountAndTheField) {
  // Vendor "v": the count at 5, TITLE's field at 9, ALBUMSORT's at 20.
  const std::string before = Build({"v", {"TITLE=x", "ALBUMSORT=a", "ALBUMSORT=b"}, ""});
  Splices splices;
  std::string reason;
  ASSERT_TRUE(EditVorbisComment(before, WIDE("cd"), splices, reason)) << reason;
  ASSERT_EQ(splices.size(), 3u);
  EXPECT_EQ(splices[0].offset, 5u);
  EXPECT_EQ(splices[0].length, 4u);
  EXPECT_EQ(splices[0].bytes, Le32(2));
  EXPECT_EQ(splices[1].offset, 20u);
  EXPECT_EQ(splices[1].length, 15u);
  EXPECT_EQ(splices[1].bytes, Le32(12) + "ALBUMSORT=cd");
  EXPECT_EQ(splices[2].offset, 35u);
  EXPECT_EQ(splices[2].length, 15u);
  EXPECT_EQ(splices[2].bytes, "");
}

TEST(EditVorbisComment, SameCountGivesNoCountSplice) {
  const std::string before = Build({"v", {"ALBUMSORT=a"}, ""});
  Splices splices;
  std::string reason;
  ASSERT_TRUE(EditVorbisComment(before, WIDE("b"), splices, reason)) << reason;
  ASSERT_EQ(splices.size(), 1u);
  EXPECT_EQ(splices[0].offset, 9u);
}

struct RefusalCase {
  const char* name;
  std::string comment;
  WideString value;
  const char* reason = "the comment list is cut short";
};

const char kSurrogate[] = "the new value holds an unpaired UTF-16 surrogate";

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class EditVorbisCommentRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(EditVorbisCommentRefusals, RefusesWithAReason) {
  Splices splices{{0, 0, "stale"}};
  std::string reason;
  EXPECT_FALSE(EditVorbisComment(GetParam().comment, GetParam().value, splices, reason));
  EXPECT_EQ(reason, GetParam().reason);
}

const std::string kWhole = Build({"vendor", {"TITLE=x", "ALBUMSORT=a"}, ""});

INSTANTIATE_TEST_SUITE_P(
    Cases, EditVorbisCommentRefusals,
    testing::Values(
        RefusalCase{"Empty", "", WIDE("a")},
        RefusalCase{"InsideTheVendorLength", kWhole.substr(0, 3), WIDE("a")},
        RefusalCase{"InsideTheVendor", kWhole.substr(0, 7), WIDE("a")},
        RefusalCase{"BeforeTheCount", kWhole.substr(0, 10), WIDE("a")},
        RefusalCase{"InsideTheCount", kWhole.substr(0, 12), WIDE("a")},
        RefusalCase{"BeforeAField", kWhole.substr(0, 14), WIDE("a")},
        RefusalCase{"InsideAFieldLength", kWhole.substr(0, 16), WIDE("a")},
        RefusalCase{"InsideAField", kWhole.substr(0, 20), WIDE("a")},
        RefusalCase{"InsideTheLastField", kWhole.substr(0, kWhole.size() - 1), WIDE("")},
        RefusalCase{"CountTooHigh", Le32(0) + Le32(2) + Le32(3) + "A=1", WIDE("a")},
        RefusalCase{"VendorTooLong", Le32(0xFFFFFFFF) + "v" + Le32(0), WIDE("a")},
        RefusalCase{"LoneHighSurrogate", kWhole, WideString(1, WideChar(0xD800)), kSurrogate},
        RefusalCase{"HighSurrogateThenLetter", kWhole, WideString{WideChar(0xDBFF), WideChar('a')},
                    kSurrogate},
        RefusalCase{"LoneLowSurrogate", kWhole, WideString{WideChar('a'), WideChar(0xDC00)},
                    kSurrogate}),
    CaseName<RefusalCase>);

}  // namespace
