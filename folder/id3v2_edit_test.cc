#include "folder/id3v2_edit.h"

#include <gtest/gtest.h>

#include "testing/id3_builder.h"

namespace {

std::string Size(std::size_t size, bool syncSafe) { return Id3Size(size, syncSafe); }
std::string Frame(const std::string& id, const std::string& content, int version) {
  return Id3Frame(id, content, version);
}
std::string Tag(int version, const std::string& frames, std::size_t padding, char flags = 0) {
  return Id3Tag(version, frames, padding, flags);
}
std::string Text(const std::string& latin1) { return Id3Text(latin1); }

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
    const char* reason;
  } cases[] = {
      {"version 2.2", Tag(2, "TP1\0\0\x05\0abcd", 10),
       "its ID3v2 tag is of a version other than 2.3 and 2.4"},
      {"unsynchronised", Tag(3, frames, 10, '\x80'), "its ID3v2 tag is unsynchronised"},
      {"extended header", Tag(3, frames, 10, '\x40'), "its ID3v2 tag has an extended header"},
      {"footer",
       Tag(4, frames, 10, '\x10') + std::string("3DI\x04\0\x10", 6) +
           Size(frames.size() + 10, true),
       "its ID3v2 tag has a footer"},
      {"frame past the end", Tag(3, "TPE1" + Size(500, false) + std::string(2, '\0') + "x", 10),
       "a frame of its ID3v2 tag runs past the tag's end"},
      {"bad frame id", Tag(3, "tpe1" + Size(1, false) + std::string(2, '\0') + "x", 10),
       "a frame of its ID3v2 tag does not parse"},
      {"junk in the padding",
       [&frames] {
         std::string tag = Tag(3, frames, 10);
         tag[tag.size() - 3] = 'J';
         return tag;
       }(),
       "its ID3v2 tag holds bytes after its frames that are not padding"},
      {"size not sync-safe",
       Tag(4, "TPE1" + std::string("\0\0\0\x80", 4) + std::string(2, '\0'), 200),
       "a frame of its ID3v2 tag does not parse"},
      {"truncated", Tag(3, frames, 10).substr(0, 20), "its ID3v2 tag is cut short"},
  };
  for (const auto& c : cases) {
    std::string reason;
    EXPECT_EQ(EditSortAlbumFrame(c.tag, WIDE("1979 Wall"), &reason), std::nullopt) << c.what;
    EXPECT_EQ(reason, c.reason) << c.what;
  }
  std::string reason;
  const WideString lone = {WideChar(0xD800), WideChar('x')};
  EXPECT_EQ(EditSortAlbumFrame(Tag(3, frames, 10), lone, &reason), std::nullopt);
  EXPECT_EQ(reason, "the new value holds an unpaired UTF-16 surrogate");
}

TEST(Id3v2TagSize, CountsHeaderBodyAndFooter) {
  EXPECT_EQ(Id3v2TagSize(Tag(3, "", 100)), 110u);
  EXPECT_EQ(Id3v2TagSize(Tag(4, "", 100, '\x10')), 120u);
  EXPECT_EQ(Id3v2TagSize("ID3"), std::nullopt);
  EXPECT_EQ(Id3v2TagSize(std::string("\xFF\xFB\x90\x00", 4) + std::string(10, '\0')), std::nullopt);
}

}  // namespace
