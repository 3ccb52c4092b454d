// The album sort of the files whose tag is ID3v2: at the start of MP3, AAC
// (ADTS) and TTA files, and in a chunk of its own in WAV and AIFF files. The
// tag itself is edited by EditSortAlbumFrame; these find it, check that the
// file around it adds up, and keep every byte outside it.
#pragma once

#include <string>

#include "folder/splice.h"

// The ID3v2 tag at the start of the file, added there when there is none.
bool EditLeadingId3SortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                             std::string& reason);

// The ID3v2 tag of a RIFF WAVE (little-endian sizes) or AIFF (big-endian)
// file, in a chunk "id3 " or "ID3 "; bytes after the tag inside its chunk
// stay. A file without one gets a new chunk at the end of its form.
bool EditChunkId3SortAlbum(const ByteSource& file, bool aiff, const WideString& value,
                           Splices& splices, std::string& reason);
