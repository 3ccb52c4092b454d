#include "albums/sort_key.h"

#include <limits>

#include "albums/album_years.h"
#include "library/standin_test_support.h"
#include "text/format.h"

namespace {

TEST(SkipLeadingArticle, RemovesOneArticleFollowedByMoreText) {
  const struct {
    const WideChar* title;
    const WideChar* rest;
  } cases[] = {
      {WIDE("The Wall"), WIDE("Wall")},
      {WIDE("A Night at the Opera"), WIDE("Night at the Opera")},
      {WIDE("THE WALL"), WIDE("WALL")},
      {WIDE("the wall"), WIDE("wall")},
      {WIDE("An Innocent Man"), WIDE("An Innocent Man")},
      {WIDE("Theatre"), WIDE("Theatre")},
      {WIDE("The A Team"), WIDE("A Team")},
      {WIDE("The"), WIDE("The")},
      {WIDE("The "), WIDE("The ")},
      {WIDE("a "), WIDE("a ")},
      {WIDE("A"), WIDE("A")},
      {WIDE("The  Wall"), WIDE(" Wall")},
      {WIDE(" The Wall"), WIDE(" The Wall")},
      {WIDE("The\tWall"), WIDE("The\tWall")},
      {WIDE("The\u00A0Wall"), WIDE("The\u00A0Wall")},
      {WIDE(""), WIDE("")},
  };
  for (const auto& c : cases) EXPECT_EQ(WideString(SkipLeadingArticle(c.title)), c.rest);
  const WideChar* title = WIDE("The Wall");
  EXPECT_EQ(SkipLeadingArticle(title), title + 4);  // a position in the same text
}

class ComposeSortKeyTest : public StandInTest {
 protected:
  void TearDown() override {
    SetFormatNewCapacityLimit(std::numeric_limits<std::size_t>::max());
    StandInTest::TearDown();
  }

  std::optional<WideString> Key(const WideChar* albumArtist, const WideChar* album,
                                std::int32_t year, const WideChar* artist = WIDE("Pink Floyd")) {
    auto track = Snapshot(Track(artist, album, year, WideString(), albumArtist));
    return ComposeSortKey(*track, albums);
  }

  CAlbumsInfo albums;
};

TEST_F(ComposeSortKeyTest, YearThenTitleWithCompilationsLast) {
  const struct {
    const WideChar* albumArtist;
    const WideChar* album;
    std::int32_t year;
    const WideChar* key;
    const WideChar* artist;
  } cases[] = {
      {WIDE(""), WIDE("The Wall"), 1979, WIDE("1979 Wall"), WIDE("Pink Floyd")},
      {WIDE(""), WIDE("A Night at the Opera"), 1975, WIDE("1975 Night at the Opera"),
       WIDE("Queen")},
      {WIDE(""), WIDE("THE WALL"), 1979, WIDE("1979 WALL"), WIDE("x")},
      {WIDE(""), WIDE("An Innocent Man"), 1983, WIDE("1983 An Innocent Man"), WIDE("x")},
      {WIDE(""), WIDE("The "), 1990, WIDE("1990 The "), WIDE("x")},
      {WIDE(""), WIDE(" The Wall"), 1979, WIDE("1979  The Wall"), WIDE("x")},
      {WIDE("Various Artists"), WIDE("The Summer Hits"), 1998, WIDE("9999 1998 Summer Hits"),
       WIDE("x")},
      {WIDE("VARIOUS"), WIDE("Dance Classics"), 2001, WIDE("9999 2001 Dance Classics"), WIDE("x")},
      {WIDE("Variousness"), WIDE("Echoes"), 2004, WIDE("9999 2004 Echoes"), WIDE("x")},
      {WIDE("Vario"), WIDE("Echoes"), 2004, WIDE("2004 Echoes"), WIDE("x")},
      {WIDE(" Various Artists"), WIDE("Echoes"), 2004, WIDE("2004 Echoes"), WIDE("y")},
      {WIDE(""), WIDE("The Summer Hits"), 1998, WIDE("1998 Summer Hits"), WIDE("Various Artists")},
      {WIDE(""), WIDE("\U0001F3B5 \u00C9t\u00E9"), 1000, WIDE("1000 \U0001F3B5 \u00C9t\u00E9"),
       WIDE("x")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Key(c.albumArtist, c.album, c.year, c.artist), WideString(c.key));
  }
}

TEST_F(ComposeSortKeyTest, YearIsTheAlbumsNotTheTracks) {
  auto latest = Snapshot(Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1980));
  albums.AddTrack(*latest);
  output.all.clear();
  EXPECT_EQ(Key(WIDE(""), WIDE("The Wall"), 1979), WideString(WIDE("1980 Wall")));
  EXPECT_EQ(output.all, "");
}

TEST_F(ComposeSortKeyTest, NoKeyWhenTheKeyCannotBeFormatted) {
  const WideString title(60, 't');
  SetFormatNewCapacityLimit(64);
  EXPECT_EQ(Key(WIDE(""), title.c_str(), 1990), std::nullopt);
  EXPECT_EQ(Key(WIDE(""), WIDE("Short"), 1990), WideString(WIDE("1990 Short")));
}

}  // namespace
