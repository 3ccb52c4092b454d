// A FLAC file (an ID3v2 tag before it allowed): the album sort in its
// first VORBIS_COMMENT block, grown into the PADDING block that follows when
// there is one.
#pragma once

#include <string>

#include "folder/splice.h"

// The splices that give `file` the album sort `value` (removed when empty);
// none when it already has it. False, with a reason a user can act on, when
// the file is not whole or its layout cannot be edited without changing
// anything else.
bool EditFlacSortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                       std::string& reason);
