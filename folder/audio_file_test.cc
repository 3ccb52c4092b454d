#include "folder/audio_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "folder/sort_album_write.h"
#include "testing/id3_builder.h"
#include "testing/temp_folder.h"

namespace {

const std::string kSample = KESTRUNE_SAMPLE_LIBRARY;
const std::string kMp3 = kSample + "/Pink Floyd/The Wall/01 In the Flesh.mp3";
const std::string kFlac = kSample + "/Pink Floyd/The Wall/02 Hey You.flac";

std::string Content(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

// A write as the library makes it: with the tags it read before.
bool Write(const std::string& path, AudioFormat format, const WideString& value) {
  AudioTags tags = ReadAudioTags(path, format).value_or(AudioTags());
  std::string reason;
  return WriteSortAlbum(path, format, tags, value, reason);
}

class AudioFileTest : public ::testing::Test {
 protected:
  void SetUp() override { SilenceTagLib(); }
  TempFolder folder;
};

TEST(FormatOfName, AudioExtensionsInAnyCase) {
  EXPECT_EQ(FormatOfName("a.mp3"), AudioFormat::Mpeg);
  EXPECT_EQ(FormatOfName("A.MP3"), AudioFormat::Mpeg);
  EXPECT_EQ(FormatOfName("x.y.Flac"), AudioFormat::Flac);
  EXPECT_EQ(FormatOfName("b.aiff"), AudioFormat::Aiff);
  EXPECT_EQ(FormatOfName("b.opus"), AudioFormat::Ogg);
  EXPECT_EQ(FormatOfName("c.wv"), AudioFormat::WavPack);
  for (const char* name : {"cover.jpg", "list.m3u", "mp3", ".mp3", "a.mp3.txt", "a.", "a.mp"}) {
    EXPECT_EQ(FormatOfName(name), std::nullopt) << name;
  }
}

TEST(YearOfDate, LeadingDigits) {
  const struct {
    const WideChar* date;
    std::int32_t year;
  } cases[] = {{WIDE("2001"), 2001},
               {WIDE("2001-05-03"), 2001},
               {WIDE("2001-05-03T07:00:00Z"), 2001},
               {WIDE(""), 0},
               {WIDE("circa 1970"), 0},
               {WIDE("0999"), 999},
               {WIDE("12345678901234567890"), 99999}};
  for (const auto& c : cases) EXPECT_EQ(YearOfDate(c.date), c.year);
}

TEST_F(AudioFileTest, ReadsTheSixTagsOfEveryFormat) {
  const struct {
    std::string file;
    AudioFormat format;
    const WideChar* artist;
    const WideChar* albumArtist;
    const WideChar* album;
    std::int32_t year;
  } cases[] = {
      {kMp3, AudioFormat::Mpeg, WIDE("Pink Floyd"), WIDE(""), WIDE("The Wall"), 1979},
      {kFlac, AudioFormat::Flac, WIDE("Pink Floyd"), WIDE(""), WIDE("The Wall"), 1980},
      {"Queen/A Night at the Opera/01 Death on Two Legs.m4a", AudioFormat::Mp4, WIDE("Queen"),
       WIDE(""), WIDE("A Night at the Opera"), 1975},
      {"Queen/A Night at the Opera/02 Lazing on a Sunday Afternoon.ogg", AudioFormat::Ogg,
       WIDE("Queen"), WIDE(""), WIDE("A Night at the Opera"), 1975},
      {"Queen/Demos/01 Untitled.opus", AudioFormat::Ogg, WIDE("Queen"), WIDE(""), WIDE("Demos"), 0},
      {"Various Artists/The Summer Hits/01 Sunny.wma", AudioFormat::Asf, WIDE("The Sunnies"),
       WIDE("Various Artists"), WIDE("The Summer Hits"), 1998},
      {"Various Artists/The Summer Hits/02 Breeze.wav", AudioFormat::Wav, WIDE("Breeze Band"),
       WIDE("Various Artists"), WIDE("The Summer Hits"), 1998},
  };
  for (const auto& c : cases) {
    const std::string path = c.file[0] == '/' ? c.file : kSample + "/" + c.file;
    const std::optional<AudioTags> tags = ReadAudioTags(path, c.format);
    ASSERT_TRUE(tags) << path;
    EXPECT_EQ(tags->artist, c.artist) << path;
    EXPECT_EQ(tags->albumArtist, c.albumArtist) << path;
    EXPECT_EQ(tags->album, c.album) << path;
    EXPECT_EQ(tags->sortAlbum, WIDE("")) << path;
    EXPECT_FALSE(tags->name.empty()) << path;
    EXPECT_EQ(tags->year, c.year) << path;
  }
}

// TagLib opens many such files as valid; none of them may be written.
// An APEv2 tag (header and footer) of the given text items.
std::string ApeTag(const std::vector<std::pair<std::string, std::string>>& items) {
  const auto le32 = [](std::size_t n) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(n >> (8 * i)));
    return out;
  };
  std::string body;
  for (const auto& [key, value] : items) body += le32(value.size()) + le32(0) + key + '\0' + value;
  const auto frame = [&](std::uint32_t flags) {
    return "APETAGEX" + le32(2000) + le32(body.size() + 32) + le32(items.size()) + le32(flags) +
           std::string(8, '\0');
  };
  return frame(0xA0000000u) + body + frame(0x80000000u);
}

