#include "driver/run.h"

#include <limits>

#include "library/standin_test_support.h"
#include "text/format.h"

namespace {

const char kInterfacing[] = "\nInterfacing with iTunes...\n\n";
const char kCalculating[] = "\nCalculating album years...\n\n";
const char kUpdating[] = "\n\nUpdating SortAlbum fields...\n\n";
const char kPretending[] = "\n\nPRETENDING to update SortAlbum fields...\n\n";
const char kNoSuitable[] = "No suitable tracks were found. Do your music files have Year tags?\n";
const char kNoChanges[] = "No changes were performed.\n";
const char kDone[] = "\nDone.\n";
const char kNoTrackList[] = "Could not get track list. (Incompatible version of iTunes?)\n";

struct Mode {
  const char* name;
  bool pretend, clear;
  // What comes before the first line of pass 2.
  std::string Headings() const {
    return std::string(kInterfacing) + (clear ? "" : kCalculating) +
           (pretend ? kPretending : kUpdating);
  }
};
const Mode kPretendWrite{"PretendWrite", true, false};
const Mode kRealWrite{"RealWrite", false, false};
const Mode kPretendClear{"PretendClear", true, true};
const Mode kRealClear{"RealClear", false, true};
const Mode kModes[] = {kPretendWrite, kRealWrite, kPretendClear, kRealClear};

class RunTest : public StandInTest {
 protected:
  void TearDown() override {
    SetFormatNewCapacityLimit(std::numeric_limits<std::size_t>::max());
    StandInTest::TearDown();
  }

  std::string RunIn(const Mode& mode) {
    output.all.clear();
    ::Run(mode.pretend, mode.clear);
    return output.all;
  }
  std::vector<std::string> Puts() const {
    std::vector<std::string> puts;
    for (const std::string& call : library.Calls()) {
      if (call.find(".put_SortAlbum") != std::string::npos) puts.push_back(call);
    }
    return puts;
  }
};

TEST_F(RunTest, EmptyLibraryFindsNoSuitableTracks) {
  for (const Mode& mode : kModes) {
    EXPECT_EQ(RunIn(mode), Crlf(mode.Headings() + kNoSuitable)) << mode.name;
  }
}

TEST_F(RunTest, AllUnsuitableGivesNoCount) {
  library.elements = {Element(ElementKind::NotATrack), Element(ElementKind::Empty),
                      Track(WIDE("Pink Floyd"), WIDE("The Wall"), 0)};
  for (const Mode& mode : kModes) {
    EXPECT_EQ(RunIn(mode), Crlf(mode.Headings() + kNoSuitable)) << mode.name;
  }
  EXPECT_TRUE(Puts().empty());
}

TEST_F(RunTest, MixedLibraryInEveryMode) {
  library.elements = {
      Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979),
      Element(ElementKind::String),
      Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1980, WIDE("1980 Wall")),
      Track(WIDE("Nobody"), WIDE("No Year"), 0, WIDE("keep me")),
      Track(WIDE("A"), WIDE("A Summer"), 1998, WIDE(""), WIDE("Various Artists")),
      Element(ElementKind::NullReference),
  };
  const std::string warning =
      "\nWarning: 3 of your tracks were ignored by the tool due to missing tags.\n"
      "Year tags, in particular, are required.\n";
  EXPECT_EQ(RunIn(kPretendWrite),
            Crlf(std::string(kInterfacing) + kCalculating + "..." + kPretending +
                 "Would change \"The Wall\" SortAlbum \"\" to \"1980 Wall\"\n"
                 "Would change \"A Summer\" SortAlbum \"\" to \"9999 1998 Summer\"\n" +
                 kDone + warning));
  EXPECT_TRUE(Puts().empty());

  EXPECT_EQ(RunIn(kPretendClear),
            Crlf(std::string(kInterfacing) + kPretending +
                 "Would change \"The Wall\" SortAlbum \"1980 Wall\" to \"\"\n" + kDone + warning));
  EXPECT_TRUE(Puts().empty());

  EXPECT_EQ(RunIn(kRealWrite),
            Crlf(std::string(kInterfacing) + kCalculating + "..." + kUpdating +
                 "Changed \"The Wall\" SortAlbum \"\" to \"1980 Wall\"\n"
                 "Changed \"A Summer\" SortAlbum \"\" to \"9999 1998 Summer\"\n" +
                 kDone + warning));
  EXPECT_EQ(Puts(), (std::vector<std::string>{"0.put_SortAlbum(1980 Wall)",
                                              "4.put_SortAlbum(9999 1998 Summer)"}));

  // A second run finds nothing to do.
  EXPECT_EQ(RunIn(kRealWrite), Crlf(std::string(kInterfacing) + kCalculating + "..." + kUpdating +
                                    kNoChanges + warning));
  EXPECT_EQ(Puts().size(), 2u);

  EXPECT_EQ(RunIn(kRealClear),
            Crlf(std::string(kInterfacing) + kUpdating +
                 "Changed \"The Wall\" SortAlbum \"1980 Wall\" to \"\"\n"
                 "Changed \"The Wall\" SortAlbum \"1980 Wall\" to \"\"\n"
                 "Changed \"A Summer\" SortAlbum \"9999 1998 Summer\" to \"\"\n" +
                 kDone + warning));
  EXPECT_EQ(library.elements[3].track.sortAlbum, WIDE("keep me"));  // no usable year
  EXPECT_EQ(RunIn(kRealClear), Crlf(std::string(kInterfacing) + kUpdating + kNoChanges + warning));
}

