#include "folder/id3_file_edit.h"

#include <gtest/gtest.h>

#include <vector>

#include "testing/id3_builder.h"

namespace {

struct Chunk {
  std::string id, data;
};

std::string Size32(std::uint64_t size, bool aiff) {
  return aiff ? BigEndianBytes(size, 4) : LittleEndianBytes(size, 4);
}

// A form of the given chunks, each padded to an even length unless told not
// to for the last.
std::string Form(const std::vector<Chunk>& chunks, bool aiff, bool padLast = true) {
  std::string body = aiff ? "AIFF" : "WAVE";
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    body += chunks[i].id + Size32(chunks[i].data.size(), aiff) + chunks[i].data;
    if ((chunks[i].data.size() & 1) && (padLast || i + 1 < chunks.size())) body.push_back('\0');
  }
  return (aiff ? "FORM" : "RIFF") + Size32(body.size(), aiff) + body;
}

// The chunks of a form as they stand, read independently of the editor.
std::vector<Chunk> ChunksOf(const std::string& file, bool aiff) {
  const auto size = [&](std::size_t at) {
    return static_cast<std::size_t>(aiff ? BigEndian(file, at, 4) : LittleEndian(file, at, 4));
  };
  std::vector<Chunk> chunks;
  const std::size_t end = std::min(file.size(), 8 + size(4));
  for (std::size_t at = 12; at + 8 <= end;) {
    const std::size_t length = size(at + 4);
    chunks.push_back({file.substr(at, 4), file.substr(at + 8, length)});
    at += 8 + length + (length & 1);
  }
  return chunks;
}

std::string Tag(const std::string& sort, std::size_t padding) {
  std::string frames = Id3Frame("TALB", Id3Text("Jazz"), 3);
  if (!sort.empty()) frames += Id3Frame("TSOA", Id3Text(sort), 3);
  return Id3Tag(3, frames, padding);
}

TEST(EditChunkId3SortAlbum, KeepsEveryOtherChunkAndTheBytesAfterTheTag) {
  const std::string audio(1001, 'a');  // odd: a pad byte follows
  const std::string fresh = Id3Tag(3, Id3Frame("TSOA", Id3Text("1978 Jazz"), 3), 1024);
  for (const bool aiff : {false, true}) {
    const std::string common = aiff ? "COMM" : "fmt ";
    const std::string sound = aiff ? "SSND" : "data";
    const std::string id3 = aiff ? "ID3 " : "id3 ";
    const struct {
      const char* what;
      std::vector<Chunk> before;
      bool padLast;
      std::string trailing;  // after the form
      WideString value;
      std::vector<Chunk> after;
    } cases[] = {
        {"same size, in the padding",
         {{common, "16 bytes of fmt."}, {sound, audio}, {id3, Tag("", 64) + "xyz"}},
         true,
         "",
         WIDE("1978 Jazz"),
         {{common, "16 bytes of fmt."}, {sound, audio}, {id3, Tag("1978 Jazz", 44) + "xyz"}}},
        {"grows, bytes after the tag kept",
         {{common, "16 bytes of fmt."}, {id3, Tag("", 0) + "xyz"}, {sound, audio}},
         true,
         "",
         WIDE("1978 Jazz"),
         {{common, "16 bytes of fmt."}, {id3, Tag("1978 Jazz", 1024) + "xyz"}, {sound, audio}}},
        {"no tag chunk: one at the end of the form, before trailing bytes",
         {{common, "16 bytes of fmt."}, {sound, audio}},
         true,
         "junk after the form",
         WIDE("1978 Jazz"),
         {{common, "16 bytes of fmt."}, {sound, audio}, {id3, fresh}}},
        {"no tag chunk after a last chunk without its pad byte",
         {{common, "16 bytes of fmt."}, {sound, audio}},
         false,
         "",
         WIDE("1978 Jazz"),
         {{common, "16 bytes of fmt."}, {sound, audio}, {id3, fresh}}},
        {"the other spelling of the chunk's name",
         {{common, "16 bytes of fmt."}, {aiff ? "id3 " : "ID3 ", Tag("", 0)}, {sound, audio}},
         true,
         "",
         WIDE("1978 Jazz"),
         {{common, "16 bytes of fmt."},
          {aiff ? "id3 " : "ID3 ", Tag("1978 Jazz", 1024)},
          {sound, audio}}},
        {"removed, same size",
         {{common, "16 bytes of fmt."}, {id3, Tag("1900 Old", 10)}, {sound, audio}},
         true,
         "",
         WIDE(""),
         {{common, "16 bytes of fmt."}, {id3, Tag("", 29)}, {sound, audio}}},
    };
    for (const auto& c : cases) {
      const std::string file = Form(c.before, aiff, c.padLast) + c.trailing;
      Splices splices;
      std::string reason;
      ASSERT_TRUE(EditChunkId3SortAlbum(StringSource(file), aiff, c.value, splices, reason))
          << c.what << ": " << reason;
      ASSERT_TRUE(SplicesAreOrdered(splices, file.size())) << c.what;
      const std::string edited = ApplySplices(file, splices);
      const std::vector<Chunk> chunks = ChunksOf(edited, aiff);
      ASSERT_EQ(chunks.size(), c.after.size()) << c.what;
      for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].id, c.after[i].id) << c.what << " " << i;
        EXPECT_EQ(chunks[i].data, c.after[i].data) << c.what << " " << i;
      }
      const std::size_t formEnd =
          8 + static_cast<std::size_t>(aiff ? BigEndian(edited, 4, 4) : LittleEndian(edited, 4, 4));
      EXPECT_EQ(edited.substr(formEnd), c.trailing) << c.what;
      EXPECT_EQ(formEnd % 2, 0u) << c.what;
    }
  }
}

