#include "folder/flac_edit.h"

#include <gtest/gtest.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kStreamInfo = 0;
constexpr int kPadding = 1;
constexpr int kApplication = 2;
constexpr int kSeekTable = 3;
constexpr int kVorbisComment = 4;
constexpr int kCueSheet = 5;
constexpr int kPicture = 6;

std::string Le32(std::uint64_t value) { return LittleEndianBytes(value, 4); }
std::string Be(std::uint64_t value, int count) { return BigEndianBytes(value, count); }

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

// ---- Blocks and files, byte by byte.

struct Block {
  int type = 0;
  std::string content;
  bool operator==(const Block& other) const {
    return type == other.type && content == other.content;
  }
};

std::string RawBlock(int type, bool last, const std::string& content) {
  return std::string(1, static_cast<char>(type | (last ? 0x80 : 0))) + Be(content.size(), 3) +
         content;
}

std::string CommentList(const std::vector<std::string>& fields, const std::string& vendor) {
  std::string out = Le32(vendor.size()) + vendor + Le32(fields.size());
  for (const std::string& field : fields) out += Le32(field.size()) + field;
  return out;
}

Block Comment(const std::vector<std::string>& fields, const std::string& vendor = "ffmpeg") {
  return {kVorbisComment, CommentList(fields, vendor)};
}

// What the editor adds when the file has no comment block.
Block NewComment(const std::string& field) { return Comment({field}, ""); }

Block Padding(std::size_t length) { return {kPadding, std::string(length, '\0')}; }

// A PICTURE block TagLib parses, with `size` bytes of image.
Block Picture(std::size_t size) {
  std::string image(size, '\0');
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<char>(i * 7 + 3);
  return {kPicture, Be(3, 4) + Be(9, 4) + "image/png" + Be(5, 4) + "cover" + Be(1, 4) + Be(1, 4) +
                        Be(24, 4) + Be(0, 4) + Be(size, 4) + image};
}

Block Application() { return {kApplication, "kstr" + std::string("\x01\x02\xFF", 3)}; }
Block SeekTable() { return {kSeekTable, std::string(18, '\x11')}; }

// Not from a CD: track 1 with one index at the start, then the lead-out
// after the sample's 2000 samples.
Block CueSheet() {
  const std::string isrcAndFlags(12 + 14, '\0');
  const std::string track =
      Be(0, 8) + '\x01' + isrcAndFlags + '\x01' + Be(0, 8) + '\x01' + std::string(3, '\0');
  const std::string leadOut = Be(2000, 8) + '\xFF' + isrcAndFlags + '\0';
  return {kCueSheet, std::string(128 + 8 + 259, '\0') + '\x02' + track + leadOut};
}

// ---- Frames: a tiny encoder of constant-signal frames, for streams the
// sample cannot give (variable block sizes, many frames, exact cut points).

unsigned Crc8(const std::string& bytes) {
  unsigned crc = 0;
  for (char c : bytes) {
    const unsigned byte = static_cast<unsigned char>(c);
    for (unsigned bit = 8; bit-- > 0;) {
      const bool top = ((crc >> 7) & 1) != ((byte >> bit) & 1);
      crc = ((crc << 1) & 0xFF) ^ (top ? 0x07 : 0);
    }
  }
  return crc;
}

unsigned Crc16(const std::string& bytes) {
  unsigned crc = 0;
  for (char c : bytes) {
    const unsigned byte = static_cast<unsigned char>(c);
    for (unsigned bit = 8; bit-- > 0;) {
      const bool top = ((crc >> 15) & 1) != ((byte >> bit) & 1);
      crc = ((crc << 1) & 0xFFFF) ^ (top ? 0x8005 : 0);
    }
  }
  return crc;
}

std::string CodedNumber(std::uint64_t number) {
  if (number < 0x80) return std::string(1, static_cast<char>(number));
  int bytes = 2;
  while (bytes < 7 && number >= (std::uint64_t{1} << (5 * bytes + 1))) ++bytes;
  std::string out(static_cast<std::size_t>(bytes), '\0');
  for (int i = bytes - 1; i > 0; --i, number >>= 6) {
    out[static_cast<std::size_t>(i)] = static_cast<char>(0x80 | (number & 0x3F));
  }
  out[0] = static_cast<char>((0xFF00u >> bytes) | number);
  return out;
}

// A mono frame of `blockSize` samples of one value; rate and depth from STREAMINFO.
std::string Frame(bool variable, std::uint64_t number, unsigned blockSize) {
  std::string header = std::string("\xFF", 1) + static_cast<char>(variable ? 0xF9 : 0xF8) +
                       std::string("\x70\x00", 2) + CodedNumber(number) + Be(blockSize - 1, 2);
  header.push_back(static_cast<char>(Crc8(header)));
  const std::string frame = header + std::string("\x00\x12\x34", 3);
  return frame + Be(Crc16(frame), 2);
}

std::string StreamInfo(unsigned minBlock, unsigned maxBlock, std::uint64_t maxFrame,
                       std::uint64_t total) {
  const std::uint64_t packed = std::uint64_t{8000} << 44 | std::uint64_t{15} << 36 | total;
  return Be(minBlock, 2) + Be(maxBlock, 2) + Be(0, 3) + Be(maxFrame, 3) + Be(packed, 8) +
         std::string(16, '\0');
}