TEST_F(RunTest, EveryWriteRefused) {
  library.elements = {Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979),
                      Track(WIDE("Queen"), WIDE("Jazz"), 1978)};
  library.SetResult("0.put_SortAlbum", E_FAIL);
  library.SetResult("1.put_SortAlbum", S_FALSE);
  EXPECT_EQ(RunIn(kRealWrite),
            Crlf(std::string(kInterfacing) + kCalculating + ".." + kUpdating +
                 "Failed to change \"The Wall\" SortAlbum \"\" to \"1979 Wall\"\n"
                 "Failed to change \"Jazz\" SortAlbum \"\" to \"1978 Jazz\"\n" +
                 kNoChanges));
  EXPECT_EQ(library.elements[0].track.sortAlbum, WIDE(""));
}

TEST_F(RunTest, ChangedLineShowsWhatTheLibraryStored) {
  library.elements = {Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979)};
  library.elements[0].track.storesInstead = WIDE("1979 WALL");
  EXPECT_EQ(RunIn(kRealWrite),
            Crlf(std::string(kInterfacing) + kCalculating + "." + kUpdating +
                 "Changed \"The Wall\" SortAlbum \"\" to \"1979 WALL\"\n" + kDone));
}

// The order of every call of a run, and that each reference is given back
// where it was taken.
TEST_F(RunTest, CallsAndReleasesInOrder) {
  library.elements = {Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979)};
  RunIn(kRealWrite);
  const std::vector<std::string> reads = {"0.QueryInterface(IITFileOrCDTrack)",
                                          "0.get_Artist",
                                          "0.get_AlbumArtist",
                                          "0.get_Album",
                                          "0.get_SortAlbum",
                                          "0.get_Name",
                                          "0.get_Year"};
  std::vector<std::string> expected = {"CoInitializeEx",
                                       "CoCreateInstance",
                                       "app.CheckVersion(1,1)",
                                       "app.get_LibraryPlaylist",
                                       "playlist.get_Tracks",
                                       "tracks.get__NewEnum",
                                       "newEnum.QueryInterface(IEnumVARIANT)",
                                       "enum.Next"};
  expected.insert(expected.end(), reads.begin(), reads.end());
  expected.insert(expected.end(),
                  {"0.Release", "0.Release", "enum.Next", "enum.Reset", "enum.Next"});
  expected.insert(expected.end(), reads.begin(), reads.end());
  expected.insert(expected.end(),
                  {"0.put_SortAlbum(1979 Wall)", "0.get_SortAlbum", "0.Release", "0.Release",
                   "enum.Next", "enum.Release", "newEnum.Release", "tracks.Release",
                   "playlist.Release", "app.Release", "CoUninitialize"});
  EXPECT_EQ(library.Calls(), expected);
}

