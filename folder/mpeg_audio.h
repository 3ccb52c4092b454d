// The audio of MPEG (MP3), ADTS (AAC) and TTA files, which carry no size of
// their own: the frames are walked to see that the last one ends where the
// file does, so that a file cut short is never written.
#pragma once

#include <cstdint>
#include <string>

#include "folder/splice.h"

// The length of the MPEG audio (or, for ADTS, AAC) frame whose header
// starts `bytes` at `at`; 0 when there is none.
std::size_t FrameLength(const std::string& bytes, std::size_t at, bool adts);

// Where the audio of an MPEG-family file ends: before an ID3v1 tag, and
// before an APE tag, at its end.
std::uint64_t AudioEnd(const ByteSource& file);

// Walks the frames from `start` to `end`, past any bytes between them that
// are not frames; false, with a reason, when the last frame of the stream
// runs past `end`.
bool CheckMpegAudio(const ByteSource& file, std::uint64_t start, std::uint64_t end, bool adts,
                    std::string& reason);

// The TTA stream at `start`: its header's checksum, and its frames, whose
// lengths its seek table gives, must end by `end`.
bool CheckTtaAudio(const ByteSource& file, std::uint64_t start, std::uint64_t end,
                   std::string& reason);
