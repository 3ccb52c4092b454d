// An Ogg file of Vorbis, Opus, Speex or FLAC: the album sort in the
// comment packet; only the pages of the header packets are rebuilt.
#pragma once

#include <string>

#include "folder/splice.h"

// The splices that give `file` the album sort `value` (removed when empty);
// none when it already has it. False, with a reason a user can act on, when
// the file is not whole or its layout cannot be edited without changing
// anything else.
bool EditOggSortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                      std::string& reason);