TEST(EditChunkId3SortAlbum, RefusesFormsThatDoNotAddUp) {
  const std::string wav =
      Form({{"fmt ", "16 bytes of fmt."}, {"data", std::string(100, 'a')}}, false);
  const struct {
    const char* what;
    std::string file;
    const char* reason;
  } cases[] = {
      {"cut inside the data", wav.substr(0, wav.size() - 10), "the file is cut short"},
      {"a chunk past the form",
       "RIFF" + Size32(30, false) + "WAVEfmt " + Size32(400, false) + std::string(22, 'f'),
       "a chunk runs past the end of its form"},
      {"a chunk header cut by the form's end",
       "RIFF" + Size32(8, false) + "WAVEfmt " + std::string(4, 'f'),
       "its chunks do not add up to the size of its form"},
      {"not a form", "RIFX" + wav.substr(4), "it is not a RIFF WAVE file"},
      {"another form", wav.substr(0, 8) + "AVI " + wav.substr(12), "its form is not WAVE"},
      {"a form size below its type", "RIFF" + Size32(0, false) + wav.substr(8),
       "its form's size is too small to hold it"},
      {"a tag chunk of something else",
       Form({{"fmt ", "16 bytes of fmt."}, {"id3 ", "not a tag at all"}}, false),
       "its ID3 chunk does not hold an ID3v2 tag"},
  };
  for (const auto& c : cases) {
    Splices splices;
    std::string reason;
    EXPECT_FALSE(EditChunkId3SortAlbum(StringSource(c.file), false, WIDE("x"), splices, reason))
        << c.what;
    EXPECT_EQ(reason, c.reason) << c.what;
  }
}

TEST(EditLeadingId3SortAlbum, ChangesOnlyTheTag) {
  const std::string audio("\xFF\xFB\x90\x00 and so on", 15);
  Splices splices;
  std::string reason;
  // A file without a tag gets one in front of its audio.
  ASSERT_TRUE(EditLeadingId3SortAlbum(StringSource(audio), WIDE("1979 Wall"), splices, reason));
  std::string edited = ApplySplices(audio, splices);
  EXPECT_EQ(edited, Id3Tag(3, Id3Frame("TSOA", Id3Text("1979 Wall"), 3), 1024) + audio);
  // Then changed within its padding, and nothing after it.
  ASSERT_TRUE(EditLeadingId3SortAlbum(StringSource(edited), WIDE("1980 Wall"), splices, reason));
  ASSERT_EQ(splices.size(), 1u);
  EXPECT_EQ(splices[0].offset, 0u);
  EXPECT_EQ(ApplySplices(edited, splices),
            Id3Tag(3, Id3Frame("TSOA", Id3Text("1980 Wall"), 3), 1024) + audio);
  // Nothing to do: no splices.
  ASSERT_TRUE(EditLeadingId3SortAlbum(StringSource(audio), WIDE(""), splices, reason));
  EXPECT_TRUE(splices.empty());
  // A tag cut short is refused.
  EXPECT_FALSE(
      EditLeadingId3SortAlbum(StringSource(edited.substr(0, 500)), WIDE("x"), splices, reason));
  EXPECT_EQ(reason, "its ID3v2 tag is cut short");
}

}  // namespace
