#include "folder/id3v2_edit.h"

#include <gtest/gtest.h>

namespace {

std::string Size(std::size_t size, bool syncSafe) {
  std::string out;
  for (int i = 3; i >= 0; --i) {
    out.push_back(
        static_cast<char>(syncSafe ? (size >> (7 * i)) & 0x7F : (size >> (8 * i)) & 0xFF));
  }
  return out;
}

std::string Frame(const std::string& id, const std::string& content, int version) {
  return id + Size(content.size(), version == 4) + std::string(2, '\0') + content;
}

std::string Tag(int version, const std::string& frames, std::size_t padding, char flags = 0) {
  return std::string("ID3") + static_cast<char>(version) + '\0' + flags +
         Size(frames.size() + padding, true) + frames + std::string(padding, '\0');
}

std::string Text(const std::string& latin1) { return std::string(1, '\0') + latin1; }

// The frames of a tag this edit made, without its padding.
std::string FramesOf(const std::string& tag) {
  const std::size_t end = tag.find_last_not_of('\0');
  return tag.substr(10, end == std::string::npos || end < 10 ? 0 : end - 9);
}

TEST(EditSortAlbumFrame, KeepsEveryOtherFrameByteForByte) {
  for (int version : {3, 4}) {
    // Frames TagLib would rewrite or drop when it renders a tag itself.
    const std::string others = Frame("TPE1", Text("Pink Floyd"), version) +
                               Frame("RVAD", std::string("\x03\x10\x00\x7F", 4), version) +
                               Frame("TCON", Text("(17)Rock"), version);
    const std::string tail = Frame("TIT2", Text("Hey You"), version);
    const struct {
      std::string frames;
      std::size_t padding;
      WideString value;
      std::string expectedFrames;
      bool sameSize;
    } cases[] = {
        {others + tail, 100, WIDE("1979 Wall"),
         others + tail + Frame("TSOA", Text("1979 Wall"), version), true},
        {others + Frame("TSOA", Text("old"), version) + tail, 100, WIDE("1979 Wall"),
         others + Frame("TSOA", Text("1979 Wall"), version) + tail, true},
        {others + Frame("TSOA", Text("old"), version) + tail, 0, WIDE(""), others + tail, true},
        {others + tail, 5, WIDE("1979 Wall"),
         others + tail + Frame("TSOA", Text("1979 Wall"), version), false},
        {others + tail, 100, WIDE("\u00C9t\u00E9 \u20AC"),
         others + tail +
             Frame("TSOA", std::string("\x01\xFF\xFE\xC9\0t\0\xE9\0 \0\xAC\x20", 13), version),
         true},
        {others + tail, 0, WIDE(""), others + tail, true},
    };
    for (const auto& c : cases) {
      const std::string tag = Tag(version, c.frames, c.padding);
      const std::optional<std::string> edited = EditSortAlbumFrame(tag, c.value);
      ASSERT_TRUE(edited) << version;
      EXPECT_EQ(FramesOf(*edited), c.expectedFrames) << version;
      EXPECT_EQ(edited->size() == tag.size(), c.sameSize) << version;
      EXPECT_EQ(edited->substr(0, 6), tag.substr(0, 6));  // version and flags
      EXPECT_EQ(Id3v2TagSize(*edited), edited->size());
    }
  }
}

TEST(EditSortAlbumFrame, NewTagOnlyWhenThereIsAValue) {
  EXPECT_EQ(EditSortAlbumFrame("", WIDE("")), std::string());
  const std::optional<std::string> fresh = EditSortAlbumFrame("", WIDE("1979 Wall"));
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->substr(0, 6), std::string("ID3\x03\x00\x00", 6));
  EXPECT_EQ(FramesOf(*fresh), Frame("TSOA", Text("1979 Wall"), 3));
  EXPECT_EQ(Id3v2TagSize(*fresh), fresh->size());
}

TEST(EditSortAlbumFrame, RefusesTagsItCannotKeepIntact) {
  const std::string frames = Frame("TPE1", Text("Pink Floyd"), 3);
  const struct {
    const char* what;
    std::string tag;
  } cases[] = {
      {"version 2.2", Tag(2, "TP1\0\0\x05\0abcd", 10)},
      {"unsynchronised", Tag(3, frames, 10, '\x80')},
      {"extended header", Tag(3, frames, 10, '\x40')},
      {"footer", Tag(4, frames, 10, '\x10')},
      {"frame past the end", Tag(3, "TPE1" + Size(500, false) + std::string(2, '\0') + "x", 10)},
      {"bad frame id", Tag(3, "tpe1" + Size(1, false) + std::string(2, '\0') + "x", 10)},
      {"junk in the padding",
       [&frames] {
         std::string tag = Tag(3, frames, 10);
         tag[tag.size() - 3] = 'J';
         return tag;
       }()},
      {"size not sync-safe",
       Tag(4, "TPE1" + std::string("\0\0\0\x80", 4) + std::string(2, '\0'), 200)},
      {"truncated", Tag(3, frames, 10).substr(0, 20)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EditSortAlbumFrame(c.tag, WIDE("1979 Wall")), std::nullopt) << c.what;
  }
}

TEST(Id3v2TagSize, CountsHeaderBodyAndFooter) {
  EXPECT_EQ(Id3v2TagSize(Tag(3, "", 100)), 110u);
  EXPECT_EQ(Id3v2TagSize(Tag(4, "", 100, '\x10')), 120u);
  EXPECT_EQ(Id3v2TagSize("ID3"), std::nullopt);
  EXPECT_EQ(Id3v2TagSize(std::string("\xFF\xFB\x90\x00", 4) + std::string(10, '\0')), std::nullopt);
}

}  // namespace
