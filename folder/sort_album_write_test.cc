#include "folder/sort_album_write.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <vector>

#include "folder/file_ops.h"
#include "testing/id3_builder.h"
#include "testing/temp_folder.h"

namespace {

const std::string kSample = KESTRUNE_SAMPLE_LIBRARY;
const std::string kMp3 = kSample + "/Pink Floyd/The Wall/01 In the Flesh.mp3";
const std::string kFlac = kSample + "/Pink Floyd/The Wall/02 Hey You.flac";

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
bool Write(const std::string& path, AudioFormat format, const WideString& value,
           std::string* reason = nullptr) {
  AudioTags tags = ReadAudioTags(path, format).value_or(AudioTags());
  std::string why;
  const bool written = WriteSortAlbum(path, format, tags, value, why);
  if (reason != nullptr) *reason = why;
  return written;
}

// An MP3 of the sample's audio with the given frames and padding.
std::string Mp3(const std::string& frames, std::size_t padding) {
  return Id3Tag(3, frames, padding) + AudioAfterTag(FileContent(kMp3));
}

std::string BasicFrames() {
  return Id3Frame("TPE1", Id3Text("Pink Floyd"), 3) + Id3Frame("TALB", Id3Text("The Wall"), 3) +
         Id3Frame("TIT2", Id3Text("Hey You"), 3) + Id3Frame("TYER", Id3Text("1979"), 3);
}

// A picture frame of `size` bytes that no two positions share.
std::string Picture(std::size_t size) {
  std::string data("\0image/jpeg\0\x03\0", 14);
  for (std::size_t i = 0; data.size() < size; ++i)
    data.push_back(static_cast<char>(i * 7 + i / 251));
  return Id3Frame("APIC", data, 3);
}

class SortAlbumWriteTest : public ::testing::Test {
 protected:
  TempFolder folder;
};

TEST_F(SortAlbumWriteTest, InPlaceKeepsTheSizeAndEveryOtherByte) {
  const std::string path = folder.Copy(kMp3, "a.mp3");
  const std::string before = FileContent(path);
  struct stat was {};
  ASSERT_EQ(stat(path.c_str(), &was), 0);
  ASSERT_TRUE(Write(path, AudioFormat::Mpeg, WIDE("1979 Wall")));
  const std::string after = FileContent(path);
  ASSERT_EQ(after.size(), before.size());
  struct stat now {};
  ASSERT_EQ(stat(path.c_str(), &now), 0);
  EXPECT_EQ(now.st_ino, was.st_ino);
  EXPECT_EQ(ReadAudioTags(path, AudioFormat::Mpeg)->sortAlbum, WIDE("1979 Wall"));
  const std::size_t audio = before.size() - AudioAfterTag(before).size();
  EXPECT_EQ(after.substr(audio), before.substr(audio));
  ASSERT_TRUE(Write(path, AudioFormat::Mpeg, WIDE("")));
  EXPECT_EQ(FileContent(path), before);
}

// A changed frame length moves the frames after it; when they reach past
// one 4 KiB block, a stop could leave half of them moved, so a new file is
// written instead.
TEST_F(SortAlbumWriteTest, EditsSpanningMoreThanOneBlockMakeANewFile) {
  const struct {
    const char* name;
    std::string frames;
    bool inPlace;
  } cases[] = {
      {"sort first, picture after",
       Id3Frame("TSOA", Id3Text("x"), 3) + Picture(9000) + BasicFrames(), false},
      {"picture first, sort after",
       Picture(9000) + Id3Frame("TSOA", Id3Text("x"), 3) + BasicFrames(), true},
  };
  for (const auto& c : cases) {
    const std::string original = Mp3(c.frames, 2048);
    const std::string path = folder.Write(std::string(c.name) + ".mp3", original);
    struct stat was {};
    ASSERT_EQ(stat(path.c_str(), &was), 0);
    ASSERT_TRUE(Write(path, AudioFormat::Mpeg, WIDE("1979 Wall"))) << c.name;
    struct stat now {};
    ASSERT_EQ(stat(path.c_str(), &now), 0);
    EXPECT_EQ(now.st_ino == was.st_ino, c.inPlace) << c.name;
    const std::string after = FileContent(path);
    EXPECT_EQ(after.size(), original.size()) << c.name;
    EXPECT_EQ(ReadAudioTags(path, AudioFormat::Mpeg)->sortAlbum, WIDE("1979 Wall"));
    EXPECT_NE(after.find(Picture(9000)), std::string::npos) << c.name;
  }
}

TEST_F(SortAlbumWriteTest, RefusalsSayWhyAndLeaveEverythingAsItWas) {
  const WideString longKey(2000, 'k');  // too long for the padding: needs a new file
  const std::string readOnly = folder.Copy(kMp3, "read-only/a.mp3");
  ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
  std::string reason;
  EXPECT_FALSE(Write(readOnly, AudioFormat::Mpeg, WIDE("1979 Wall"), &reason));
  EXPECT_EQ(reason, "it is read-only");
  EXPECT_EQ(FileContent(readOnly), FileContent(kMp3));

  // A read-only folder: the file may change in place, but not be replaced.
  const std::string inLocked = folder.Copy(kMp3, "locked/a.mp3");
  ASSERT_EQ(chmod((folder.Path() + "/locked").c_str(), 0555), 0);
  EXPECT_FALSE(Write(inLocked, AudioFormat::Mpeg, longKey, &reason));
  EXPECT_EQ(reason, "a new file is needed and its folder is read-only");
  EXPECT_EQ(FileContent(inLocked), FileContent(kMp3));
  EXPECT_TRUE(Write(inLocked, AudioFormat::Mpeg, WIDE("1979 Wall")));
  EXPECT_EQ(Names(folder.Path() + "/locked").size(), 1u);

  EXPECT_FALSE(Write(folder.Path() + "/vanished.mp3", AudioFormat::Mpeg, WIDE("x"), &reason));
  EXPECT_EQ(reason, "it cannot be found (No such file or directory)");

  const std::string fifo = folder.Path() + "/fifo.mp3";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(Write(fifo, AudioFormat::Mpeg, WIDE("x"), &reason));
  EXPECT_EQ(reason, "it is not a regular file");

  const WideString lone = {WideChar(0xDC00)};
  const std::string surrogate = folder.Copy(kMp3, "surrogate.mp3");
  EXPECT_FALSE(Write(surrogate, AudioFormat::Mpeg, lone, &reason));
  EXPECT_EQ(reason, "the new value holds an unpaired UTF-16 surrogate");
  EXPECT_EQ(FileContent(surrogate), FileContent(kMp3));

  // Changed since it was read: the write is undone (in place) or never made.
  for (const WideString& value : {WideString(WIDE("1979 Wall")), longKey}) {
    const std::string path = folder.Copy(kMp3, "changed.mp3");
    AudioTags stale = *ReadAudioTags(path, AudioFormat::Mpeg);
    stale.artist = WIDE("Someone Else");
    EXPECT_FALSE(WriteSortAlbum(path, AudioFormat::Mpeg, stale, value, reason));
    EXPECT_EQ(reason, "it does not read back as expected (it may have changed since it was read)");
    EXPECT_EQ(FileContent(path), FileContent(kMp3));
    EXPECT_EQ(stale.artist, WIDE("Someone Else"));
  }
  EXPECT_EQ(Names(folder.Path()).size(), 5u);  // no temporary left
}

// A disk that fills up while the new file is written: the write fails, the
// original stays whole, and no temporary is left behind.
TEST_F(SortAlbumWriteTest, FullDiskRefusesTheWrite) {
  const std::string mp3 = folder.Copy(kMp3, "a.mp3");
  const pid_t child = fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string reason;
    const bool wrote = Write(mp3, AudioFormat::Mpeg, WideString(2000, 'k'), &reason);
    _exit(wrote ? 1 : reason == "the new file cannot be written (File too large)" ? 0 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(FileContent(mp3), FileContent(kMp3));
  EXPECT_EQ(Names(folder.Path()).size(), 1u);
}

// A new file replaces the file a link points to; the link stays a link.
TEST_F(SortAlbumWriteTest, WriteThroughALinkChangesItsTarget) {
  const std::string target = folder.Write("target.mp3", Mp3(BasicFrames(), 0));
  const std::string link = folder.Path() + "/link.mp3";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(Write(link, AudioFormat::Mpeg, WIDE("1979 Wall")));
  struct stat status {};
  ASSERT_EQ(lstat(link.c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(ReadAudioTags(target, AudioFormat::Mpeg)->sortAlbum, WIDE("1979 Wall"));
}

// A file of several names keeps them together: changed in place, or not at all.
TEST_F(SortAlbumWriteTest, HardLinkedFilesAreChangedOnlyInPlace) {
  const std::string tight = folder.Write("tight.mp3", Mp3(BasicFrames(), 0));
  const std::string roomy = folder.Copy(kMp3, "roomy.mp3");
  ASSERT_EQ(link(tight.c_str(), (folder.Path() + "/tight2.mp3").c_str()), 0);
  ASSERT_EQ(link(roomy.c_str(), (folder.Path() + "/roomy2.mp3").c_str()), 0);
  std::string reason;
  EXPECT_FALSE(Write(tight, AudioFormat::Mpeg, WIDE("1979 Wall"), &reason));
  EXPECT_EQ(reason, "it has other hard links, which a new file would part from it");
  EXPECT_EQ(FileContent(tight), Mp3(BasicFrames(), 0));
  EXPECT_TRUE(Write(roomy, AudioFormat::Mpeg, WIDE("1979 Wall")));
  EXPECT_EQ(ReadAudioTags(folder.Path() + "/roomy2.mp3", AudioFormat::Mpeg)->sortAlbum,
            WIDE("1979 Wall"));
}

// Owner, group, every mode bit and the extended attributes (ACLs among
// them) pass to the new file.
TEST_F(SortAlbumWriteTest, NewFileKeepsOwnerModeAndExtendedAttributes) {
  const std::string path = folder.Write("a.mp3", Mp3(BasicFrames(), 0));
  const std::string value = "kept";
  const bool attributes =
      setxattr(path.c_str(), "user.kestrune", value.data(), value.size(), 0) == 0;
  // An access list that lets user 4321 read: owner, named user, group, mask, others.
  const auto entry = [](int tag, int perm, std::uint32_t id) {
    std::string bytes = {static_cast<char>(tag), 0, static_cast<char>(perm), 0};
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(id >> (8 * i)));
    return bytes;
  };
  const std::string acl = std::string("\x02\0\0\0", 4) + entry(0x01, 7, 0xFFFFFFFF) +
                          entry(0x02, 4, 4321) + entry(0x04, 5, 0xFFFFFFFF) +
                          entry(0x10, 5, 0xFFFFFFFF) + entry(0x20, 1, 0xFFFFFFFF);
  // A change of owner clears the setuid and setgid bits: the mode comes last.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
  }
  ASSERT_EQ(chmod(path.c_str(), 06751), 0);
  const bool hasAcl =
      setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
  struct stat was {};
  ASSERT_EQ(stat(path.c_str(), &was), 0);
  std::string reason;
  ASSERT_TRUE(Write(path, AudioFormat::Mpeg, WIDE("1979 Wall"), &reason)) << reason;
  struct stat now {};
  ASSERT_EQ(stat(path.c_str(), &now), 0);
  EXPECT_NE(now.st_ino, was.st_ino);
  EXPECT_EQ(now.st_mode & 07777, 06751u);
  EXPECT_EQ(now.st_uid, was.st_uid);
  EXPECT_EQ(now.st_gid, was.st_gid);
  if (attributes) {
    char back[16] = {};
    EXPECT_EQ(getxattr(path.c_str(), "user.kestrune", back, sizeof back), 4);
    EXPECT_EQ(std::string(back), value);
  }
  if (hasAcl) {
    std::string back(256, '\0');
    const ssize_t size = getxattr(path.c_str(), "system.posix_acl_access", &back[0], back.size());
    ASSERT_GT(size, 0);
    back.resize(static_cast<std::size_t>(size));
    EXPECT_EQ(back, acl);
  }
  EXPECT_EQ(Names(folder.Path()).size(), 1u);
}

// A new file takes the folder's default access list; the original had none,
// and a file that others could not read stays so.
TEST_F(SortAlbumWriteTest, NewFileTakesNoAccessListFromItsFolder) {
  const std::string path = folder.Write("shared/a.mp3", Mp3(BasicFrames(), 0));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const std::string acl = std::string("\x02\0\0\0", 4) +
                          std::string("\x01\0\x07\0\xFF\xFF\xFF\xFF", 8) +
                          std::string("\x02\0\x07\0\xE1\x10\0\0", 8) +  // user 4321: rwx
                          std::string("\x04\0\x05\0\xFF\xFF\xFF\xFF", 8) +
                          std::string("\x10\0\x07\0\xFF\xFF\xFF\xFF", 8) +
                          std::string("\x20\0\x00\0\xFF\xFF\xFF\xFF", 8);
  const std::string shared = folder.Path() + "/shared";
  if (setxattr(shared.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) != 0) {
    GTEST_SKIP() << "no access lists here";
  }
  std::string reason;
  ASSERT_TRUE(Write(path, AudioFormat::Mpeg, WIDE("1979 Wall"), &reason)) << reason;
  char back[64];
  EXPECT_LT(getxattr(path.c_str(), "system.posix_acl_access", back, sizeof back), 0);
  struct stat now {};
  ASSERT_EQ(stat(path.c_str(), &now), 0);
  EXPECT_EQ(now.st_mode & 07777, 0640u);
}

// Someone else's file in a shared folder would change hands if a user other
// than root replaced it; it is refused.
TEST_F(SortAlbumWriteTest, AnotherUsersFileIsNotReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
  const std::string original = Mp3(BasicFrames(), 0);
  const std::string path = folder.Write("shared/a.mp3", original);
  ASSERT_EQ(chown(path.c_str(), 1234, 4321), 0);
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(chmod((folder.Path() + "/shared").c_str(), 0777), 0);
  ASSERT_EQ(chmod(folder.Path().c_str(), 0755), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(4321) != 0 || setuid(4321) != 0) _exit(3);
    std::string reason;
    const bool wrote = Write(path, AudioFormat::Mpeg, WIDE("1979 Wall"), &reason);
    _exit(wrote                                                                           ? 1
          : reason == "it belongs to another user, and a new file would change its owner" ? 0
                                                                                          : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(FileContent(path), original);
  EXPECT_EQ(Names(folder.Path() + "/shared").size(), 1u);
}

// --- Stops ------------------------------------------------------------------

constexpr std::size_t kPage = 4096;

// Counts the operations of a write, and notes which writes to the file
// itself (not to a new file) cross a page.
class CountOps final : public CFileOpObserver {
 public:
  explicit CountOps(ino_t original) : m_Original(original) {}
  void Before(FileOp op, int fd, const char*, std::size_t count, off_t offset) override {
    const bool write = op == FileOp::Write;
    midWrite.push_back(write && count > 0 &&
                       static_cast<std::size_t>(offset) / kPage !=
                           (static_cast<std::size_t>(offset) + count - 1) / kPage);
    struct stat status {};
    if (write && fstat(fd, &status) == 0 && status.st_ino == m_Original && midWrite.back()) {
      tornInPlace = true;
    }
  }
  std::vector<bool> midWrite;  // per operation: a write that crosses a page
  bool tornInPlace = false;

 private:
  ino_t m_Original;
};

// Ends the process at operation `stop`: before it, or, for a write that
// crosses a page, after its first page, as a signal would.
class StopAt final : public CFileOpObserver {
 public:
  StopAt(std::size_t stop, bool midWrite) : m_Stop(stop), m_MidWrite(midWrite) {}
  void Before(FileOp, int fd, const char* bytes, std::size_t count, off_t offset) override {
    if (m_Seen++ != m_Stop) return;
    if (m_MidWrite) {
      const std::size_t part = kPage - static_cast<std::size_t>(offset) % kPage;
      if (pwrite(fd, bytes, std::min(part, count), offset) < 0) _exit(4);
    }
    _exit(0);
  }

 private:
  std::size_t m_Stop, m_Seen = 0;
  bool m_MidWrite;
};

struct StopCase {
  const char* name;
  std::string content;
  const char* extension;
  WideString value;
};

// For every operation of the write, and the middle of every write that
// crosses a page, a process stopped there leaves the file as it was or as
// the finished write makes it, and nothing else but a hidden temporary.
void ExpectEveryStopLeavesTheFileWhole(const StopCase& c) {
  TempFolder folder;
  const std::string name = std::string("file") + c.extension;
  const AudioFormat format = *FormatOfName(name);
  const std::string finished = folder.Write("finished/" + name, c.content);
  struct stat status {};
  ASSERT_EQ(stat(finished.c_str(), &status), 0);
  CountOps count(status.st_ino);
  CFileOpObserver* previous = SetFileOpObserver(&count);
  std::string reason;
  const bool written = Write(finished, format, c.value, &reason);
  SetFileOpObserver(previous);
  ASSERT_TRUE(written) << c.name << ": " << reason;
  EXPECT_FALSE(count.tornInPlace) << c.name;
  const std::string final = FileContent(finished);
  ASSERT_NE(final, c.content) << c.name;

  std::size_t stops = 0;
  for (std::size_t op = 0; op < count.midWrite.size(); ++op) {
    for (const bool midWrite : {false, true}) {
      if (midWrite && !count.midWrite[op]) continue;
      ++stops;
      const std::string run = "run" + std::to_string(op) + (midWrite ? "m" : "");
      const std::string path = folder.Write(run + "/" + name, c.content);
      const pid_t child = fork();
      if (child == 0) {
        StopAt stop(op, midWrite);
        SetFileOpObserver(&stop);
        std::string ignored;
        Write(path, format, c.value, &ignored);
        _exit(5);  // the stop never came
      }
      int exit = 0;
      waitpid(child, &exit, 0);
      ASSERT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << c.name << " op " << op;
      const std::string after = FileContent(path);
      EXPECT_TRUE(after == c.content || after == final)
          << c.name << ": stopped at operation " << op << (midWrite ? " mid-write" : "");
      for (const std::string& left : Names(folder.Path() + "/" + run)) {
        EXPECT_TRUE(left == name || left.rfind(".kestrune-", 0) == 0) << left;
      }
      // The next write finishes the job.
      ASSERT_TRUE(Write(path, format, c.value, &reason)) << c.name << ": " << reason;
      EXPECT_EQ(FileContent(path), final) << c.name << " op " << op;
    }
  }
  EXPECT_GT(stops, 0u);
}

TEST(SortAlbumWriteStops, EveryStopLeavesTheFileWhole) {
  std::string big = Mp3(BasicFrames(), 0);
  // Over a megabyte, so that the new file is written in several pieces.
  while (big.size() < (3u << 19)) big += AudioAfterTag(FileContent(kMp3));
  const StopCase cases[] = {
      {"in place", FileContent(kMp3), ".mp3", WIDE("1979 Wall")},
      {"new file", Mp3(BasicFrames(), 0), ".mp3", WIDE("1979 Wall")},
      {"big new file", big, ".mp3", WIDE("1979 Wall")},
      {"sort first, picture after",
       Mp3(Id3Frame("TSOA", Id3Text("x"), 3) + Picture(9000) + BasicFrames(), 2048), ".mp3",
       WIDE("1979 Wall")},
      {"FLAC", FileContent(kFlac), ".flac", WIDE("1980 Wall")},
      {"M4A", FileContent(kSample + "/Queen/A Night at the Opera/01 Death on Two Legs.m4a"), ".m4a",
       WIDE("1975 Night at the Opera")},
      {"Ogg Vorbis",
       FileContent(kSample + "/Queen/A Night at the Opera/02 Lazing on a Sunday Afternoon.ogg"),
       ".ogg", WIDE("1975 Night at the Opera")},
      {"WMA", FileContent(kSample + "/Various Artists/The Summer Hits/01 Sunny.wma"), ".wma",
       WIDE("9999 1998 Summer Hits")},
      {"WAV", FileContent(kSample + "/Various Artists/The Summer Hits/02 Breeze.wav"), ".wav",
       WIDE("9999 1998 Summer Hits")},
      {"AIFF", FileContent(kSample + "/Queen/Jazz/01 Mustapha.aiff"), ".aiff", WIDE("1978 Jazz")},
  };
  for (const StopCase& c : cases) ExpectEveryStopLeavesTheFileWhole(c);
}

}  // namespace