TEST_F(RunTest, FailedConnectionReleasesWhatItGotInReverse) {
  const std::vector<std::string> releases = {"newEnum.Release", "tracks.Release",
                                             "playlist.Release", "app.Release"};
  const struct {
    const char* step;
    std::size_t held;  // how many of the pointers it leaves to release
  } steps[] = {
      {"CoCreateInstance", 0},        {"app.CheckVersion", 1},
      {"app.get_LibraryPlaylist", 1}, {"playlist.get_Tracks", 2},
      {"tracks.get__NewEnum", 3},     {"newEnum.QueryInterface(IEnumVARIANT)", 4},
  };
  for (const auto& s : steps) {
    for (HRESULT result : {E_FAIL, S_FALSE}) {
      CStandInLibrary lib;
      lib.elements = {Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979)};
      lib.SetResult(s.step, result);
      CapturedOutput out;
      ::Run(false, false);
      EXPECT_EQ(out.all, Crlf(std::string(kInterfacing) + kNoTrackList)) << s.step;
      // A step that reported S_FALSE may still have handed over its object.
      std::vector<std::string> expected(releases.end() - static_cast<long>(s.held), releases.end());
      if (result == S_FALSE && s.held < 4 && std::string(s.step) != "app.CheckVersion") {
        expected.insert(expected.begin(), releases[releases.size() - 1 - s.held]);
      }
      expected.push_back("CoUninitialize");
      std::vector<std::string> tail(lib.Calls().end() - static_cast<long>(expected.size()),
                                    lib.Calls().end());
      EXPECT_EQ(tail, expected) << s.step << " " << result;
      EXPECT_EQ(lib.Imbalances(), "") << s.step;
    }
  }
}

// A step that says S_OK but gives no object is a failed step, not a crash.
TEST_F(RunTest, StepThatGivesNoObjectFailsTheConnection) {
  for (const char* step : {"CoCreateInstance", "app.get_LibraryPlaylist", "playlist.get_Tracks",
                           "tracks.get__NewEnum", "newEnum.QueryInterface(IEnumVARIANT)"}) {
    CStandInLibrary lib;
    lib.givesNothing.insert(step);
    CapturedOutput out;
    ::Run(false, false);
    EXPECT_EQ(out.all, Crlf(std::string(kInterfacing) + kNoTrackList)) << step;
    EXPECT_EQ(lib.Calls().back(), "CoUninitialize") << step;
    EXPECT_EQ(lib.Imbalances(), "") << step;
  }
}

TEST_F(RunTest, IncompatibleVersionStillReleasesTheApplication) {
  library.compatible = VARIANT_FALSE;
  EXPECT_EQ(RunIn(kRealWrite), Crlf(std::string(kInterfacing) + kNoTrackList));
  EXPECT_EQ(library.CallsStartingWith("app."),
            (std::vector<std::string>{"app.CheckVersion(1,1)", "app.Release"}));
  EXPECT_EQ(library.Calls().back(), "CoUninitialize");
}

TEST_F(RunTest, FailedInitialisationEndsTheRunSilently) {
  for (HRESULT result : {E_FAIL, S_FALSE}) {
    CStandInLibrary lib;
    lib.SetResult("CoInitializeEx", result);
    CapturedOutput out;
    ::Run(false, false);
    EXPECT_EQ(out.all, "");
    EXPECT_EQ(lib.Calls(), std::vector<std::string>{"CoInitializeEx"});
  }
}

