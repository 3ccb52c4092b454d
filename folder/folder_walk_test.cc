#include "folder/folder_walk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "testing/temp_folder.h"

namespace {

std::vector<std::string> Walk(CFolderWalk& walk, const std::string& root) {
  std::vector<std::string> items;
  FolderItem item;
  while (walk.Next(item)) {
    items.push_back(item.path.substr(root.size() + 1) +
                    (item.format ? "" : " (not a track: " + item.problem + ")"));
  }
  return items;
}

TEST(FolderWalk, DepthFirstInByteOrderSkippingHiddenAndOtherFiles) {
  TempFolder root;
  for (const char* name :
       {"b.mp3", "B.flac", "a/z.ogg", "a/b/c.M4A", "a/.hidden.mp3", ".hidden/x.mp3", "cover.jpg",
        "a/playlist.m3u", "ab.wma", "a.wav", "\xC3\xA9t\xC3\xA9.opus", "x.mp3/inner.mp3", "log"}) {
    root.Write(name, "content");
  }
  ASSERT_EQ(symlink((root.Path() + "/a").c_str(), (root.Path() + "/a/loop").c_str()), 0);
  ASSERT_EQ(symlink((root.Path() + "/b.mp3").c_str(), (root.Path() + "/linked.mp3").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", (root.Path() + "/broken.mp3").c_str()), 0);

  CFolderWalk walk;
  ASSERT_TRUE(walk.Start(root.Path()));
  const std::vector<std::string> expected = {"B.flac",
                                             "a/b/c.M4A",
                                             "a/z.ogg",
                                             "a.wav",
                                             "ab.wma",
                                             "b.mp3",
                                             "broken.mp3 (not a track: it is a link to nothing)",
                                             "linked.mp3",
                                             "x.mp3 (not a track: it is a folder)",
                                             "x.mp3/inner.mp3",
                                             "\xC3\xA9t\xC3\xA9.opus"};
  EXPECT_EQ(Walk(walk, root.Path()), expected);
  ASSERT_TRUE(walk.Reset());
  EXPECT_EQ(Walk(walk, root.Path()), expected);
}

// A drive unplugged between the passes is no empty library.
TEST(FolderWalk, ResetFailsWhenTheFolderIsGone) {
  TempFolder parent;
  const std::string root = parent.Path() + "/library";
  parent.Write("library/a.mp3", "x");
  CFolderWalk walk;
  ASSERT_TRUE(walk.Start(root));
  ASSERT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0);
  EXPECT_FALSE(walk.Reset());
}

// Temporaries that stopped writes left are noted once, however often the
// walk starts again, and are never items.
TEST(FolderWalk, NotesLeftTemporariesOnItsFirstWalk) {
  TempFolder root;
  for (const char* name :
       {".kestrune-AbC123", "a/.kestrune-XyZ789", ".kestrune", ".other", "a/b.mp3"}) {
    root.Write(name, "ID3");
  }
  CFolderWalk walk;
  ASSERT_TRUE(walk.Start(root.Path()));
  EXPECT_EQ(Walk(walk, root.Path()), (std::vector<std::string>{"a/b.mp3"}));
  ASSERT_TRUE(walk.Reset());
  EXPECT_EQ(Walk(walk, root.Path()), (std::vector<std::string>{"a/b.mp3"}));
  EXPECT_EQ(walk.Temporaries(), (std::vector<std::string>{root.Path() + "/.kestrune-AbC123",
                                                          root.Path() + "/a/.kestrune-XyZ789"}));
}

TEST(FolderWalk, RootMustBeAReadableFolder) {
  TempFolder root;
  const std::string file = root.Write("file.mp3", "x");
  CFolderWalk walk;
  EXPECT_FALSE(walk.Start(root.Path() + "/missing"));
  EXPECT_FALSE(walk.Start(file));
  EXPECT_TRUE(walk.Start(root.Path()));
}

TEST(FolderWalk, UnreadableFolderIsAnItemThatIsNotATrack) {
  TempFolder root;
  root.Write("locked/a.mp3", "x");
  root.Write("open.mp3", "x");
  ASSERT_EQ(chmod((root.Path() + "/locked").c_str(), 0), 0);
  ASSERT_EQ(chmod(root.Path().c_str(), 0755), 0);
  const auto walk = [&root] {
    CFolderWalk folderWalk;
    return folderWalk.Start(root.Path()) &&
           Walk(folderWalk, root.Path()) ==
               std::vector<std::string>{
                   "locked (not a track: the folder cannot be read (Permission denied))",
                   "open.mp3"};
  };
  if (geteuid() != 0) {
    EXPECT_TRUE(walk());
    return;
  }
  // Root reads every folder: the walk runs as another user.
  const pid_t child = fork();
  if (child == 0) _exit(setgid(4321) == 0 && setuid(4321) == 0 && walk() ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(LibraryFolder, SettingThenMusicFolderThenHome) {
  TempFolder home;
  home.Write(".config/user-dirs.dirs", "# comment\nXDG_MUSIC_DIR=\"$HOME/Songs\"\n");
  const char* saved[] = {"KESTRUNE_LIBRARY", "XDG_MUSIC_DIR", "XDG_CONFIG_HOME", "HOME"};
  std::vector<std::pair<std::string, std::string>> restore;
  for (const char* name : saved) {
    if (const char* value = std::getenv(name)) restore.emplace_back(name, value);
    unsetenv(name);
  }
  setenv("HOME", home.Path().c_str(), 1);
  EXPECT_EQ(LibraryFolder(), home.Path() + "/Songs");
  setenv("XDG_MUSIC_DIR", "/music", 1);
  EXPECT_EQ(LibraryFolder(), "/music");
  setenv("KESTRUNE_LIBRARY", "/library", 1);
  EXPECT_EQ(LibraryFolder(), "/library");
  unsetenv("KESTRUNE_LIBRARY");
  unsetenv("XDG_MUSIC_DIR");
  setenv("XDG_CONFIG_HOME", (home.Path() + "/nowhere").c_str(), 1);
  EXPECT_EQ(LibraryFolder(), home.Path() + "/Music");
  for (const char* name : saved) unsetenv(name);
  for (const auto& [name, value] : restore) setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace
