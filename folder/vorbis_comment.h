// The comment list that FLAC, Vorbis, Opus, Speex and FLAC in Ogg share: a
// vendor text and fields "KEY=value", each behind a little-endian length.
// Its album-sort field (ALBUMSORT, in any case) is changed, added or
// removed; every other field keeps its bytes, its place and its key's case.
#pragma once

#include <string>

#include "folder/splice.h"

// `comment` starts with the vendor's length; bytes after the last field (a
// framing bit, padding) are kept. The splices are relative to its start:
// the field count and the sort field(s). The first ALBUMSORT field takes
// the value under its own spelling of the key, later ones are removed (they
// are the same field's values); without one, the field goes after the last.
// An empty value removes them all. False, with a reason, when the list does
// not parse or the value cannot be stored.
bool EditVorbisComment(const std::string& comment, const WideString& value, Splices& splices,
                       std::string& reason);
