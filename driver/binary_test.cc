// The built tool as a process: what reaches its stdout and stderr, and its
// exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Outcome {
  std::string out, err;
  int status = -1;
  double seconds = 0;
};

std::string Slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

Outcome RunBinary(const std::vector<std::string>& arguments) {
  char outPath[] = "/tmp/kestrune-out-XXXXXX";
  char errPath[] = "/tmp/kestrune-err-XXXXXX";
  const int outFd = mkstemp(outPath);
  const int errFd = mkstemp(errPath);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  std::vector<std::string> argv = {KESTRUNE_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);

  Outcome outcome;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, KESTRUNE_BINARY, &actions, nullptr, pointers.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  close(outFd);
  close(errFd);
  outcome.out = Slurp(outPath);
  outcome.err = Slurp(errPath);
  unlink(outPath);
  unlink(errPath);
  return outcome;
}

const char kBanner[] =
    "\r\nKestrune 1.0.0.1: sorts your iPod's albums by year.\r\nhttps://kestrune.org/\r\n\r\n";

TEST(Binary, DescriptionScreenBytes) {
  const Outcome run = RunBinary({"/Describe"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  const std::string expected =
      std::string(kBanner) +
      "This program instructs iTunes to adjust the SortAlbum tags on your music\r\n"
      "library so that albums are sorted by year when viewed on an iPod.\r\n"
      "\r\n"
      "In addition, compilation albums will be sorted below non-compilation albums\r\n"
      "so that when you view an Artist on your iPod you will see all of their main\r\n"
      "albums followed by the compilations they appear on, rather than a mixture\r\n"
      "of the two.\r\n"
      "\r\n"
      "Your music files must have Year tags for this program to work. Any files\r\n"
      "without Year tags will be skipped.\r\n"
      "\r\n"
      "An album is considered a compilation if its AlbumArtist tag starts\r\n"
      "with \"Various\". Compilations are *not* detected by the \"Part of a\r\n"
      "Compilation Album\" tag in iTunes because this tag is not available\r\n"
      "through the iTunes COM API. :-(\r\n"
      "\r\n"
      "When you add new music to your iTunes library you should re-run this tool\r\n"
      "to adjust the sort tags on the new files.\r\n"
      "\r\n"
      "Be prepared for a long iPod sync after using this tool for the first time\r\n"
      "as iTunes will re-sync the complete files even though only the tags have\r\n"
      "changed. Don't worry, the next time you run the tool it will only adjust\r\n"
      "the files which need it, leaving alone those it has already done.\r\n"
      "\r\n"
      "This program is free and open-source. See https://kestrune.org/\r\n"
      "\r\n";
  EXPECT_EQ(run.out, expected);
  EXPECT_LT(run.seconds, 4.0);  // no pause after this screen
}

TEST(Binary, BadArgumentGivesUsageAfterWhichItPauses) {
  // Not UTF-8 at all: must match no mode word, and must not crash.
  const Outcome run = RunBinary({"/Real\xFFWrite"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.find(kBanner), 0u);
  EXPECT_NE(run.out.find("Run with exaclty one of the following arguments:\r\n\r\n"),
            std::string::npos);
  EXPECT_GE(run.seconds, 4.9);
}

TEST(Binary, RunWithoutALibraryReportsTheConnection) {
  const Outcome run = RunBinary({"/pretendwrite"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, std::string(kBanner) +
                         "\r\nInterfacing with iTunes...\r\n\r\n"
                         "Could not get track list. (Incompatible version of iTunes?)\r\n");
}

}  // namespace