TEST_F(RunTest, FailedResetSkipsPassTwo) {
  library.elements = {Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979)};
  library.SetResult("enum.Reset", S_FALSE);
  EXPECT_EQ(RunIn(kRealWrite), Crlf(std::string(kInterfacing) + kCalculating + "." + kUpdating +
                                    "Error resetting enumerator.\n"));
  library.SetResult("enum.Reset", E_FAIL);
  EXPECT_EQ(RunIn(kPretendClear),
            Crlf(std::string(kInterfacing) + kPretending + "Error resetting enumerator.\n"));
  EXPECT_TRUE(Puts().empty());
}

// The end of the tracks is S_FALSE; any other failure breaks the walk off,
// and a run that saw only part of the library must not say it is done.
TEST_F(RunTest, BrokenWalkIsReportedAndNothingMoreIsWritten) {
  library.elements = {Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979),
                      Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1980)};
  library.SetResult("enum.Next", E_FAIL, 2);  // pass 1, second track
  EXPECT_EQ(RunIn(kRealWrite),
            Crlf(std::string(kInterfacing) + kCalculating + "." + "Error reading track list.\n"));
  EXPECT_TRUE(Puts().empty());

  CStandInLibrary lib;
  lib.elements = library.elements;
  lib.SetResult("enum.Next", E_FAIL, 5);  // pass 2, second track
  CapturedOutput out;
  ::Run(false, false);
  EXPECT_EQ(out.all, Crlf(std::string(kInterfacing) + kCalculating + ".." + kUpdating +
                          "Changed \"The Wall\" SortAlbum \"\" to \"1980 Wall\"\n"
                          "Error reading track list.\n"));
  EXPECT_EQ(lib.Imbalances(), "");

  CStandInLibrary early;
  early.elements = library.elements;
  early.SetResult("enum.Next", S_FALSE, 2);  // an early end is an end
  CapturedOutput endOut;
  ::Run(false, false);
  EXPECT_EQ(endOut.all, Crlf(std::string(kInterfacing) + kCalculating + "." + kUpdating +
                             "Changed \"The Wall\" SortAlbum \"\" to \"1979 Wall\"\n"
                             "WARNING: Album Year has changed! Pink Floyd - The Wall --> 1980\n"
                             "Changed \"The Wall\" SortAlbum \"\" to \"1980 Wall\"\n" +
                             kDone));
}

TEST_F(RunTest, TrackWhoseKeyCannotBeFormattedIsPassedOver) {
  const WideString longTitle(60, 'x');
  library.elements = {Track(WIDE("Pink Floyd"), longTitle, 1979),
                      Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979)};
  SetFormatNewCapacityLimit(64);
  EXPECT_EQ(RunIn(kRealWrite),
            Crlf(std::string(kInterfacing) + kCalculating + ".." + kUpdating +
                 "Changed \"The Wall\" SortAlbum \"\" to \"1979 Wall\"\n" + kDone));
  EXPECT_EQ(library.elements[0].track.sortAlbum, WIDE(""));
}

TEST_F(RunTest, LibraryChangedBetweenThePasses) {
  library.elements = {Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979),
                      Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979)};
  library.onReset = [](CStandInLibrary& lib) {
    lib.elements[1].track.year = 1980;
    lib.elements.push_back(Track(WIDE("Queen"), WIDE("A Day at the Races"), 1976));
  };
  EXPECT_EQ(
      RunIn(kPretendWrite),
      Crlf(std::string(kInterfacing) + kCalculating + "." + kPretending +
           "Would change \"The Wall\" SortAlbum \"\" to \"1979 Wall\"\n"
           "WARNING: Album Year has changed! Pink Floyd - The Wall --> 1980\n"
           "Would change \"The Wall\" SortAlbum \"\" to \"1980 Wall\"\n"
           "WARNING: Album Year has changed! Queen - A Day at the Races --> 1976\n"
           "Would change \"A Day at the Races\" SortAlbum \"\" to \"1976 Day at the Races\"\n" +
           kDone));
}

}  // namespace
