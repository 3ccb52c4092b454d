// The SortAlbum value that makes an iPod list an artist's albums by year:
// "9999 " for a compilation (an AlbumArtist that starts with "Various"), the
// album's year, a space, and the title past one leading "the " or "a ".
#pragma once

#include <optional>

#include "text/wide.h"

class CAlbumsInfo;
class CTrackInfo;

// Where the sort title starts within `title`: past one leading article that
// is followed by more text, else at the start. Only ASCII letters fold.
const WideChar* SkipLeadingArticle(const WideChar* title);

// The key of a valid snapshot, with its album's year from `albums` (which
// may rise and warn, as CAlbumsInfo::GetAlbumYear says); none when the key
// could not be formatted for want of memory.
std::optional<WideString> ComposeSortKey(const CTrackInfo& track, CAlbumsInfo& albums);
