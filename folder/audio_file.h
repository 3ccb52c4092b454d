// The six tags of one audio file, read with TagLib from the format's own
// fields, and the one change the tool makes: the album-sort field set, or
// removed when empty. A write that cannot leave everything else exactly as it
// was is refused, and no file is ever left half written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "text/wide.h"

enum class AudioFormat { Mpeg, Adts, TrueAudio, Wav, Aiff, Mp4, Flac, Ogg, Asf, Ape, Mpc, WavPack };

// The format a file name claims by its extension (any case); none for a
// file that is not a library item.
std::optional<AudioFormat> FormatOfName(const std::string& name);

struct AudioTags {
  WideString artist, albumArtist, album, sortAlbum, name;
  std::int32_t year = 0;
  bool operator==(const AudioTags& other) const;
};

// Nothing when the file cannot be read or is not really audio of `format`.
std::optional<AudioTags> ReadAudioTags(const std::string& path, AudioFormat format);

// Gives the file whose tags were last read as `tags` the album sort
// `sortAlbum`. True once the file reads back as `tags` with that one field
// changed; `tags` then holds what the file says. A file that changed since
// it was read reads back otherwise, and the write is undone or never made.
bool WriteSortAlbum(const std::string& path, AudioFormat format, AudioTags& tags,
                    const WideString& sortAlbum);

// The number formed by the leading digits of a date text; 0 without any.
std::int32_t YearOfDate(const WideString& date);

// Keeps TagLib's diagnostics off stdout and stderr.
void SilenceTagLib();