struct Audio {
  std::string streamInfo;
  std::string frames;
  std::vector<std::size_t> frameEnds;  // where each frame ends, within `frames`
};

Audio BuiltAudio(bool variable, const std::vector<unsigned>& blockSizes,
                 bool knownMaxFrame = true) {
  Audio audio;
  std::uint64_t samples = 0;
  std::size_t maxFrame = 0;
  for (std::size_t i = 0; i < blockSizes.size(); ++i) {
    const std::string frame = Frame(variable, variable ? samples : i, blockSizes[i]);
    audio.frames += frame;
    audio.frameEnds.push_back(audio.frames.size());
    maxFrame = std::max(maxFrame, frame.size());
    samples += blockSizes[i];
  }
  // The smallest block leaves out the last, which may be shorter.
  const unsigned largest = *std::max_element(blockSizes.begin(), blockSizes.end());
  const unsigned smallest = blockSizes.size() == 1
                                ? largest
                                : *std::min_element(blockSizes.begin(), blockSizes.end() - 1);
  audio.streamInfo = StreamInfo(smallest, largest, knownMaxFrame ? maxFrame : 0, samples);
  return audio;
}

// The audio of the sample FLAC (ffmpeg's: four fixed-size frames of 576 samples).
const Audio& SampleAudio() {
  static const Audio audio = [] {
    std::ifstream in(std::string(KESTRUNE_SAMPLE_LIBRARY) + "/Pink Floyd/The Wall/02 Hey You.flac",
                     std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string file = bytes.str();
    Audio made;
    std::size_t at = 4;
    bool last = false;
    while (!last && at + 4 <= file.size()) {
      last = (static_cast<unsigned char>(file[at]) & 0x80) != 0;
      const auto length = static_cast<std::size_t>(BigEndian(file, at + 1, 3));
      if ((file[at] & 0x7F) == kStreamInfo) made.streamInfo = file.substr(at + 4, length);
      at += 4 + length;
    }
    made.frames = file.substr(std::min(at, file.size()));
    return made;
  }();
  return audio;
}

Block Info(const Audio& audio = SampleAudio()) { return {kStreamInfo, audio.streamInfo}; }

// `prefix`: ID3v2 tags; `suffix`: an ID3v1 tag.
std::string Build(const std::vector<Block>& blocks,
                  const std::string& frames = SampleAudio().frames, const std::string& prefix = "",
                  const std::string& suffix = "") {
  std::string out = prefix + "fLaC";
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    out += RawBlock(blocks[i].type, i + 1 == blocks.size(), blocks[i].content);
  }
  return out + frames + suffix;
}

std::string Id3v23() {
  const std::string frame = std::string("TIT2") + Be(4, 4) + std::string("\0\0\0Hey", 6);
  return std::string("ID3\x03\x00\x00", 6) + Be(frame.size() + 7, 4) + frame + std::string(7, '\0');
}

std::string Id3v24WithFooter() {
  const std::string frame = std::string("TIT2") + Be(4, 4) + std::string("\0\0\0Hey", 6);
  return std::string("ID3\x04\x00\x10", 6) + Be(frame.size(), 4) + frame +
         std::string("3DI\x04\x00\x10", 6) + Be(frame.size(), 4);
}

std::string Id3v1() {
  std::string tag = "TAG" + std::string("Hey You");
  tag.resize(127, '\0');
  return tag + '\x09';
}

// ---- Reading results back, independently of the editor.

// The blocks as the bytes hold them; false unless exactly the last one is
// marked last and a frame sync follows it.
bool ParseBlocks(const std::string& file, std::size_t at, std::vector<Block>& blocks,
                 std::size_t& audioAt) {
  if (file.compare(at, 4, "fLaC") != 0) return false;
  at += 4;
  blocks.clear();
  for (bool last = false; !last;) {
    if (at + 4 > file.size()) return false;
    last = (static_cast<unsigned char>(file[at]) & 0x80) != 0;
    const auto length = static_cast<std::size_t>(BigEndian(file, at + 1, 3));
    if (at + 4 + length > file.size()) return false;
    blocks.push_back({file[at] & 0x7F, file.substr(at + 4, length)});
    at += 4 + length;
  }
  audioAt = at;
  return file.compare(at, 1, "\xFF") == 0;
}

std::vector<std::string> Fields(const std::string& content, std::string* vendor = nullptr) {
  std::vector<std::string> fields;
  const auto vendorLength = static_cast<std::size_t>(LittleEndian(content, 0, 4));
  if (vendor) *vendor = content.substr(4, vendorLength);
  std::size_t at = 4 + vendorLength;
  const auto count = LittleEndian(content, at, 4);
  at += 4;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto length = static_cast<std::size_t>(LittleEndian(content, at, 4));
    fields.push_back(content.substr(at + 4, length));
    at += 4 + length;
  }
  return fields;
}

const char* TypeName(int type) {
  static const char* const kNames[] = {"STREAMINFO",     "PADDING",  "APPLICATION", "SEEKTABLE",
                                       "VORBIS_COMMENT", "CUESHEET", "PICTURE"};
  return type >= 0 && type <= kPicture ? kNames[type] : "UNKNOWN";
}

