#include "folder/mpeg_audio.h"

#include <algorithm>

namespace {

constexpr std::size_t kWindow = 1 << 20;

// A window over the file that slides forward, so that a walk of small
// headers reads the file in large pieces.
class Window {
 public:
  explicit Window(const ByteSource& file) : m_File(file) {}
  // The bytes from `at` on, at least `count` unless the file ends first.
  const std::string& At(std::uint64_t at, std::size_t count, std::size_t& offset) {
    if (at < m_Start || at + count > m_Start + m_Bytes.size()) {
      m_Start = at;
      const auto length =
          static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, m_File.Size() - at));
      if (!m_File.Read(at, length, m_Bytes)) m_Bytes.clear();
    }
    offset = static_cast<std::size_t>(at - m_Start);
    return m_Bytes;
  }

 private:
  const ByteSource& m_File;
  std::uint64_t m_Start = 0;
  std::string m_Bytes;
};

// The fields that stay the same in every frame of one stream.
std::uint32_t StreamBits(const std::string& bytes, std::size_t at, bool adts) {
  const auto b = [&](std::size_t i) {
    return std::uint32_t{static_cast<unsigned char>(bytes[at + i])};
  };
  // ADTS: version, layer, profile, rate, channels; MPEG: version, layer, rate.
  return adts ? (b(1) & 0x0E) << 16 | b(2) << 8 | (b(3) & 0xC0)
              : (b(1) & 0x1E) << 8 | (b(2) & 0x0C);
}

std::uint32_t Crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

}  // namespace

// The length of the MPEG audio (or, for ADTS, AAC) frame whose header
// starts `bytes` at `at`; 0 when there is none.
std::size_t FrameLength(const std::string& bytes, std::size_t at, bool adts) {
  if (at + 7 > bytes.size()) return 0;
  const auto b = [&bytes, at](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
  if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0) return 0;
  const unsigned layer = (b(1) >> 1) & 3;
  if (adts) {
    if ((b(1) & 0xF6) != 0xF0 || ((b(2) >> 2) & 0x0F) > 12) return 0;
    return (std::size_t{b(3) & 3u} << 11) | (std::size_t{b(4)} << 3) | (b(5) >> 5);
  }
  const unsigned version = (b(1) >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const unsigned bitrateIndex = b(2) >> 4;
  const unsigned rateIndex = (b(2) >> 2) & 3;
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
    return 0;
  }
  static const unsigned kBitrates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static const unsigned kRates[3] = {44100, 48000, 32000};
  const bool mpeg1 = version == 3;
  const unsigned layerIndex = 3 - layer;  // 0: layer I
  const unsigned bitrate = kBitrates[mpeg1 ? 0 : 1][layerIndex][bitrateIndex] * 1000;
  const unsigned rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  const unsigned padding = (b(2) >> 1) & 1;
  if (layerIndex == 0) return (12 * bitrate / rate + padding) * 4;
  const unsigned factor = layerIndex == 2 && !mpeg1 ? 72 : 144;
  return factor * bitrate / rate + padding;
}

std::uint64_t AudioEnd(const ByteSource& file) {
  std::uint64_t end = file.Size();
  std::string bytes;
  if (end >= 128 && file.Read(end - 128, 3, bytes) && bytes == "TAG") end -= 128;
  if (end >= 32 && file.Read(end - 32, 32, bytes) && bytes.compare(0, 8, "APETAGEX") == 0) {
    const std::uint64_t size = LittleEndian(bytes, 12, 4);
    const bool header = (LittleEndian(bytes, 20, 4) & 0x80000000u) != 0;
    const std::uint64_t whole = size + (header ? 32 : 0);
    if (whole <= end) end -= whole;
  }
  return end;
}

bool CheckMpegAudio(const ByteSource& file, std::uint64_t start, std::uint64_t end, bool adts,
                    std::string& reason) {
  Window window(file);
  std::uint64_t at = start;
  bool known = false;
  std::uint32_t stream = 0;
  while (at + 7 <= end) {
    std::size_t offset = 0;
    const std::string& bytes = window.At(at, 8, offset);
    if (offset + 7 > bytes.size()) break;
    const std::size_t length = FrameLength(bytes, offset, adts);
    // A frame of this stream; junk between frames is passed over.
    if (length >= 7 && (!known || StreamBits(bytes, offset, adts) == stream)) {
      if (!known) stream = StreamBits(bytes, offset, adts);
      known = true;
      if (at + length > end) {
        reason = "the file is cut short inside its audio";
        return false;
      }
      at += length;
      continue;
    }
    ++at;
  }
  if (!known) {
    reason = "it holds no audio frames";
    return false;
  }
  // Too few bytes for a header, but the start of one: a frame cut short.
  std::size_t offset = 0;
  const std::string& tail = window.At(at, 2, offset);
  const auto unit = [&](std::size_t i) { return static_cast<unsigned char>(tail[offset + i]); };
  if (at < end && offset < tail.size() && unit(0) == 0xFF &&
      (at + 1 == end || offset + 1 >= tail.size() || (unit(1) & 0xE0) == 0xE0)) {
    reason = "the file is cut short inside its audio";
    return false;
  }
  return true;
}

bool CheckTtaAudio(const ByteSource& file, std::uint64_t start, std::uint64_t end,
                   std::string& reason) {
  std::string header;
  if (start + 22 > end || !file.Read(start, 22, header) || header.compare(0, 4, "TTA1") != 0) {
    reason = "the file is cut short inside its TTA header";
    return false;
  }
  if (Crc32(header.substr(0, 18)) != LittleEndian(header, 18, 4)) {
    reason = "its TTA header has a wrong checksum";
    return false;
  }
  const std::uint64_t rate = LittleEndian(header, 10, 4);
  const std::uint64_t samples = LittleEndian(header, 14, 4);
  const std::uint64_t frameSamples = rate * 256 / 245;
  if (frameSamples == 0) {
    reason = "its TTA header does not parse";
    return false;
  }
  const std::uint64_t frames = (samples + frameSamples - 1) / frameSamples;
  std::string table;
  const std::uint64_t tableSize = frames * 4 + 4;
  if (start + 22 + tableSize > end || tableSize > (64u << 20) ||
      !file.Read(start + 22, static_cast<std::size_t>(tableSize), table)) {
    reason = "the file is cut short inside its TTA seek table";
    return false;
  }
  std::uint64_t audio = start + 22 + tableSize;
  for (std::uint64_t i = 0; i < frames; ++i)
    audio += LittleEndian(table, static_cast<std::size_t>(i * 4), 4);
  if (audio > end) {
    reason = "the file is cut short inside its audio";
    return false;
  }
  return true;
}
