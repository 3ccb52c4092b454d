#include "driver/entry.h"

#include "driver/run.h"
#include "text/compare.h"
#include "text/output.h"

namespace {

const WideChar kWebAddress[] = WIDE("https://kestrune.org/");

void PrintBanner() {
  PrintMessage(WIDE("\nKestrune %s\n%s\n\n"), WIDE("1.0.0.1: sorts your iPod's albums by year."),
               kWebAddress);
}

void PrintUsage(PauseFunction pause) {
  PrintMessage(WIDE("This program must be run from a Command Prompt.\n\n"));
  PrintMessage(WIDE("Run with exaclty one of the following arguments:\n\n"));
  PrintMessage(WIDE("    /Describe: Show a detailed description of what this program does.\n"));
  PrintMessage(WIDE("/PretendWrite: Tells you what would happen if new Sort tags were written.\n"));
  PrintMessage(WIDE("   /RealWrite: Really writes new Sort tags.\n"));
  PrintMessage(WIDE("/PretendClear: Tells you what would happen if the Sort tags were cleared.\n"));
  PrintMessage(WIDE("   /RealClear: Really clears the Sort tags.\n"));
  pause(5000);
}

void PrintDescription() {
  static const WideChar* const kLines[] = {
      WIDE("This program instructs iTunes to adjust the SortAlbum tags on your music\n"),
      WIDE("library so that albums are sorted by year when viewed on an iPod.\n"),
      WIDE("\n"),
      WIDE("In addition, compilation albums will be sorted below non-compilation albums\n"),
      WIDE("so that when you view an Artist on your iPod you will see all of their main\n"),
      WIDE("albums followed by the compilations they appear on, rather than a mixture\n"),
      WIDE("of the two.\n"),
      WIDE("\n"),
      WIDE("Your music files must have Year tags for this program to work. Any files\n"),
      WIDE("without Year tags will be skipped.\n"),
      WIDE("\n"),
      WIDE("An album is considered a compilation if its AlbumArtist tag starts\n"),
      WIDE("with \"Various\". Compilations are *not* detected by the \"Part of a\n"),
      WIDE("Compilation Album\" tag in iTunes because this tag is not available\n"),
      WIDE("through the iTunes COM API. :-(\n"),
      WIDE("\n"),
      WIDE("When you add new music to your iTunes library you should re-run this tool\n"),
      WIDE("to adjust the sort tags on the new files.\n"),
      WIDE("\n"),
      WIDE("Be prepared for a long iPod sync after using this tool for the first time\n"),
      WIDE("as iTunes will re-sync the complete files even though only the tags have\n"),
      WIDE("changed. Don't worry, the next time you run the tool it will only adjust\n"),
      WIDE("the files which need it, leaving alone those it has already done.\n"),
      WIDE("\n"),
  };
  for (const WideChar* line : kLines) PrintMessage(line);
  PrintMessage(WIDE("This program is free and open-source. See %s\n"), kWebAddress);
  PrintMessage(WIDE("\n"));
}

}  // namespace

RunMode SelectMode(int argc, const WideChar* const argv[]) {
  if (argc != 2) return RunMode::Usage;
  static const struct {
    const WideChar* word;
    RunMode mode;
  } kWords[] = {
      {WIDE("/Describe"), RunMode::Describe},   {WIDE("/PretendWrite"), RunMode::PretendWrite},
      {WIDE("/RealWrite"), RunMode::RealWrite}, {WIDE("/PretendClear"), RunMode::PretendClear},
      {WIDE("/RealClear"), RunMode::RealClear},
  };
  for (const auto& entry : kWords) {
    if (CompareNoCase(argv[1], entry.word) == 0) return entry.mode;
  }
  return RunMode::Usage;
}

int KestruneMain(int argc, const WideChar* const argv[], PauseFunction pause) {
  PrintBanner();
  const RunMode mode = SelectMode(argc, argv);
  bool pretend = false;
  bool clear = false;
  switch (mode) {
    case RunMode::Usage:
      PrintUsage(pause);
      return 0;
    case RunMode::Describe:
      PrintDescription();
      return 0;
    case RunMode::PretendWrite:
      pretend = true;
      break;
    case RunMode::RealWrite:
      break;
    case RunMode::PretendClear:
      pretend = true;
      clear = true;
      break;
    case RunMode::RealClear:
      clear = true;
      break;
  }
  Run(pretend, clear);
  return 0;
}