// One line a block, the comments with their vendor and fields in order.
std::vector<std::string> Describe(const std::vector<Block>& blocks) {
  std::vector<std::string> lines;
  for (const Block& block : blocks) {
    std::string line =
        std::string(TypeName(block.type)) + " " + std::to_string(block.content.size());
    if (block.type == kVorbisComment) {
      std::string vendor;
      const std::vector<std::string> fields = Fields(block.content, &vendor);
      line += " [" + vendor + "]";
      for (const std::string& field : fields) line += " {" + field + "}";
    }
    lines.push_back(line);
  }
  return lines;
}

std::string FirstDifference(const std::string& actual, const std::string& expected) {
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return "sizes " + std::to_string(actual.size()) + " and " + std::to_string(expected.size()) +
         ", first difference at " + std::to_string(at);
}

std::string Utf8(const WideString& value) {
  std::string utf8;
  EXPECT_TRUE(EncodeUtf8(value, utf8));
  return utf8;
}

using FieldMap = std::map<std::string, std::vector<std::string>>;

// What TagLib makes of the file's comment, next to what the first comment
// block of `blocks` should give it: TagLib drops fields without a key and
// values that are empty (invalid UTF-8 reads as empty), and upper-cases keys.
void ExpectTagLibReads(const std::string& file, const std::vector<Block>& blocks,
                       const WideString& value) {
  TagLib::ByteVector data(file.data(), static_cast<unsigned>(file.size()));
  TagLib::ByteVectorStream stream(data);
  TagLib::FLAC::File flac(&stream, TagLib::ID3v2::FrameFactory::instance());
  ASSERT_TRUE(flac.isValid());
  FieldMap expected;
  for (const Block& block : blocks) {
    if (block.type != kVorbisComment) continue;
    for (const std::string& field : Fields(block.content)) {
      const std::size_t sep = field.find('=');
      if (sep == std::string::npos || sep == 0) continue;
      const TagLib::String text(
          TagLib::ByteVector(field.data() + sep + 1, static_cast<unsigned>(field.size() - sep - 1)),
          TagLib::String::UTF8);
      if (text.isEmpty()) continue;
      expected[TagLib::String(field.substr(0, sep)).upper().to8Bit()].push_back(text.to8Bit(true));
    }
    break;
  }
  FieldMap actual;
  if (flac.hasXiphComment()) {
    for (const auto& entry : flac.xiphComment()->fieldListMap()) {
      for (const TagLib::String& text : entry.second) {
        actual[entry.first.to8Bit(true)].push_back(text.to8Bit(true));
      }
    }
  }
  EXPECT_EQ(actual, expected);
  const auto sort = actual.find("ALBUMSORT");
  if (value.empty()) {
    EXPECT_TRUE(sort == actual.end());
  } else {
    ASSERT_TRUE(sort != actual.end());
    EXPECT_EQ(sort->second, std::vector<std::string>{Utf8(value)});
  }
}

// ---- The edits.

const WideString kValue = WIDE("Wall, The");
const std::string kSort = "ALBUMSORT=Wall, The";
constexpr std::size_t kSortGrowth = 4 + 19;    // a new field of kSort
constexpr std::size_t kNewBlock = 4 + 8 + 23;  // header, empty vendor and count, the field
const std::vector<std::string> kFields = {"TITLE=Hey You", "ARTIST=Pink Floyd", "ALBUM=The Wall"};

std::vector<std::string> With(std::vector<std::string> fields, const std::string& more) {
  fields.push_back(more);
  return fields;
}

