#include "albums/album_years.h"

#include "library/standin_test_support.h"

namespace {

using AlbumYearsTest = StandInTest;

StandInElement On(const WideChar* artist, const WideChar* album, std::int32_t year,
                  const WideChar* albumArtist = WIDE("")) {
  return Track(artist, album, year, WideString(), albumArtist);
}

TEST(LowerCaseCopy, FoldsAsciiUnitByUnit) {
  WideString key = WIDE("left over");
  LowerCaseCopy(WIDE("PINK Floyd \u00C9MILIE \U0001F3B5 [Z]"), key);
  EXPECT_EQ(key, WIDE("pink floyd \u00C9milie \U0001F3B5 [z]"));
}

// Pass 1 keeps the latest year of each album and marks every rise.
TEST_F(AlbumYearsTest, AddTrackKeepsTheLatestYearAndMarksEachRise) {
  const struct {
    std::vector<StandInElement> tracks;
    const char* marks;
    std::int32_t year;  // of an album track of 1900, asked afterwards
  } cases[] = {
      {{On(WIDE("Pink Floyd"), WIDE("The Wall"), 1979),
        On(WIDE("Pink Floyd"), WIDE("The Wall"), 1980)},
       "..",
       1980},
      {{On(WIDE("Pink Floyd"), WIDE("The Wall"), 1980),
        On(WIDE("Pink Floyd"), WIDE("The Wall"), 1979)},
       ".",
       1980},
      {{On(WIDE("Pink Floyd"), WIDE("The Wall"), 1979),
        On(WIDE("Pink Floyd"), WIDE("The Wall"), 1979)},
       ".",
       1979},
      {{On(WIDE("PINK FLOYD"), WIDE("THE WALL"), 1979),
        On(WIDE("Pink Floyd"), WIDE("The Wall"), 1982)},
       "..",
       1982},
      // Different artists under one AlbumArtist form one album.
      {{On(WIDE("A"), WIDE("Hits"), 1990, WIDE("Various Artists")),
        On(WIDE("B"), WIDE("Hits"), 1995, WIDE("Various Artists"))},
       "..",
       1995},
  };
  for (const auto& c : cases) {
    CStandInLibrary lib;
    lib.elements = c.tracks;
    lib.elements.push_back(c.tracks.back());
    lib.elements.back().track.year = 1900;
    CapturedOutput out;
    CAlbumsInfo albums;
    VARIANT v;
    VariantInit(&v);
    for (std::size_t i = 0; i < c.tracks.size(); ++i) {
      ASSERT_EQ(lib.Next(&v), S_OK);
      CTrackInfo track(v);
      albums.AddTrack(track);
      VariantClear(&v);
    }
    EXPECT_EQ(out.all, c.marks);
    ASSERT_EQ(lib.Next(&v), S_OK);
    CTrackInfo probe(v);
    VariantClear(&v);
    EXPECT_EQ(albums.GetAlbumYear(probe), c.year);
    EXPECT_EQ(out.all, c.marks);  // no warning: the year did not rise
  }
}

TEST_F(AlbumYearsTest, AlbumsAreArtistAndTitleFoldedInAsciiOnly) {
  CAlbumsInfo albums;
  auto wall = Snapshot(On(WIDE("Pink Floyd"), WIDE("The Wall"), 1979));
  albums.AddTrack(*wall);
  const struct {
    StandInElement track;
    bool sameAlbum;
  } cases[] = {
      {On(WIDE("PINK FLOYD"), WIDE("THE WALL"), 1900), true},
      {On(WIDE("Someone"), WIDE("The Wall"), 1900, WIDE("Pink Floyd")), true},
      {On(WIDE("Pink Floyd"), WIDE("Wall"), 1900), false},
      {On(WIDE("Pink Floyd"), WIDE("The Wall "), 1900), false},
      {On(WIDE("Pink Floyd "), WIDE("The Wall"), 1900), false},
      {On(WIDE("Pink Floyd"), WIDE("The Wall"), 1900, WIDE("Various Artists")), false},
  };
  for (const auto& c : cases) {
    auto track = Snapshot(c.track);
    // An album first met here takes the track's own year.
    EXPECT_EQ(albums.GetAlbumYear(*track), c.sameAlbum ? 1979 : 1900);
  }

  auto emilie = Snapshot(On(WIDE("\u00C9milie"), WIDE("Jours"), 2004));
  albums.AddTrack(*emilie);
  auto lower = Snapshot(On(WIDE("\u00E9milie"), WIDE("Jours"), 2000));
  EXPECT_EQ(albums.GetAlbumYear(*lower), 2000);
}

TEST_F(AlbumYearsTest, GetAlbumYearWarnsWhenTheYearRises) {
  CAlbumsInfo albums;
  auto first = Snapshot(On(WIDE("Pink Floyd"), WIDE("The Wall"), 1979));
  albums.AddTrack(*first);
  output.all.clear();

  auto later = Snapshot(On(WIDE("Pink Floyd"), WIDE("The Wall"), 1980));
  EXPECT_EQ(albums.GetAlbumYear(*later), 1980);
  EXPECT_EQ(output.all, "WARNING: Album Year has changed! Pink Floyd - The Wall --> 1980\r\n");

  output.all.clear();
  auto older = Snapshot(On(WIDE("PINK FLOYD"), WIDE("the wall"), 1979));
  EXPECT_EQ(albums.GetAlbumYear(*older), 1980);
  EXPECT_EQ(output.all, "");

  // An album the first pass never saw, in the case of its tags.
  auto unseen = Snapshot(On(WIDE("Some One"), WIDE("Unseen"), 2001, WIDE("Some ONE")));
  EXPECT_EQ(albums.GetAlbumYear(*unseen), 2001);
  EXPECT_EQ(output.all, "WARNING: Album Year has changed! Some ONE - Unseen --> 2001\r\n");
}

TEST_F(AlbumYearsTest, InvalidSnapshotChangesNothing) {
  CAlbumsInfo albums;
  auto invalid = Snapshot(On(WIDE("Pink Floyd"), WIDE("The Wall"), 10000));
  albums.AddTrack(*invalid);
  EXPECT_EQ(albums.GetAlbumYear(*invalid), 0);
  auto valid = Snapshot(On(WIDE("Pink Floyd"), WIDE("The Wall"), 1979));
  EXPECT_EQ(albums.GetAlbumYear(*valid), 1979);  // not there before
  EXPECT_EQ(output.all, "WARNING: Album Year has changed! Pink Floyd - The Wall --> 1979\r\n");
}

}  // namespace
