#include "albums/sort_key.h"

#include "albums/album_years.h"
#include "text/compare.h"
#include "text/format.h"
#include "track/track_info.h"

const WideChar* SkipLeadingArticle(const WideChar* title) {
  static const WideChar* const kArticles[] = {WIDE("the "), WIDE("a ")};
  for (const WideChar* article : kArticles) {
    const auto length = static_cast<std::uint32_t>(std::char_traits<WideChar>::length(article));
    if (CompareNoCaseN(article, title, length) == 0 && title[length] != 0) return title + length;
  }
  return title;
}

namespace {

bool IsCompilation(const CTrackInfo& track) {
  return track.HasAlbumArtist() && CompareNoCaseN(track.GetAlbumArtist(), WIDE("Various"), 7) == 0;
}

}  // namespace

std::optional<WideString> ComposeSortKey(const CTrackInfo& track, CAlbumsInfo& albums) {
  const WideChar* title = SkipLeadingArticle(track.GetAlbum());
  const WideChar* prefix = IsCompilation(track) ? WIDE("9999 ") : WIDE("");
  const std::int32_t year = albums.GetAlbumYear(track);
  WideChar* text = FormatNew(WIDE("%s%ld %s"), prefix, year, title);
  if (text == nullptr) return std::nullopt;
  WideString key(text);
  delete[] text;
  return key;
}