// Field by field: ID3v2, then ID3v1, then APE, the album sort too; APE's
// usual "Album Artist" as well as ALBUMARTIST.
TEST_F(AudioFileTest, TagsOfAnMp3WithSeveralKindsOfTag) {
  const std::string audio = AudioAfterTag(FileContent(kMp3));
  const std::string ape = ApeTag({{"Artist", "Pink Floyd"},
                                  {"Album", "The Wall"},
                                  {"Title", "Hey You"},
                                  {"Year", "1979"},
                                  {"Album Artist", "Floyd"},
                                  {"ALBUMSORT", "1900 Old"}});
  const std::string v2 = Id3Tag(3, Id3Frame("TIT2", Id3Text("Comfortably Numb"), 3), 100);
  const std::string path = folder.Write("both.mp3", v2 + audio + ape);
  const std::optional<AudioTags> tags = ReadAudioTags(path, AudioFormat::Mpeg);
  ASSERT_TRUE(tags);
  EXPECT_EQ(tags->name, WIDE("Comfortably Numb"));
  EXPECT_EQ(tags->artist, WIDE("Pink Floyd"));
  EXPECT_EQ(tags->albumArtist, WIDE("Floyd"));
  EXPECT_EQ(tags->sortAlbum, WIDE("1900 Old"));
  EXPECT_EQ(tags->year, 1979);

  // The new sort goes into ID3v2; the APE one goes, or it would be read
  // again once ID3v2 had none.
  std::string reason;
  AudioTags written = *tags;
  ASSERT_TRUE(WriteSortAlbum(path, AudioFormat::Mpeg, written, WIDE("1979 Wall"), reason))
      << reason;
  const std::string after = FileContent(path);
  EXPECT_EQ(after.find("ALBUMSORT"), std::string::npos);
  EXPECT_NE(after.find("Album Artist"), std::string::npos);
  EXPECT_EQ(ReadAudioTags(path, AudioFormat::Mpeg)->sortAlbum, WIDE("1979 Wall"));
  ASSERT_TRUE(WriteSortAlbum(path, AudioFormat::Mpeg, written, WIDE(""), reason)) << reason;
  EXPECT_EQ(ReadAudioTags(path, AudioFormat::Mpeg)->sortAlbum, WIDE(""));
  EXPECT_EQ(FileContent(path), v2 + audio +
                                   ApeTag({{"Artist", "Pink Floyd"},
                                           {"Album", "The Wall"},
                                           {"Title", "Hey You"},
                                           {"Year", "1979"},
                                           {"Album Artist", "Floyd"}}));
}

// A FIFO or a device swapped in for a file between the walk and the read
// would block a plain open for ever.
TEST_F(AudioFileTest, ReadingNeverBlocks) {
  const std::string fifo = folder.Path() + "/fifo.flac";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::string reason;
  EXPECT_EQ(ReadAudioTags(fifo, AudioFormat::Flac, &reason), std::nullopt);
  EXPECT_EQ(reason, "it is not a regular file");
  EXPECT_EQ(ReadAudioTags("/dev/null", AudioFormat::Mpeg, &reason), std::nullopt);
  EXPECT_EQ(reason, "it is not a regular file");
  EXPECT_EQ(ReadAudioTags(folder.Path() + "/missing.mp3", AudioFormat::Mpeg, &reason),
            std::nullopt);
  EXPECT_EQ(reason, "it cannot be opened (No such file or directory)");
}

TEST_F(AudioFileTest, FilesThatAreNotReallyAudioOfTheirKind) {
  const std::string mp3 = Content(kMp3);
  const std::string flac = Content(kFlac);
  const std::size_t tagEnd = 10 + 512 + 0x50;  // well inside the tag is enough for the cut below
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"empty.mp3", ""},
      {"text.mp3", "Just some text that is long enough to be read as a frame or two.\n"},
      {"flac.mp3", flac},
      {"cut in the tag.mp3", mp3.substr(0, 200)},
      {"tag only.mp3", mp3.substr(0, tagEnd)},
      {"zeros.mp3", std::string(4096, '\0')},
      {"empty.flac", ""},
      {"mp3.flac", mp3},
      {"text.m4a", "ftyp but not really"},
      {"text.ogg", "OggS and nothing"},
      {"text.wma", std::string(64, 'w')},
      {"text.wav", "RIFF\x10\0\0\0WAVEjunk"},
      {"text.aiff", "FORM\x10\0\0\0AIFFjunk"},
  };
  for (const auto& c : cases) {
    const std::string path = folder.Write(c.name, c.content);
    const std::optional<AudioFormat> format = FormatOfName(c.name);
    ASSERT_TRUE(format);
    std::string reason;
    EXPECT_EQ(ReadAudioTags(path, *format, &reason), std::nullopt) << c.name;
    EXPECT_FALSE(reason.empty()) << c.name;
    EXPECT_FALSE(Write(path, *format, WIDE("1979 Wall"))) << c.name;
    EXPECT_EQ(Content(path), c.content) << c.name;
  }
}

}  // namespace
