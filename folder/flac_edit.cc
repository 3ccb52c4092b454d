#include "folder/flac_edit.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "folder/id3v2_edit.h"
#include "folder/vorbis_comment.h"

namespace {

constexpr int kStreamInfo = 0;
constexpr int kPadding = 1;
constexpr int kVorbisComment = 4;
constexpr int kInvalidType = 127;
constexpr std::uint64_t kStreamInfoLength = 34;
constexpr std::uint64_t kMaxBlockLength = 0xFFFFFF;
constexpr std::uint64_t kUnknownFrameSizeWindow = 1 << 20;
constexpr std::uint64_t kId3v1Size = 128;
constexpr std::size_t kMaxFrameHeader = 16;

struct Block {
  std::uint64_t at = 0;  // its 4-byte header
  int type = 0;
  bool last = false;
  std::uint64_t length = 0;  // of the content after the header
  std::uint64_t End() const { return at + 4 + length; }
};

struct Stream {
  std::vector<Block> blocks;
  std::string streamInfo;
  std::uint64_t audioAt = 0;
  std::uint64_t audioEnd = 0;  // before an ID3v1 tag
};

struct FrameHeader {
  bool variable = false;  // numbered by sample rather than by frame
  std::uint64_t number = 0;
  std::uint64_t blockSize = 0;
};

bool Refuse(std::string& reason, const char* why) {
  reason = why;
  return false;
}

unsigned Byte(const std::string& bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes[at]);
}

bool IsFrameSync(const std::string& bytes, std::size_t at) {
  return Byte(bytes, at) == 0xFF && (Byte(bytes, at + 1) & 0xFE) == 0xF8;
}

std::string BlockHeader(int type, bool last, std::uint64_t length) {
  return std::string(1, static_cast<char>(type | (last ? 0x80 : 0))) + BigEndianBytes(length, 3);
}

// ---- Frames: enough of their headers to find the last one and its samples.

std::uint8_t Crc8(const std::string& bytes, std::size_t at, std::size_t length) {
  unsigned crc = 0;
  for (std::size_t i = at; i < at + length; ++i) {
    crc ^= Byte(bytes, i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80) ? ((crc << 1) ^ 0x07) & 0xFF : crc << 1;
  }
  return static_cast<std::uint8_t>(crc);
}

const std::array<std::uint16_t, 256>& Crc16Table() {
  static const std::array<std::uint16_t, 256> table = [] {
    std::array<std::uint16_t, 256> made{};
    for (unsigned n = 0; n < 256; ++n) {
      unsigned crc = n << 8;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1;
      made[n] = static_cast<std::uint16_t>(crc);
    }
    return made;
  }();
  return table;
}

// Zero over a whole frame, its own checksum included, and over any run of
// whole frames, since each leaves the register as it found it.
unsigned Crc16(const std::string& bytes, std::size_t at) {
  const auto& table = Crc16Table();
  unsigned crc = 0;
  for (std::size_t i = at; i < bytes.size(); ++i) {
    crc = ((crc << 8) ^ table[((crc >> 8) ^ Byte(bytes, i)) & 0xFF]) & 0xFFFF;
  }
  return crc;
}

// The frame or sample number, coded like UTF-8 stretched to 36 bits.
bool ReadCodedNumber(const std::string& bytes, std::size_t& at, std::uint64_t& number) {
  if (at >= bytes.size()) return false;
  const unsigned first = Byte(bytes, at++);
  int more = 0;
  while (more < 7 && (first & (0x80u >> more))) ++more;
  if (more == 0) {
    number = first;
    return true;
  }
  if (more == 1 || more == 8) return false;
  number = first & (0x7Fu >> more);
  for (int i = 1; i < more; ++i, ++at) {
    if (at >= bytes.size() || (Byte(bytes, at) & 0xC0) != 0x80) return false;
    number = number << 6 | (Byte(bytes, at) & 0x3F);
  }
  return true;
}

std::uint64_t BlockSizeOfCode(unsigned code, const std::string& bytes, std::size_t& at) {
  if (code == 1) return 192;
  if (code >= 2 && code <= 5) return 576u << (code - 2);
  if (code >= 8) return 256u << (code - 8);
  const std::size_t width = code == 6 ? 1 : 2;
  if (at + width > bytes.size()) return 0;
  at += width;
  return BigEndian(bytes, at - width, static_cast<int>(width)) + 1;
}

