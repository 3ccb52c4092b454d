// The six tags of one audio file, read with TagLib from the format's own
// fields.
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

// Nothing when the file cannot be read or is not really audio of `format`;
// `reason` then says why. Opening it never blocks.
std::optional<AudioTags> ReadAudioTags(const std::string& path, AudioFormat format,
                                       std::string* reason = nullptr);

// The number formed by the leading digits of a date text; 0 without any.
std::int32_t YearOfDate(const WideString& date);

// Keeps TagLib's diagnostics off stdout and stderr.
void SilenceTagLib();
