#include "track/track_info.h"

#include <functional>

#include "library/standin_test_support.h"

namespace {

using TrackInfoTest = StandInTest;
using Change = std::function<void(StandInElement&)>;

StandInElement Suitable() {
  StandInElement e = Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979);
  e.track.name = WIDE("Hey You");
  return e;
}

TEST_F(TrackInfoTest, SuitableOnlyWithArtistAlbumNameAndFourDigitYear) {
  const struct {
    const char* what;
    Change change;
    bool valid;
  } cases[] = {
      {"suitable", [](StandInElement&) {}, true},
      {"year 1000", [](StandInElement& e) { e.track.year = 1000; }, true},
      {"year 9999", [](StandInElement& e) { e.track.year = 9999; }, true},
      {"year 999", [](StandInElement& e) { e.track.year = 999; }, false},
      {"year 10000", [](StandInElement& e) { e.track.year = 10000; }, false},
      {"year 0", [](StandInElement& e) { e.track.year = 0; }, false},
      {"year -5", [](StandInElement& e) { e.track.year = -5; }, false},
      {"year INT32_MIN", [](StandInElement& e) { e.track.year = INT32_MIN; }, false},
      {"empty artist", [](StandInElement& e) { e.track.artist = WIDE(""); }, false},
      {"null artist", [](StandInElement& e) { e.track.artist.reset(); }, false},
      {"empty album", [](StandInElement& e) { e.track.album = WIDE(""); }, false},
      {"null name", [](StandInElement& e) { e.track.name.reset(); }, false},
      {"null album artist and sort album",
       [](StandInElement& e) {
         e.track.albumArtist.reset();
         e.track.sortAlbum.reset();
       },
       true},
      {"by unknown", [](StandInElement& e) { e.kind = ElementKind::TrackAsUnknown; }, true},
      {"by reference", [](StandInElement& e) { e.kind = ElementKind::TrackByReference; }, true},
      {"not a track", [](StandInElement& e) { e.kind = ElementKind::NotATrack; }, false},
      {"null reference", [](StandInElement& e) { e.kind = ElementKind::NullReference; }, false},
      {"empty", [](StandInElement& e) { e.kind = ElementKind::Empty; }, false},
      {"string", [](StandInElement& e) { e.kind = ElementKind::String; }, false},
  };
  for (const auto& c : cases) {
    library.elements.push_back(Suitable());
    c.change(library.elements.back());
  }
  for (const auto& c : cases) {
    Yield();
    CTrackInfo track(element);
    EXPECT_EQ(track.IsValid(), c.valid) << c.what;
  }
}

TEST_F(TrackInfoTest, AccessorsOfAValidSnapshot) {
  library.elements = {Suitable(), Suitable()};
  library.elements[1].track.albumArtist = WIDE("Various Artists");
  library.elements[1].track.sortAlbum = WIDE("1979 Wall");

  Yield();
  CTrackInfo plain(element);
  ASSERT_TRUE(plain.IsValid());
  EXPECT_EQ(plain.GetYear(), 1979);
  EXPECT_EQ(WideString(plain.GetAlbum()), WIDE("The Wall"));
  EXPECT_FALSE(plain.HasAlbumArtist());
  EXPECT_EQ(plain.GetAlbumArtist(), nullptr);
  EXPECT_EQ(plain.GetSortAlbum(), nullptr);
  EXPECT_EQ(WideString(plain.GetAlbumArtistOrArtist()), WIDE("Pink Floyd"));

  Yield();
  CTrackInfo compilation(element);
  ASSERT_TRUE(compilation.IsValid());
  EXPECT_TRUE(compilation.HasAlbumArtist());
  EXPECT_EQ(WideString(compilation.GetAlbumArtist()), WIDE("Various Artists"));
  EXPECT_EQ(WideString(compilation.GetAlbumArtistOrArtist()), WIDE("Various Artists"));
  EXPECT_EQ(WideString(compilation.GetSortAlbum()), WIDE("1979 Wall"));
}

TEST_F(TrackInfoTest, InvalidSnapshotGivesNothingEvenWhenTagsWereRead) {
  library.elements = {Suitable()};
  library.elements[0].track.albumArtist = WIDE("Someone");
  library.elements[0].track.year = 10000;
  Yield();
  CTrackInfo track(element);
  EXPECT_FALSE(track.IsValid());
  EXPECT_EQ(track.GetYear(), 0);
  EXPECT_EQ(track.GetAlbum(), nullptr);
  EXPECT_FALSE(track.HasAlbumArtist());
  EXPECT_EQ(track.GetAlbumArtist(), nullptr);
  EXPECT_EQ(track.GetSortAlbum(), nullptr);
  EXPECT_EQ(track.GetAlbumArtistOrArtist(), nullptr);
  EXPECT_FALSE(track.SetSortAlbum(WIDE("1979 Wall"), false));
  EXPECT_TRUE(library.CallsStartingWith("0.put").empty());
}

// Reads stop at the first call that does not return S_OK, S_FALSE included.
TEST_F(TrackInfoTest, AFailedReadStopsConstruction) {
  const char* const getters[] = {"get_Artist",    "get_AlbumArtist", "get_Album",
                                 "get_SortAlbum", "get_Name",        "get_Year"};
  for (const char* failing : getters) {
    for (HRESULT result : {E_FAIL, S_FALSE}) {
      CStandInLibrary lib;
      lib.elements = {Suitable()};
      lib.SetResult(std::string("0.") + failing, result);
      VARIANT v;
      VariantInit(&v);
      ASSERT_EQ(lib.Next(&v), S_OK);
      {
        CTrackInfo track(v);
        EXPECT_FALSE(track.IsValid()) << failing;
        VariantClear(&v);
      }
      std::vector<std::string> expected = {"0.QueryInterface(IITFileOrCDTrack)"};
      for (const char* getter : getters) {
        expected.push_back(std::string("0.") + getter);
        if (getter == failing) break;
      }
      expected.push_back("0.Release");  // the element's own reference
      expected.push_back("0.Release");  // the snapshot's
      EXPECT_EQ(lib.CallsStartingWith("0."), expected) << failing;
      EXPECT_EQ(lib.Imbalances(), "");
    }
  }
}

TEST_F(TrackInfoTest, NoLibraryCallForAnElementWithoutAnObject) {
  for (ElementKind kind : {ElementKind::NullReference, ElementKind::Empty, ElementKind::String}) {
    library.elements.push_back(Element(kind));
  }
  for (std::size_t i = 0; i < library.elements.size(); ++i) {
    Yield();
    CTrackInfo track(element);
    EXPECT_FALSE(track.IsValid());
  }
  EXPECT_EQ(library.Calls(), std::vector<std::string>(3, "enum.Next"));
}

TEST_F(TrackInfoTest, ObjectThatIsNotATrackIsNeitherReadNorKept) {
  library.elements = {Element(ElementKind::NotATrack)};
  Yield();
  { CTrackInfo track(element); }
  EXPECT_EQ(library.CallsStartingWith("0."),
            std::vector<std::string>{"0.QueryInterface(IITFileOrCDTrack)"});
}

TEST_F(TrackInfoTest, SnapshotKeepsTheTrackAfterTheElementIsCleared) {
  library.elements = {Suitable()};
  Yield();
  CTrackInfo track(element);
  VariantClear(&element);
  EXPECT_EQ(library.Imbalances(), "0 holds 1 extra references; ");
  EXPECT_TRUE(track.SetSortAlbum(WIDE("1979 Wall"), false));
  EXPECT_EQ(library.elements[0].track.sortAlbum, WIDE("1979 Wall"));
}

}  // namespace
