// The one change the tool makes to an ID3v2 tag, done at byte level so that
// every other frame, the version and the flags stay exactly as they were:
// the album-sort frame (TSOA) is replaced, added or removed.
#pragma once

#include <optional>
#include <string>

#include "text/wide.h"

// The size of the tag that starts `header` (its first ten bytes), header and
// footer included; nothing when those bytes are not an ID3v2 header.
std::optional<std::size_t> Id3v2TagSize(const std::string& header);

// `tag` is a whole ID3v2 tag, or empty for a file without one. Returns the
// tag with TSOA set to `value` (removed when empty): as long as `tag` when
// the frames fit in its padding, else with fresh padding; a new ID3v2.3 tag
// when there was none. Nothing when the tag is of a kind this edit cannot
// keep intact (version 2.2, unsynchronised, an extended header, a footer, or
// frames that do not parse) or the value cannot be stored; `reason` then
// says which.
std::optional<std::string> EditSortAlbumFrame(const std::string& tag, const WideString& value,
                                              std::string* reason = nullptr);