// A frame header at `at` whose reserved values are clear and whose CRC-8 is right.
bool ParseFrameHeader(const std::string& bytes, std::size_t at, FrameHeader& header) {
  if (at + 6 > bytes.size() || !IsFrameSync(bytes, at)) return false;
  const unsigned sizeCode = Byte(bytes, at + 2) >> 4;
  const unsigned rateCode = Byte(bytes, at + 2) & 0x0F;
  const unsigned layout = Byte(bytes, at + 3);
  if (sizeCode == 0 || rateCode == 15 || (layout >> 4) > 10 || ((layout >> 1) & 7) == 3 ||
      (layout & 1)) {
    return false;
  }
  header.variable = (Byte(bytes, at + 1) & 1) != 0;
  std::size_t end = at + 4;
  if (!ReadCodedNumber(bytes, end, header.number)) return false;
  header.blockSize = BlockSizeOfCode(sizeCode, bytes, end);
  if (header.blockSize == 0) return false;
  end += rateCode == 12 ? 1 : (rateCode == 13 || rateCode == 14) ? 2 : 0;
  if (end >= bytes.size()) return false;
  return Crc8(bytes, at, end - at) == Byte(bytes, end);
}

// ---- The layout before the audio.

// Any ID3v2 tags before "fLaC", skipped by their own sizes.
bool SkipId3v2(const ByteSource& file, std::uint64_t& at, std::string& reason) {
  std::string header;
  while (file.Read(at, 10, header) && header.compare(0, 3, "ID3") == 0) {
    const std::optional<std::size_t> size = Id3v2TagSize(header);
    if (!size) return Refuse(reason, "the ID3v2 tag before the FLAC stream has a bad size");
    at += *size;
    if (at > file.Size()) return Refuse(reason, "the ID3v2 tag runs past the end of the file");
  }
  return true;
}

bool CheckBlock(const ByteSource& file, const Block& block, bool first, const std::string& header,
                std::string& reason) {
  if (block.type == kInvalidType) {
    if (IsFrameSync(header, 0)) {
      return Refuse(reason, "the last metadata block is not marked as last");
    }
    return Refuse(reason, "a metadata block has the invalid type 127");
  }
  if (block.End() > file.Size()) {
    return Refuse(reason, "a metadata block runs past the end of the file");
  }
  if (first && block.type != kStreamInfo) {
    return Refuse(reason, "the first metadata block is not a STREAMINFO");
  }
  if (!first && block.type == kStreamInfo) {
    return Refuse(reason, "the file has a second STREAMINFO block");
  }
  if (first && block.length != kStreamInfoLength) {
    return Refuse(reason, "the STREAMINFO block has the wrong length");
  }
  return true;
}

bool ReadBlocks(const ByteSource& file, std::uint64_t at, Stream& stream, std::string& reason) {
  std::string header;
  do {
    if (!file.Read(at, 4, header)) {
      return Refuse(reason, "the file is cut short inside its metadata");
    }
    Block block;
    block.at = at;
    block.type = static_cast<int>(Byte(header, 0) & 0x7F);
    block.last = (Byte(header, 0) & 0x80) != 0;
    block.length = BigEndian(header, 1, 3);
    if (!CheckBlock(file, block, stream.blocks.empty(), header, reason)) return false;
    stream.blocks.push_back(block);
    at = block.End();
  } while (!stream.blocks.back().last);
  stream.audioAt = at;
  return file.Read(stream.blocks.front().at + 4, kStreamInfoLength, stream.streamInfo) ||
         Refuse(reason, "the STREAMINFO block cannot be read");
}

// ---- The audio: its first frame, and a last one that ends the stream.

bool ReadFirstFrame(const ByteSource& file, const Stream& stream, FrameHeader& first,
                    std::string& reason) {
  std::string bytes;
  const std::uint64_t room = file.Size() - stream.audioAt;
  if (room < 2) return Refuse(reason, "the file is cut short before its audio");
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(room, kMaxFrameHeader));
  if (!file.Read(stream.audioAt, length, bytes)) return Refuse(reason, "the audio cannot be read");
  if (ParseFrameHeader(bytes, 0, first)) return true;
  if (IsFrameSync(bytes, 0) && room < kMaxFrameHeader) {
    return Refuse(reason, "the file is cut short inside its audio");
  }
  return Refuse(reason, "the audio does not start with a FLAC frame");
}

std::uint64_t AudioEnd(const ByteSource& file, std::uint64_t audioAt) {
  std::string tail;
  const std::uint64_t size = file.Size();
  if (size - audioAt >= kId3v1Size && file.Read(size - kId3v1Size, 3, tail) && tail == "TAG") {
    return size - kId3v1Size;
  }
  return size;
}

