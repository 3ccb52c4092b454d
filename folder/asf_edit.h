// An ASF file (WMA): the WM/AlbumSortOrder attribute of the header's
// content descriptions, with the object and header sizes fixed.
#pragma once

#include <string>

#include "folder/splice.h"

// The splices that give `file` the album sort `value` (removed when empty);
// none when it already has it. False, with a reason a user can act on, when
// the file is not whole or its layout cannot be edited without changing
// anything else.
bool EditAsfSortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                      std::string& reason);
