#include <optional>

#include "library/standin_test_support.h"
#include "track/track_info.h"

namespace {

using SetSortAlbumTest = StandInTest;

TEST_F(SetSortAlbumTest, ComparesReportsAndWrites) {
  const WideString T = WIDE("T");
  const struct {
    const WideChar* before;
    const WideChar* newValue;
    bool pretend;
    HRESULT put;
    HRESULT readBack;
    std::optional<WideString> storesInstead;
    const char* line;
    bool result;
    const char* calls;  // after the six reads
  } cases[] = {
      {WIDE(""), WIDE(""), false, S_OK, S_OK, {}, "", false, ""},
      {WIDE(""), WIDE(""), true, S_OK, S_OK, {}, "", false, ""},
      {WIDE("1979 Wall"), WIDE("1979 Wall"), false, S_OK, S_OK, {}, "", false, ""},
      {WIDE("1979 Wall"),
       WIDE("1979 wall"),
       true,
       S_OK,
       S_OK,
       {},
       "Would change \"The Wall\" SortAlbum \"1979 Wall\" to \"1979 wall\"\r\n",
       true,
       ""},
      {WIDE("1979 Wall"),
       WIDE("1979 Wall "),
       true,
       S_OK,
       S_OK,
       {},
       "Would change \"The Wall\" SortAlbum \"1979 Wall\" to \"1979 Wall \"\r\n",
       true,
       ""},
      {WIDE(""),
       WIDE("1979 Wall"),
       true,
       S_OK,
       S_OK,
       {},
       "Would change \"The Wall\" SortAlbum \"\" to \"1979 Wall\"\r\n",
       true,
       ""},
      {WIDE(""),
       WIDE("1979 Wall"),
       false,
       S_OK,
       S_OK,
       {},
       "Changed \"The Wall\" SortAlbum \"\" to \"1979 Wall\"\r\n",
       true,
       "put_SortAlbum(1979 Wall) get_SortAlbum"},
      {WIDE("1979 Wall"),
       WIDE(""),
       false,
       S_OK,
       S_OK,
       {},
       "Changed \"The Wall\" SortAlbum \"1979 Wall\" to \"\"\r\n",
       true,
       "put_SortAlbum() get_SortAlbum"},
      {WIDE(""),
       WIDE("1979 Wall"),
       false,
       E_FAIL,
       S_OK,
       {},
       "Failed to change \"The Wall\" SortAlbum \"\" to \"1979 Wall\"\r\n",
       false,
       "put_SortAlbum(1979 Wall)"},
      {WIDE(""),
       WIDE("1979 Wall"),
       false,
       S_FALSE,
       S_OK,
       {},
       "Failed to change \"The Wall\" SortAlbum \"\" to \"1979 Wall\"\r\n",
       false,
       "put_SortAlbum(1979 Wall)"},
      {WIDE(""),
       WIDE("1979 Wall"),
       false,
       S_OK,
       E_FAIL,
       {},
       "Changed \"The Wall\" SortAlbum \"\" to \"1979 Wall\"\r\n",
       true,
       "put_SortAlbum(1979 Wall) get_SortAlbum"},
      {WIDE(""), WIDE("1979 Wall"), false, S_OK, S_OK, T,
       "Changed \"The Wall\" SortAlbum \"\" to \"T\"\r\n", true,
       "put_SortAlbum(1979 Wall) get_SortAlbum"},
      {WIDE(""), WIDE("1979 Wall"), false, S_OK, S_OK, WideString(),
       "Changed \"The Wall\" SortAlbum \"\" to \"\"\r\n", true,
       "put_SortAlbum(1979 Wall) get_SortAlbum"},
  };
  int row = 0;
  for (const auto& c : cases) {
    CStandInLibrary lib;
    lib.elements = {Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979, c.before)};
    lib.elements[0].track.storesInstead = c.storesInstead;
    lib.SetResult("0.put_SortAlbum", c.put);
    lib.SetResult("0.get_SortAlbum", c.readBack, 2);
    CapturedOutput out;
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(lib.Next(&v), S_OK);
    {
      CTrackInfo track(v);
      ASSERT_TRUE(track.IsValid());
      const std::size_t reads = lib.Calls().size();
      EXPECT_EQ(track.SetSortAlbum(c.newValue, c.pretend), c.result) << "row " << row;
      std::string calls;
      for (std::size_t i = reads; i < lib.Calls().size(); ++i) {
        calls += (calls.empty() ? "" : " ") + lib.Calls()[i].substr(2);
      }
      EXPECT_EQ(calls, c.calls) << "row " << row;
      // The snapshot holds the new value whatever became of the write.
      const WideChar* now = track.GetSortAlbum();
      EXPECT_EQ(WideString(now != nullptr ? now : WIDE("")), c.newValue) << "row " << row;
      VariantClear(&v);
    }
    EXPECT_EQ(out.all, c.line) << "row " << row;
    EXPECT_EQ(lib.Imbalances(), "");
    ++row;
  }
}

TEST_F(SetSortAlbumTest, NoneIsAnsweredWithFalse) {
  library.elements = {Track(WIDE("Pink Floyd"), WIDE("The Wall"), 1979)};
  Yield();
  CTrackInfo track(element);
  EXPECT_FALSE(track.SetSortAlbum(nullptr, false));
  EXPECT_EQ(output.all, "");
}

TEST_F(SetSortAlbumTest, TextsOutsideLatin1ShowAsQuestionMarks) {
  library.elements = {
      Track(WIDE("Bj\u00F6rk"), WIDE("\u00C9t\u00E9 \u20AC"), 2001, WIDE("\U0001F3B5"))};
  Yield();
  CTrackInfo track(element);
  EXPECT_TRUE(track.SetSortAlbum(WIDE("2001 \u00C9t\u00E9 \u20AC"), true));
  EXPECT_EQ(output.all,
            "Would change \"\xC9t\xE9 ?\" SortAlbum \"??\" to \"2001 \xC9t\xE9 ?\"\r\n");
}

}  // namespace