// The latest frame header in `window` from which the frames run whole to its end.
bool FindLastFrame(const std::string& window, FrameHeader& last) {
  for (std::size_t at = window.size(); at-- > 0;) {
    if (window[at] == '\xFF' && ParseFrameHeader(window, at, last) && Crc16(window, at) == 0) {
      return true;
    }
  }
  return false;
}

bool CheckSampleCount(const Stream& stream, const FrameHeader& first, const FrameHeader& last,
                      std::string& reason) {
  const std::uint64_t total = BigEndian(stream.streamInfo, 10, 8) & ((std::uint64_t{1} << 36) - 1);
  if (total == 0) return true;  // the encoder did not know
  const std::uint64_t start = last.variable ? last.number : last.number * first.blockSize;
  const std::uint64_t end = start + last.blockSize;
  if (end < total) {
    return Refuse(reason, "the file is cut short: its audio stops before the last sample");
  }
  if (end > total) return Refuse(reason, "the audio runs longer than its STREAMINFO says");
  return true;
}

bool CheckAudio(const ByteSource& file, Stream& stream, std::string& reason) {
  FrameHeader first;
  if (!ReadFirstFrame(file, stream, first, reason)) return false;
  stream.audioEnd = AudioEnd(file, stream.audioAt);
  std::uint64_t reach = BigEndian(stream.streamInfo, 7, 3);
  if (reach == 0) reach = kUnknownFrameSizeWindow;
  reach = std::min(reach, stream.audioEnd - stream.audioAt);
  std::string window;
  FrameHeader last;
  if (!file.Read(stream.audioEnd - reach, static_cast<std::size_t>(reach), window) ||
      !FindLastFrame(window, last)) {
    // No frame runs whole to the end: cut inside it, or bytes of no frame after it.
    return Refuse(reason, "its last frame is cut short, or unknown bytes follow its audio");
  }
  return CheckSampleCount(stream, first, last, reason);
}

bool ReadStream(const ByteSource& file, Stream& stream, std::string& reason) {
  std::uint64_t at = 0;
  if (!SkipId3v2(file, at, reason)) return false;
  std::string magic;
  if (!file.Read(at, 4, magic)) {
    return Refuse(reason, "the file is cut short before its FLAC stream");
  }
  if (magic != "fLaC") return Refuse(reason, "the file does not hold a FLAC stream");
  return ReadBlocks(file, at + 4, stream, reason) && CheckAudio(file, stream, reason);
}

// ---- The edit.

// The first PADDING block after `after` (an index; -1 for any) that can take
// `growth` bytes (negative: give them back) and stay a block or vanish whole.
int RoomyPadding(const Stream& stream, int after, std::int64_t growth) {
  for (std::size_t i = static_cast<std::size_t>(after + 1); i < stream.blocks.size(); ++i) {
    const Block& pad = stream.blocks[i];
    if (pad.type != kPadding) continue;
    const auto length = static_cast<std::int64_t>(pad.length);
    if (growth <= length && length - growth <= static_cast<std::int64_t>(kMaxBlockLength)) {
      return static_cast<int>(i);
    }
    if (growth == length + 4) return static_cast<int>(i);
  }
  return -1;
}

void AddShifted(const Splices& inner, std::uint64_t by, Splices& splices) {
  for (const Splice& splice : inner) {
    splices.push_back({splice.offset + by, splice.length, splice.bytes});
  }
}

// The comment block's new length, and the padding at `padIndex` giving or
// taking the difference.
void ResizeWithPadding(const Stream& stream, std::size_t commentIndex, std::size_t padIndex,
                       std::uint64_t newLength, std::int64_t growth, const Splices& inner,
                       Splices& splices) {
  const Block& comment = stream.blocks[commentIndex];
  const Block& pad = stream.blocks[padIndex];
  const bool vanishes = growth == static_cast<std::int64_t>(pad.length) + 4;
  const bool passLast = vanishes && pad.last;
  if (passLast && padIndex == commentIndex + 1) {
    splices.push_back({comment.at, 4, BlockHeader(kVorbisComment, true, newLength)});
  } else {
    splices.push_back({comment.at + 1, 3, BigEndianBytes(newLength, 3)});
  }
  AddShifted(inner, comment.at + 4, splices);
  if (vanishes) {
    if (passLast && padIndex != commentIndex + 1) {
      const Block& before = stream.blocks[padIndex - 1];
      splices.push_back({before.at, 1, std::string(1, static_cast<char>(before.type | 0x80))});
    }
    splices.push_back({pad.at, pad.End() - pad.at, std::string()});
    return;
  }
  const auto padLength = static_cast<std::uint64_t>(static_cast<std::int64_t>(pad.length) - growth);
  if (growth > 0) {
    splices.push_back(
        {pad.at + 1, 3 + static_cast<std::uint64_t>(growth), BigEndianBytes(padLength, 3)});
  } else {
    splices.push_back(
        {pad.at + 1, 3,
         BigEndianBytes(padLength, 3) + std::string(static_cast<std::size_t>(-growth), '\0')});
  }
}

