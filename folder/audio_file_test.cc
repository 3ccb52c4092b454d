#include "folder/audio_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "testing/temp_folder.h"

namespace {

const std::string kSample = KESTRUNE_SAMPLE_LIBRARY;
const std::string kMp3 = kSample + "/Pink Floyd/The Wall/01 In the Flesh.mp3";
const std::string kFlac = kSample + "/Pink Floyd/The Wall/02 Hey You.flac";

std::string Content(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.' || entry->d_name[1] > '.') names.push_back(entry->d_name);
    }
    closedir(dir);
  }
  return names;
}

// A write as the library makes it: with the tags it read before.
bool Write(const std::string& path, AudioFormat format, const WideString& value) {
  AudioTags tags = ReadAudioTags(path, format).value_or(AudioTags());
  return WriteSortAlbum(path, format, tags, value);
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
    EXPECT_EQ(ReadAudioTags(path, *format), std::nullopt) << c.name;
    EXPECT_FALSE(Write(path, *format, WIDE("1979 Wall"))) << c.name;
    EXPECT_EQ(Content(path), c.content) << c.name;
  }
}

TEST_F(AudioFileTest, WriteInPlaceKeepsTheSizeAndEveryOtherByte) {
  const std::string path = folder.Copy(kMp3, "a.mp3");
  const std::string before = Content(path);
  ASSERT_TRUE(Write(path, AudioFormat::Mpeg, WIDE("1979 Wall")));
  const std::string after = Content(path);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(ReadAudioTags(path, AudioFormat::Mpeg)->sortAlbum, WIDE("1979 Wall"));
  // Only the tag region differs; the audio is untouched.
  const std::size_t tagSize = 10 + (std::size_t{static_cast<unsigned char>(before[8])} << 7 |
                                    static_cast<unsigned char>(before[9]));
  EXPECT_EQ(after.substr(tagSize), before.substr(tagSize));
  ASSERT_TRUE(Write(path, AudioFormat::Mpeg, WIDE("")));
  EXPECT_EQ(Content(path), before);
}

TEST_F(AudioFileTest, RefusedWritesLeaveEverythingAsItWas) {
  const WideString longKey(2000, 'k');  // too long for the padding: needs a new file
  // A read-only file, even for root.
  const std::string readOnly = folder.Copy(kMp3, "read-only/a.mp3");
  ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
  EXPECT_FALSE(Write(readOnly, AudioFormat::Mpeg, WIDE("1979 Wall")));
  EXPECT_EQ(Content(readOnly), Content(kMp3));

  // A read-only folder: the file may change in place, but not be replaced.
  const std::string inLocked = folder.Copy(kMp3, "locked/a.mp3");
  const std::string flacInLocked = folder.Copy(kFlac, "locked/b.flac");
  ASSERT_EQ(chmod((folder.Path() + "/locked").c_str(), 0555), 0);
  EXPECT_FALSE(Write(inLocked, AudioFormat::Mpeg, longKey));
  EXPECT_FALSE(Write(flacInLocked, AudioFormat::Flac, WIDE("1980 Wall")));
  EXPECT_EQ(Content(inLocked), Content(kMp3));
  EXPECT_EQ(Content(flacInLocked), Content(kFlac));
  EXPECT_TRUE(Write(inLocked, AudioFormat::Mpeg, WIDE("1979 Wall")));
  EXPECT_EQ(Names(folder.Path() + "/locked").size(), 2u);

  // Gone since it was read.
  EXPECT_FALSE(Write(folder.Path() + "/vanished.mp3", AudioFormat::Mpeg, WIDE("x")));

  // Changed since it was read: the write is undone (in place) or never made.
  for (const auto& [file, format] :
       {std::pair{kMp3, AudioFormat::Mpeg}, {kFlac, AudioFormat::Flac}}) {
    const std::string path = folder.Copy(file, "changed" + file.substr(file.rfind('.')));
    AudioTags stale = *ReadAudioTags(path, format);
    stale.artist = WIDE("Someone Else");
    EXPECT_FALSE(WriteSortAlbum(path, format, stale, WIDE("1979 Wall"))) << path;
    EXPECT_EQ(Content(path), Content(file)) << path;
    EXPECT_EQ(stale.artist, WIDE("Someone Else"));
  }
}

// A disk that fills up while the new file is written: the write fails, the
// original stays whole, and no temporary is left behind.
TEST_F(AudioFileTest, FullDiskRefusesTheWrite) {
  const std::string mp3 = folder.Copy(kMp3, "a.mp3");
  const std::string flac = folder.Copy(kFlac, "b.flac");
  const pid_t child = fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool wrote = Write(mp3, AudioFormat::Mpeg, WideString(2000, 'k')) ||
                       Write(flac, AudioFormat::Flac, WIDE("1980 Wall"));
    _exit(wrote ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Content(mp3), Content(kMp3));
  EXPECT_EQ(Content(flac), Content(kFlac));
  EXPECT_EQ(Names(folder.Path()).size(), 2u);
}

// A new file replaces the file a link points to; the link stays a link.
TEST_F(AudioFileTest, WriteThroughALinkChangesItsTarget) {
  const std::string target = folder.Copy(kFlac, "target.flac");
  const std::string link = folder.Path() + "/link.flac";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(Write(link, AudioFormat::Flac, WIDE("1980 Wall")));
  struct stat status {};
  ASSERT_EQ(lstat(link.c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(ReadAudioTags(target, AudioFormat::Flac)->sortAlbum, WIDE("1980 Wall"));
}

// A file of several names keeps them together: changed in place, or not at all.
TEST_F(AudioFileTest, HardLinkedFilesAreChangedOnlyInPlace) {
  const std::string flac = folder.Copy(kFlac, "a.flac");
  const std::string mp3 = folder.Copy(kMp3, "a.mp3");
  ASSERT_EQ(link(flac.c_str(), (folder.Path() + "/b.flac").c_str()), 0);
  ASSERT_EQ(link(mp3.c_str(), (folder.Path() + "/b.mp3").c_str()), 0);
  EXPECT_FALSE(Write(flac, AudioFormat::Flac, WIDE("1980 Wall")));
  EXPECT_EQ(Content(flac), Content(kFlac));
  EXPECT_TRUE(Write(mp3, AudioFormat::Mpeg, WIDE("1979 Wall")));
  EXPECT_EQ(ReadAudioTags(folder.Path() + "/b.mp3", AudioFormat::Mpeg)->sortAlbum,
            WIDE("1979 Wall"));
}

TEST_F(AudioFileTest, NewFileKeepsThePermissionBits) {
  const std::string path = folder.Copy(kFlac, "b.flac");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(Write(path, AudioFormat::Flac, WIDE("1980 Wall")));
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadAudioTags(path, AudioFormat::Flac)->sortAlbum, WIDE("1980 Wall"));
  EXPECT_EQ(Names(folder.Path()).size(), 1u);
}

}  // namespace
