#include "driver/entry.h"

#include <gtest/gtest.h>

#include <vector>

#include "library/standin_library.h"
#include "text/captured_output.h"

namespace {

const char kBanner[] =
    "\nKestrune 1.0.0.1: sorts your iPod's albums by year.\nhttps://kestrune.org/\n\n";

std::vector<std::uint32_t> g_pauses;
void RecordPause(std::uint32_t milliseconds) { g_pauses.push_back(milliseconds); }

struct Invocation {
  std::string output;
  std::vector<std::string> messages;
  std::vector<std::uint32_t> pauses;
  std::vector<std::string> calls;
  int status;
};

Invocation Invoke(std::vector<const WideChar*> arguments) {
  CStandInLibrary library;
  CapturedOutput output;
  g_pauses.clear();
  arguments.insert(arguments.begin(), WIDE("kestrune"));
  const int status =
      KestruneMain(static_cast<int>(arguments.size()), arguments.data(), RecordPause);
  return {output.all, output.messages, g_pauses, library.Calls(), status};
}

TEST(SelectMode, WholeWordInAnyCaseOfItsLetters) {
  const struct {
    std::vector<const WideChar*> arguments;
    RunMode mode;
  } cases[] = {
      {{WIDE("/Describe")}, RunMode::Describe},
      {{WIDE("/describe")}, RunMode::Describe},
      {{WIDE("/DESCRIBE")}, RunMode::Describe},
      {{WIDE("/pRETENDwRITE")}, RunMode::PretendWrite},
      {{WIDE("/RealWrite")}, RunMode::RealWrite},
      {{WIDE("/pretendclear")}, RunMode::PretendClear},
      {{WIDE("/REALCLEAR")}, RunMode::RealClear},
      {{}, RunMode::Usage},
      {{WIDE("/RealWrite"), WIDE("/Describe")}, RunMode::Usage},
      {{WIDE("Describe")}, RunMode::Usage},
      {{WIDE("-Describe")}, RunMode::Usage},
      {{WIDE("/Desc")}, RunMode::Usage},
      {{WIDE("/Describe.")}, RunMode::Usage},
      {{WIDE("/Describe ")}, RunMode::Usage},
      {{WIDE(" /Describe")}, RunMode::Usage},
      {{WIDE("")}, RunMode::Usage},
      {{WIDE("/R\u00C9ALWRITE")}, RunMode::Usage},
      {{WIDE("/RealWrite\uFFFD")}, RunMode::Usage},
  };
  for (const auto& c : cases) {
    std::vector<const WideChar*> argv = {WIDE("kestrune")};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(SelectMode(static_cast<int>(argv.size()), argv.data()), c.mode)
        << argv.size() << " " << Narrow(argv.size() > 1 ? argv[1] : WIDE(""));
  }
}

TEST(KestruneMain, UsageScreenThenTheFiveSecondPause) {
  const std::string usage =
      "This program must be run from a Command Prompt.\n\n"
      "Run with exaclty one of the following arguments:\n\n"
      "    /Describe: Show a detailed description of what this program does.\n"
      "/PretendWrite: Tells you what would happen if new Sort tags were written.\n"
      "   /RealWrite: Really writes new Sort tags.\n"
      "/PretendClear: Tells you what would happen if the Sort tags were cleared.\n"
      "   /RealClear: Really clears the Sort tags.\n";
  for (const auto& arguments : std::vector<std::vector<const WideChar*>>{
           {}, {WIDE("/Desc")}, {WIDE("/RealWrite"), WIDE("/Describe")}}) {
    const Invocation run = Invoke(arguments);
    EXPECT_EQ(run.output, Crlf(kBanner + usage));
    EXPECT_EQ(run.messages.size(), 8u);  // the banner and seven lines
    EXPECT_EQ(run.pauses, std::vector<std::uint32_t>{5000});
    EXPECT_TRUE(run.calls.empty());
    EXPECT_EQ(run.status, 0);
  }
}

TEST(KestruneMain, DescriptionScreenWithoutPauseOrLibrary) {
  const Invocation run = Invoke({WIDE("/dEsCrIbE")});
  EXPECT_EQ(run.output.substr(0, Crlf(kBanner).size()), Crlf(kBanner));
  EXPECT_EQ(run.messages.size(), 27u);
  EXPECT_EQ(run.messages[1],
            "This program instructs iTunes to adjust the SortAlbum tags on your music\r\n");
  EXPECT_EQ(run.messages[13],
            "with \"Various\". Compilations are *not* detected by the \"Part of a\r\n");
  EXPECT_EQ(run.messages[25],
            "This program is free and open-source. See https://kestrune.org/\r\n");
  EXPECT_EQ(run.messages[26], "\r\n");
  EXPECT_TRUE(run.pauses.empty());
  EXPECT_TRUE(run.calls.empty());
  EXPECT_EQ(run.status, 0);
}

TEST(KestruneMain, RunModesReachTheLibraryWithTheirFlags) {
  const struct {
    const WideChar* word;
    const char* heading;
    bool yearPass;
  } cases[] = {
      {WIDE("/PretendWrite"), "PRETENDING", true},
      {WIDE("/RealWrite"), "Updating", true},
      {WIDE("/PretendClear"), "PRETENDING", false},
      {WIDE("/RealClear"), "Updating", false},
  };
  for (const auto& c : cases) {
    const Invocation run = Invoke({c.word});
    EXPECT_EQ(run.output.find(Crlf(kBanner)), 0u);
    EXPECT_NE(run.output.find(c.heading), std::string::npos) << Narrow(c.word);
    EXPECT_EQ(run.output.find("Calculating album years") != std::string::npos, c.yearPass);
    EXPECT_EQ(run.calls.front(), "CoInitializeEx");
    EXPECT_EQ(run.calls.back(), "CoUninitialize");
    EXPECT_TRUE(run.pauses.empty());
    EXPECT_EQ(run.status, 0);
  }
}

}  // namespace
