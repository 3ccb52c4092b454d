#include "folder/apply_edit.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "folder/file_ops.h"
#include "testing/id3_builder.h"
#include "testing/temp_folder.h"

namespace {

std::size_t Entries(const std::string& folder) {
  std::size_t count = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir))
      count += entry->d_name[0] != '.' || entry->d_name[1] > '.';
    closedir(dir);
  }
  return count;
}

ino_t Inode(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

struct Outcome {
  bool written;
  std::string reason;
  bool inPlace;
};

Outcome Apply(const std::string& path, const Splices& splices, bool accept = true) {
  const ino_t before = Inode(path);
  const CDescriptor fd(open(path.c_str(), O_RDONLY));
  struct stat status {};
  fstat(fd.Get(), &status);
  std::string reason;
  const bool written = ApplyEdit(
      path, fd.Get(), status, splices,
      [accept](const std::string&, std::string& why) {
        if (!accept) why = "refused by the check";
        return accept;
      },
      reason);
  return {written, reason, Inode(path) == before};
}

TEST(ApplyEdit, InPlaceOnlyWithinOneAlignedBlock) {
  TempFolder folder;
  std::string original(3 * 4096, '\0');
  for (std::size_t i = 0; i < original.size(); ++i) original[i] = static_cast<char>(i * 13 + i / 7);
  const struct {
    const char* what;
    Splices splices;
    bool inPlace;
  } cases[] = {
      {"one byte", {{5000, 1, "x"}}, true},
      {"a whole block", {{4096, 4096, std::string(4096, 'b')}}, true},
      {"two splices in one block", {{4100, 2, "ab"}, {8000, 1, "c"}}, true},
      {"the last byte of one block and the first of the next", {{4095, 2, "ab"}}, false},
      {"two blocks apart", {{10, 1, "a"}, {9000, 1, "b"}}, false},
      {"a longer file", {{5000, 1, "xy"}}, false},
      {"a shorter file", {{5000, 2, ""}}, false},
      {"an insertion at the end", {{original.size(), 0, "tail"}}, false},
      {"a size kept by a move across blocks", {{100, 0, "ab"}, {5000, 2, ""}}, false},
  };
  for (const auto& c : cases) {
    const std::string path = folder.Write("file", original);
    const Outcome outcome = Apply(path, c.splices);
    ASSERT_TRUE(outcome.written) << c.what << ": " << outcome.reason;
    EXPECT_EQ(outcome.inPlace, c.inPlace) << c.what;
    EXPECT_EQ(FileContent(path), ApplySplices(original, c.splices)) << c.what;
    EXPECT_EQ(Entries(folder.Path()), 1u) << c.what;
  }
}

// A check that fails undoes the write: the old bytes back in place, or the
// new file gone.
TEST(ApplyEdit, AFailedCheckLeavesTheFileAsItWas) {
  TempFolder folder;
  const std::string original(10000, 'o');
  for (const Splices& splices : {Splices{{5000, 1, "x"}}, Splices{{5000, 1, "xy"}}}) {
    const std::string path = folder.Write("file", original);
    const Outcome outcome = Apply(path, splices, false);
    EXPECT_FALSE(outcome.written);
    EXPECT_EQ(outcome.reason, "refused by the check");
    EXPECT_TRUE(outcome.inPlace);
    EXPECT_EQ(FileContent(path), original);
    EXPECT_EQ(Entries(folder.Path()), 1u);
  }
}

TEST(ApplyEdit, RefusesSplicesThatDoNotFitTheFile) {
  TempFolder folder;
  const std::string path = folder.Write("file", "short");
  const Outcome outcome = Apply(path, {{3, 10, "x"}});
  EXPECT_FALSE(outcome.written);
  EXPECT_EQ(outcome.reason, "the edit is inconsistent");
  EXPECT_EQ(FileContent(path), "short");
}

}  // namespace
