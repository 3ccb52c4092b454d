// An MP4 file (M4A, M4B): the `soal` item of moov/udta/meta/ilst, using
// neighbouring free space, with every offset that points past a moov that
// grows moved.
#pragma once

#include <string>

#include "folder/splice.h"

// The splices that give `file` the album sort `value` (removed when empty);
// none when it already has it. False, with a reason a user can act on, when
// the file is not whole or its layout cannot be edited without changing
// anything else.
bool EditMp4SortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                      std::string& reason);