bool EditCommentBlock(const ByteSource& file, const Stream& stream, std::size_t index,
                      const WideString& value, Splices& splices, std::string& reason) {
  const Block& block = stream.blocks[index];
  std::string content;
  if (!file.Read(block.at + 4, static_cast<std::size_t>(block.length), content)) {
    return Refuse(reason, "the VORBIS_COMMENT block cannot be read");
  }
  Splices inner;
  if (!EditVorbisComment(content, value, inner, reason)) {
    return Refuse(reason, "the VORBIS_COMMENT block does not parse");
  }
  if (inner.empty()) return true;
  std::int64_t growth = 0;
  for (const Splice& splice : inner) {
    growth +=
        static_cast<std::int64_t>(splice.bytes.size()) - static_cast<std::int64_t>(splice.length);
  }
  const auto newLength =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(block.length) + growth);
  if (newLength > kMaxBlockLength) {
    return Refuse(reason, "the VORBIS_COMMENT block would outgrow its 16 MiB limit");
  }
  if (growth == 0) {
    AddShifted(inner, block.at + 4, splices);
    return true;
  }
  const int pad = RoomyPadding(stream, static_cast<int>(index), growth);
  if (pad < 0) {
    // No room beside it: the file changes size.
    splices.push_back({block.at + 1, 3, BigEndianBytes(newLength, 3)});
    AddShifted(inner, block.at + 4, splices);
    return true;
  }
  ResizeWithPadding(stream, index, static_cast<std::size_t>(pad), newLength, growth, inner,
                    splices);
  return true;
}

// A new block (with an empty vendor: this tool encoded nothing) in the first
// padding that holds it, else right after STREAMINFO.
bool AddCommentBlock(const Stream& stream, const std::string& utf8, Splices& splices,
                     std::string& reason) {
  const std::string field = "ALBUMSORT=" + utf8;
  const std::string content = LittleEndianBytes(0, 4) + LittleEndianBytes(1, 4) +
                              LittleEndianBytes(field.size(), 4) + field;
  if (content.size() > kMaxBlockLength) return Refuse(reason, "the new value is too long");
  const std::uint64_t size = 4 + content.size();
  const int found = RoomyPadding(stream, -1, static_cast<std::int64_t>(size));
  if (found >= 0) {
    const Block& pad = stream.blocks[static_cast<std::size_t>(found)];
    if (pad.length + 4 == size) {
      splices.push_back(
          {pad.at, size, BlockHeader(kVorbisComment, pad.last, content.size()) + content});
    } else {
      splices.push_back({pad.at, 4 + size,
                         BlockHeader(kVorbisComment, false, content.size()) + content +
                             BlockHeader(kPadding, pad.last, pad.length - size)});
    }
    return true;
  }
  const Block& info = stream.blocks.front();
  if (info.last) splices.push_back({info.at, 1, std::string(1, static_cast<char>(kStreamInfo))});
  splices.push_back(
      {info.End(), 0, BlockHeader(kVorbisComment, info.last, content.size()) + content});
  return true;
}

}  // namespace

bool EditFlacSortAlbum(const ByteSource& file, const WideString& value, Splices& splices,
                       std::string& reason) {
  splices.clear();
  std::string utf8;
  if (!EncodeUtf8(value, utf8)) {
    return Refuse(reason, "the new value holds an unpaired UTF-16 surrogate");
  }
  Stream stream;
  if (!ReadStream(file, stream, reason)) return false;
  for (std::size_t i = 0; i < stream.blocks.size(); ++i) {
    if (stream.blocks[i].type == kVorbisComment) {
      return EditCommentBlock(file, stream, i, value, splices, reason);
    }
  }
  if (value.empty()) return true;
  return AddCommentBlock(stream, utf8, splices, reason);
}
