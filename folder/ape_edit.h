// An APE tag (APEv1 or APEv2, with or without a header) at the end of a
// file, before an ID3v1 tag if there is one: Monkey's Audio, Musepack,
// WavPack, and MP3s that carry one. Its ALBUMSORT item is changed, added or
// removed; header, footer, version, flags and every other item stay.
#pragma once

#include <string>

#include "folder/splice.h"

enum class ApeTagMissing { Add, Leave };

// The splices that give `file` the album sort `value` (removed when empty);
// none when it already has it. Without an APE tag, one is added before any
// ID3v1 tag when `missing` says so, else nothing changes. False, with a
// reason a user can act on, when the tag or the file is not whole or cannot
// be edited without changing anything else.
bool EditApeSortAlbum(const ByteSource& file, const WideString& value, ApeTagMissing missing,
                      Splices& splices, std::string& reason);
