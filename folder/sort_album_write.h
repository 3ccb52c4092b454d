// The one change the tool makes to an audio file: its album-sort field set,
// or removed when empty, by the editor of its container, so that every other
// byte stays as it was. A write that cannot promise that is refused with a
// reason, and no stop leaves a file half written.
#pragma once

#include <string>

#include "folder/audio_file.h"

// Gives the file whose tags were last read as `tags` the album sort
// `sortAlbum`. True once the file reads back as `tags` with that one field
// changed; `tags` then holds what the file says. A file that changed since
// it was read reads back otherwise, and the write is undone or never made.
// False, with a reason a user can act on, when refused or failed.
bool WriteSortAlbum(const std::string& path, AudioFormat format, AudioTags& tags,
                    const WideString& sortAlbum, std::string& reason);