struct LayoutCase {
  LayoutCase(const char* name_, std::vector<Block> before_, WideString value_,
             std::vector<Block> after_, std::string prefix_ = "", std::string suffix_ = "")
      : name(name_),
        before(std::move(before_)),
        value(std::move(value_)),
        after(std::move(after_)),
        prefix(std::move(prefix_)),
        suffix(std::move(suffix_)) {}
  const char* name;
  std::vector<Block> before;
  WideString value;
  std::vector<Block> after;
  std::string prefix;  // ID3v2 tags
  std::string suffix;  // an ID3v1 tag
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

class FlacLayouts : public testing::TestWithParam<LayoutCase> {};

TEST_P(FlacLayouts, ChangeOnlyTheCommentAndItsRoom) {
  const LayoutCase& c = GetParam();
  const std::string original = Build(c.before, SampleAudio().frames, c.prefix, c.suffix);
  Splices splices;
  std::string reason;
  ASSERT_TRUE(EditFlacSortAlbum(StringSource(original), c.value, splices, reason)) << reason;
  ASSERT_TRUE(SplicesAreOrdered(splices, original.size()));
  const std::string result = ApplySplices(original, splices);

  std::vector<Block> blocks;
  std::size_t audioAt = 0;
  ASSERT_TRUE(ParseBlocks(result, c.prefix.size(), blocks, audioAt));
  EXPECT_EQ(Describe(blocks), Describe(c.after));
  EXPECT_EQ(result.substr(0, c.prefix.size()), c.prefix);
  EXPECT_EQ(result.substr(audioAt), SampleAudio().frames + c.suffix);
  const std::string expected = Build(c.after, SampleAudio().frames, c.prefix, c.suffix);
  EXPECT_TRUE(result == expected) << FirstDifference(result, expected);
  if (c.before == c.after) {
    EXPECT_TRUE(splices.empty());
  }
  ExpectTagLibReads(result, c.after, c.value);
}

const LayoutCase kLayouts[] = {
    {"AddsAndGrowsWithoutPadding",
     {Info(), Comment(kFields)},
     kValue,
     {Info(), Comment(With(kFields, kSort))}},
    {"AddsIntoTheFollowingPadding",
     {Info(), Comment(kFields), Padding(100)},
     kValue,
     {Info(), Comment(With(kFields, kSort)), Padding(100 - kSortGrowth)}},
    {"GrowsAValueIntoPadding",
     {Info(), Comment({"TITLE=Hey You", "ALBUMSORT=x", "ALBUM=The Wall"}), Padding(100)},
     kValue,
     {Info(), Comment({"TITLE=Hey You", kSort, "ALBUM=The Wall"}), Padding(100 - 8)}},
    {"ShrinksAValueIntoPadding",
     {Info(), Comment({"ALBUMSORT=Wall, The (Pink Floyd)", "TITLE=Hey You"}), Padding(10)},
     kValue,
     {Info(), Comment({kSort, "TITLE=Hey You"}), Padding(10 + 13)}},
    {"ReplacesAValueOfTheSameLength",
     {Info(), Comment({"ALBUMSORT=Wall, Thx", "TITLE=Hey You"}), Padding(10)},
     kValue,
     {Info(), Comment({kSort, "TITLE=Hey You"}), Padding(10)}},
    {"RemovesIntoPadding",
     {Info(), Comment(With(kFields, "ALBUMSORT=x")), Padding(10)},
     WIDE(""),
     {Info(), Comment(kFields), Padding(10 + 15)}},
    {"RemovesWithoutPadding",
     {Info(), Comment({"ALBUMSORT=x", "TITLE=Hey You", "albumsort=y"})},
     WIDE(""),
     {Info(), Comment({"TITLE=Hey You"})}},
    {"EmptyValueWithoutTheFieldChangesNothing",
     {Info(), Comment(kFields), Padding(10)},
     WIDE(""),
     {Info(), Comment(kFields), Padding(10)}},
    {"SameValueChangesNothing",
     {Info(), Comment(With(kFields, kSort)), Padding(10)},
     kValue,
     {Info(), Comment(With(kFields, kSort)), Padding(10)}},
    {"UsesUpTheLastPaddingAndMarksTheCommentLast",
     {Info(), Comment(kFields), Padding(kSortGrowth - 4)},
     kValue,
     {Info(), Comment(With(kFields, kSort))}},
    {"UsesUpAPaddingBeforeAnotherBlock",
     {Info(), Comment(kFields), Padding(kSortGrowth - 4), Application()},
     kValue,
     {Info(), Comment(With(kFields, kSort)), Application()}},
    {"UsesUpTheLastPaddingAndMarksTheBlockBeforeItLast",
     {Info(), Comment(kFields), SeekTable(), Padding(kSortGrowth - 4)},
     kValue,
     {Info(), Comment(With(kFields, kSort)), SeekTable()}},
    {"ShrinksPaddingToAnEmptyBlock",
     {Info(), Comment(kFields), Padding(kSortGrowth)},
     kValue,
     {Info(), Comment(With(kFields, kSort)), Padding(0)}},
    {"KeepsAPaddingTooSmallAndGrows",
     {Info(), Comment(kFields), Padding(kSortGrowth - 1)},
     kValue,
     {Info(), Comment(With(kFields, kSort)), Padding(kSortGrowth - 1)}},
    {"UsesALaterPaddingWhenTheFirstIsTooSmall",
     {Info(), Comment(kFields), Padding(5), Application(), Padding(100)},
     kValue,
     {Info(), Comment(With(kFields, kSort)), Padding(5), Application(),
      Padding(100 - kSortGrowth)}},
    {"MovesABigPictureBetweenCommentAndPadding",
     {Info(), Comment(kFields), Picture(100000), Padding(1000)},
     kValue,
     {Info(), Comment(With(kFields, kSort)), Picture(100000), Padding(1000 - kSortGrowth)}},
    {"KeepsABigPictureBeforeTheComment",
     {Info(), Picture(100000), Comment(kFields), Padding(1000)},
     kValue,
     {Info(), Picture(100000), Comment(With(kFields, kSort)), Padding(1000 - kSortGrowth)}},
    {"KeepsAPictureThatDoesNotParse",
     {Info(), {kPicture, "not a picture"}, Comment(kFields), Padding(100)},
     kValue,
     {Info(),
      {kPicture, "not a picture"},
      Comment(With(kFields, kSort)),
      Padding(100 - kSortGrowth)}},
    {"KeepsUnknownAndCueSheetBlocks",
     {Info(), {100, "?"}, Comment(kFields), CueSheet(), Padding(50)},
     kValue,
     {Info(), {100, "?"}, Comment(With(kFields, kSort)), CueSheet(), Padding(50 - kSortGrowth)}},
    {"GrowsWhenThePaddingIsOnlyBeforeTheComment",
     {Info(), Padding(1000), Comment(kFields)},
     kValue,
     {Info(), Padding(1000), Comment(With(kFields, kSort))}},
    {"EditsOnlyTheFirstOfTwoCommentBlocks",
     {Info(), Comment({"ALBUMSORT=first", "TITLE=Hey You"}), Application(),
      Comment({"ALBUMSORT=second", "COMPOSER=Waters"}), Padding(100)},
     kValue,
     {Info(), Comment({kSort, "TITLE=Hey You"}), Application(),
      Comment({"ALBUMSORT=second", "COMPOSER=Waters"}), Padding(100 - 4)}},
    {"KeepsTheKeyCaseOfTheFirstAndRemovesTheOthers",
     {Info(), Comment({"AlbumSort=old", "TITLE=Hey You", "albumsort=older"}), Padding(100)},
     kValue,
     {Info(), Comment({"AlbumSort=Wall, The", "TITLE=Hey You"}), Padding(100 - 6 + 19)}},
    {"KeepsFieldsWithoutEquals",
     {Info(), Comment({"JUNK", "ALBUMSORT", "TITLE=Hey You"}), Padding(100)},
     kValue,
     {Info(), Comment({"JUNK", "ALBUMSORT", "TITLE=Hey You", kSort}), Padding(100 - kSortGrowth)}},
    {"KeepsInvalidUtf8InAnotherField",
     {Info(), Comment({"COMMENT=\xFF\xFE\xC3 bad", "TITLE=Hey You"}), Padding(100)},
     kValue,
     {Info(), Comment({"COMMENT=\xFF\xFE\xC3 bad", "TITLE=Hey You", kSort}),
      Padding(100 - kSortGrowth)}},
    {"ReplacesAnEmptyValueAndKeepsOtherEmptyOnes",
     {Info(), Comment({"COMMENT=", "ALBUMSORT="}), Padding(100)},
     kValue,
     {Info(), Comment({"COMMENT=", kSort}), Padding(100 - 9)}},
    {"StoresNonAsciiAsUtf8",
     {Info(), Comment(kFields)},
     WIDE("\u00C6r\u00F8, \U0001F3B5"),
     {Info(), Comment(With(kFields, "ALBUMSORT=\xC3\x86r\xC3\xB8, \xF0\x9F\x8E\xB5"))}},
    {"AddsABlockIntoPadding",
     {Info(), Application(), Padding(100)},
     kValue,
     {Info(), Application(), NewComment(kSort), Padding(100 - kNewBlock)}},
    {"AddsABlockInPlaceOfAPaddingOfItsSize",
     {Info(), Padding(kNewBlock - 4)},
     kValue,
     {Info(), NewComment(kSort)}},
    {"AddsABlockInPlaceOfAPaddingOfItsSizeBeforeAnother",
     {Info(), Padding(kNewBlock - 4), Application()},
     kValue,
     {Info(), NewComment(kSort), Application()}},
    {"AddsABlockAfterALoneStreamInfo", {Info()}, kValue, {Info(), NewComment(kSort)}},
    {"AddsABlockAfterStreamInfoWithoutPadding",
     {Info(), Application(), Picture(300)},
     kValue,
     {Info(), NewComment(kSort), Application(), Picture(300)}},
    {"AddsABlockAfterStreamInfoWhenThePaddingIsTooSmall",
     {Info(), Padding(kNewBlock - 1)},
     kValue,
     {Info(), NewComment(kSort), Padding(kNewBlock - 1)}},
    {"AddsNothingForAnEmptyValue", {Info(), Padding(10)}, WIDE(""), {Info(), Padding(10)}},
    {"KeepsAnId3v2TagBefore",
     {Info(), Comment(kFields), Padding(100)},
     kValue,
     {Info(), Comment(With(kFields, kSort)), Padding(100 - kSortGrowth)},
     Id3v23()},
    {"KeepsAnId3v24TagWithAFooterBefore",
     {Info(), Comment(kFields)},
     kValue,
     {Info(), Comment(With(kFields, kSort))},
     Id3v24WithFooter()},
    {"KeepsTwoId3v2TagsBefore",
     {Info(), Padding(100)},
     kValue,
     {Info(), NewComment(kSort), Padding(100 - kNewBlock)},
     Id3v23() + Id3v24WithFooter()},
    {"KeepsAnId3v1TagAfter",
     {Info(), Comment(kFields), Padding(100)},
     kValue,
     {Info(), Comment(With(kFields, kSort)), Padding(100 - kSortGrowth)},
     "",
     Id3v1()},
};

INSTANTIATE_TEST_SUITE_P(Cases, FlacLayouts, testing::ValuesIn(kLayouts), CaseName<LayoutCase>);

TEST(FlacEdit, TagLibReadsTheFirstOfTwoCommentBlocks) {
  // Why the editor changes the first one.
  const std::string file =
      Build({Info(), Comment({"ALBUMSORT=first"}), Comment({"ALBUMSORT=second", "COMPOSER=x"})});
  TagLib::ByteVector data(file.data(), static_cast<unsigned>(file.size()));
  TagLib::ByteVectorStream stream(data);
  TagLib::FLAC::File flac(&stream, TagLib::ID3v2::FrameFactory::instance());
  ASSERT_TRUE(flac.isValid());
  ASSERT_TRUE(flac.hasXiphComment());
  EXPECT_EQ(flac.xiphComment()->fieldListMap()["ALBUMSORT"].toString(), "first");
  EXPECT_FALSE(flac.xiphComment()->contains("COMPOSER"));
}

TEST(FlacEdit, GrowthIntoTheNextPaddingTouchesOnlyTheLengthTheFieldAndThePadding) {
  const std::string original = Build({Info(), Comment({"ALBUMSORT=x"}), Padding(100)});
  const std::uint64_t commentAt = 4 + 4 + 34;
  const std::uint64_t fieldAt = commentAt + 4 + 4 + 6 + 4;
  const std::uint64_t paddingAt = commentAt + 4 + 4 + 6 + 4 + 4 + 11;
  Splices splices;
  std::string reason;
  ASSERT_TRUE(EditFlacSortAlbum(StringSource(original), kValue, splices, reason)) << reason;
  ASSERT_EQ(splices.size(), 3u);
  EXPECT_EQ(splices[0].offset, commentAt + 1);
  EXPECT_EQ(splices[0].length, 3u);
  EXPECT_EQ(splices[1].offset, fieldAt);
  EXPECT_EQ(splices[1].length, 4u + 11);
  EXPECT_EQ(splices[2].offset, paddingAt + 1);
  EXPECT_EQ(splices[2].length, 3u + 8);
  EXPECT_EQ(ApplySplices(original, splices).size(), original.size());
}

TEST(FlacEdit, SameLengthValueIsOneSplice) {
  const std::string original = Build({Info(), Comment({"ALBUMSORT=Wall, Thx"})});
  Splices splices;
  std::string reason;
  ASSERT_TRUE(EditFlacSortAlbum(StringSource(original), kValue, splices, reason)) << reason;
  ASSERT_EQ(splices.size(), 1u);
  EXPECT_EQ(splices[0].offset, 4u + 38 + 4 + 10 + 4);
  EXPECT_EQ(splices[0].bytes, Le32(19) + kSort);
}

// ---- What is refused.

struct Refusal {
  Refusal(const char* name_, std::string file_, const char* reason_, WideString value_ = kValue)
      : name(name_), file(std::move(file_)), reason(reason_), value(std::move(value_)) {}
  const char* name;
  std::string file;
  const char* reason;
  WideString value;
};

void PrintTo(const Refusal& c, std::ostream* out) { *out << c.name; }

class FlacRefusals : public testing::TestWithParam<Refusal> {};

TEST_P(FlacRefusals, RefuseWithAReason) {
  Splices splices{{0, 0, "stale"}};
  std::string reason;
  EXPECT_FALSE(EditFlacSortAlbum(StringSource(GetParam().file), GetParam().value, splices, reason));
  EXPECT_EQ(reason, GetParam().reason);
  EXPECT_TRUE(splices.empty());
}

std::string Raw(const std::vector<std::string>& blocks, const std::string& frames) {
  std::string out = "fLaC";
  for (const std::string& block : blocks) out += block;
  return out + frames;
}

const std::string kFrames = SampleAudio().frames;
const std::string kInfo = RawBlock(kStreamInfo, false, SampleAudio().streamInfo);
const std::string kLastInfo = RawBlock(kStreamInfo, true, SampleAudio().streamInfo);
const std::string kComment = RawBlock(kVorbisComment, true, Comment(kFields).content);

std::string WithAudio(const Audio& audio, const std::string& frames) {
  return Raw({RawBlock(kStreamInfo, true, audio.streamInfo)}, frames);
}

std::string WithAudio(const Audio& audio) { return WithAudio(audio, audio.frames); }

// The audio with STREAMINFO claiming `total` samples.
Audio WithTotal(Audio audio, std::uint64_t total) {
  const std::uint64_t kept = BigEndian(audio.streamInfo, 10, 8) & ~((std::uint64_t{1} << 36) - 1);
  audio.streamInfo.replace(10, 8, Be(kept | total, 8));
  return audio;
}

Audio CutAfterFrame(Audio audio, std::size_t frames) {
  audio.frames.resize(audio.frameEnds[frames - 1]);
  audio.frameEnds.resize(frames);
  return audio;
}

std::string Flipped(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
  return bytes;
}

const Audio kVariable = BuiltAudio(true, {100, 300, 50});

std::vector<Refusal> Refusals() {
  const std::size_t lastAt = kVariable.frameEnds[1];
  return {
      {"NoFlacStream", "RIFF" + kLastInfo + kFrames, "the file does not hold a FLAC stream"},
      {"TooShortForFlac", "fLa", "the file is cut short before its FLAC stream"},
      {"Id3v2SizeNotSyncSafe",
       std::string("ID3\x03\x00\x00\x00\x00\x00\x80", 10) + Raw({kLastInfo}, kFrames),
       "the ID3v2 tag before the FLAC stream has a bad size"},
      {"Id3v2PastTheEnd", Id3v23().substr(0, 12), "the ID3v2 tag runs past the end of the file"},
      {"FirstBlockNotStreamInfo", Raw({RawBlock(kPadding, false, "\0"), kLastInfo}, kFrames),
       "the first metadata block is not a STREAMINFO"},
      {"StreamInfoTooShort",
       Raw({RawBlock(kStreamInfo, true, SampleAudio().streamInfo.substr(0, 33))}, kFrames),
       "the STREAMINFO block has the wrong length"},
      {"SecondStreamInfo", Raw({kInfo, kLastInfo}, kFrames),
       "the file has a second STREAMINFO block"},
      {"NoLastFlag",
       Raw({kInfo, RawBlock(kVorbisComment, false, Comment(kFields).content)}, kFrames),
       "the last metadata block is not marked as last"},
      {"LastFlagTooEarly", Raw({kLastInfo, kComment}, kFrames),
       "the audio does not start with a FLAC frame"},
      {"InvalidBlockType", Raw({kInfo, RawBlock(127, true, "x")}, kFrames),
       "a metadata block has the invalid type 127"},
      {"BlockPastTheEnd",
       Raw({kInfo, RawBlock(kPadding, true, std::string(10, '\0'))}, "").substr(0, 4 + 38 + 4 + 9),
       "a metadata block runs past the end of the file"},
      {"CommentDoesNotParse", Raw({kInfo, RawBlock(kVorbisComment, true, Le32(5) + "ab")}, kFrames),
       "the VORBIS_COMMENT block does not parse"},
      {"CommentCountTooHigh",
       Raw({kInfo, RawBlock(kVorbisComment, true, Le32(0) + Le32(2) + Le32(3) + "A=1")}, kFrames),
       "the VORBIS_COMMENT block does not parse"},
      {"LoneSurrogate", Raw({kInfo, kComment}, kFrames),
       "the new value holds an unpaired UTF-16 surrogate", WideString(1, WideChar(0xD834))},
      {"AudioIsNotAFrame", Raw({kLastInfo}, "\xFF\xF0" + kFrames.substr(2)),
       "the audio does not start with a FLAC frame"},
      {"FirstFrameHeaderBroken", Raw({kLastInfo}, Flipped(kFrames, 4)),
       "the audio does not start with a FLAC frame"},
      {"GarbageAfterTheLastFrame", Raw({kLastInfo}, kFrames + "x"),
       "its last frame is cut short, or unknown bytes follow its audio"},
      {"LastFrameBroken", Raw({kLastInfo}, Flipped(kFrames, kFrames.size() - 5)),
       "its last frame is cut short, or unknown bytes follow its audio"},
      {"VariableTotalTooHigh", WithAudio(WithTotal(kVariable, 451)),
       "the file is cut short: its audio stops before the last sample"},
      {"VariableTotalTooLow", WithAudio(WithTotal(kVariable, 449)),
       "the audio runs longer than its STREAMINFO says"},
      {"VariableLastFrameMissing", WithAudio(CutAfterFrame(kVariable, 2)),
       "the file is cut short: its audio stops before the last sample"},
      {"VariableCutInTheLastFrame", WithAudio(kVariable, kVariable.frames.substr(0, lastAt + 5)),
       "its last frame is cut short, or unknown bytes follow its audio"},
      {"SampleTotalTooHigh", WithAudio(WithTotal(SampleAudio(), 2001)),
       "the file is cut short: its audio stops before the last sample"},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, FlacRefusals, testing::ValuesIn(Refusals()), CaseName<Refusal>);

// Every cut is refused: at each block boundary, inside each block and
// header, at and inside every frame, inside the tags on either side.
TEST(FlacEdit, RefusesTheFileCutAnywhere) {
  for (const Audio& audio : {SampleAudio(), kVariable}) {
    for (const std::string& suffix : {std::string(), Id3v1()}) {
      const std::string whole = Build({Info(audio), Comment(kFields), Picture(300), Padding(50)},
                                      audio.frames, Id3v23(), suffix);
      Splices splices;
      std::string reason;
      ASSERT_TRUE(EditFlacSortAlbum(StringSource(whole), kValue, splices, reason)) << reason;
      for (std::size_t size = 0; size < whole.size(); ++size) {
        // Without all of its ID3v1 tag, the file is whole again.
        if (!suffix.empty() && size == whole.size() - suffix.size()) continue;
        reason.clear();
        EXPECT_FALSE(
            EditFlacSortAlbum(StringSource(whole.substr(0, size)), kValue, splices, reason))
            << "cut at " << size << " of " << whole.size();
        EXPECT_FALSE(reason.empty());
      }
    }
  }
}

struct CutCase {
  const char* name;
  std::size_t size;
  const char* reason;
};

void PrintTo(const CutCase& c, std::ostream* out) { *out << c.name; }

class FlacCuts : public testing::TestWithParam<CutCase> {};

// The layout the cuts are taken from: an ID3v2 tag, fLaC, three blocks,
// three frames.
const std::string kCutFile =
    Build({Info(kVariable), Comment(kFields), Padding(50)}, kVariable.frames, Id3v23());
const std::size_t kCutInfoAt = Id3v23().size() + 4;
const std::size_t kCutCommentAt = kCutInfoAt + 38;
const std::size_t kCutPaddingAt = kCutCommentAt + 4 + Comment(kFields).content.size();
const std::size_t kCutAudioAt = kCutPaddingAt + 54;

TEST_P(FlacCuts, RefuseWithTheirReason) {
  Splices splices;
  std::string reason;
  EXPECT_FALSE(EditFlacSortAlbum(StringSource(kCutFile.substr(0, GetParam().size)), kValue, splices,
                                 reason));
  EXPECT_EQ(reason, GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlacCuts,
    testing::Values(
        CutCase{"InsideTheId3v2Tag", Id3v23().size() - 1,
                "the ID3v2 tag runs past the end of the file"},
        CutCase{"AfterTheId3v2Tag", Id3v23().size(),
                "the file is cut short before its FLAC stream"},
        CutCase{"AfterFlac", kCutInfoAt, "the file is cut short inside its metadata"},
        CutCase{"InsideABlockHeader", kCutCommentAt + 2,
                "the file is cut short inside its metadata"},
        CutCase{"InsideStreamInfo", kCutInfoAt + 20,
                "a metadata block runs past the end of the file"},
        CutCase{"AfterStreamInfo", kCutCommentAt, "the file is cut short inside its metadata"},
        CutCase{"InsideTheComment", kCutCommentAt + 30,
                "a metadata block runs past the end of the file"},
        CutCase{"AfterTheComment", kCutPaddingAt, "the file is cut short inside its metadata"},
        CutCase{"InsideTheLastBlock", kCutPaddingAt + 10,
                "a metadata block runs past the end of the file"},
        CutCase{"AfterTheMetadata", kCutAudioAt, "the file is cut short before its audio"},
        CutCase{"InsideTheFirstFrameHeader", kCutAudioAt + 5,
                "the file is cut short inside its audio"},
        CutCase{"InsideTheFirstFrame", kCutAudioAt + kVariable.frameEnds[0] - 1,
                "its last frame is cut short, or unknown bytes follow its audio"},
        CutCase{"AfterTheFirstFrame", kCutAudioAt + kVariable.frameEnds[0],
                "the file is cut short: its audio stops before the last sample"},
        CutCase{"AfterTheSecondFrame", kCutAudioAt + kVariable.frameEnds[1],
                "the file is cut short: its audio stops before the last sample"},
        CutCase{"InsideTheLastFrame", kCutFile.size() - 1,
                "its last frame is cut short, or unknown bytes follow its audio"}),
    CaseName<CutCase>);

// ---- The audio: block sizes, numbers and how much is read.

TEST(FlacEdit, AcceptsVariableBlockSizesWithLongSampleNumbers) {
  // Sample numbers 0, 4096, 69631 and 135166: one, three and four coded bytes.
  const Audio audio = BuiltAudio(true, {4096, 65535, 65535, 10});
  Splices splices;
  std::string reason;
  EXPECT_TRUE(EditFlacSortAlbum(StringSource(WithAudio(audio)), kValue, splices, reason)) << reason;
  EXPECT_FALSE(EditFlacSortAlbum(StringSource(WithAudio(WithTotal(audio, 135175))), kValue, splices,
                                 reason));
}

TEST(FlacEdit, AcceptsFixedBlockSizesWithLongFrameNumbers) {
  // 200 frames: numbers past 127 take two coded bytes; the last frame is shorter.
  std::vector<unsigned> sizes(200, 16);
  sizes.back() = 5;
  const Audio audio = BuiltAudio(false, sizes);
  Splices splices;
  std::string reason;
  EXPECT_TRUE(EditFlacSortAlbum(StringSource(WithAudio(audio)), kValue, splices, reason)) << reason;
  EXPECT_FALSE(EditFlacSortAlbum(StringSource(WithAudio(WithTotal(audio, 199 * 16 + 6))), kValue,
                                 splices, reason));
  EXPECT_EQ(reason, "the file is cut short: its audio stops before the last sample");
}

TEST(FlacEdit, FindsTheLastFrameWithoutAKnownMaximumFrameSize) {
  const Audio audio = BuiltAudio(true, {100, 300, 50}, false);
  Splices splices;
  std::string reason;
  EXPECT_TRUE(EditFlacSortAlbum(StringSource(WithAudio(audio)), kValue, splices, reason)) << reason;
  EXPECT_FALSE(
      EditFlacSortAlbum(StringSource(WithAudio(CutAfterFrame(audio, 2))), kValue, splices, reason));
  EXPECT_EQ(reason, "the file is cut short: its audio stops before the last sample");
}

TEST(FlacEdit, AnUnknownTotalAcceptsAnyWholeLastFrame) {
  // Nothing tells the cut at a frame boundary from the stream's end.
  const std::string file = WithAudio(WithTotal(CutAfterFrame(kVariable, 2), 0));
  Splices splices;
  std::string reason;
  EXPECT_TRUE(EditFlacSortAlbum(StringSource(file), kValue, splices, reason)) << reason;
}

// Counts what the editor reads.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(std::string bytes) : m_Source(std::move(bytes)) {}
  std::uint64_t Size() const override { return m_Source.Size(); }
  bool Read(std::uint64_t offset, std::size_t length, std::string& bytes) const override {
    m_Read += length;
    return m_Source.Read(offset, length, bytes);
  }
  std::uint64_t BytesRead() const { return m_Read; }

 private:
  StringSource m_Source;
  mutable std::uint64_t m_Read = 0;
};

TEST(FlacEdit, ReadsOnlyHeadersTheCommentAndTheTail) {
  const Audio audio = BuiltAudio(true, std::vector<unsigned>(100000, 64));
  const std::string file =
      Build({Info(audio), Picture(8 << 20), Comment(kFields), Padding(1000)}, audio.frames);
  const CountingSource source(file);
  Splices splices;
  std::string reason;
  ASSERT_TRUE(EditFlacSortAlbum(source, kValue, splices, reason)) << reason;
  EXPECT_GT(file.size(), 9u << 20);
  EXPECT_LT(source.BytesRead(), 4096u);
}

}  // namespace
