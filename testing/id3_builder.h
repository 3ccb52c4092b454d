// ID3v2 tags built byte by byte, so that a test knows every frame, and the
// bytes of files (tests only).
#pragma once

#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>

inline std::string FileContent(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

inline std::string Id3Size(std::size_t size, bool syncSafe) {
  std::string out;
  for (int i = 3; i >= 0; --i) {
    out.push_back(
        static_cast<char>(syncSafe ? (size >> (7 * i)) & 0x7F : (size >> (8 * i)) & 0xFF));
  }
  return out;
}

inline std::string Id3Frame(const std::string& id, const std::string& content, int version) {
  return id + Id3Size(content.size(), version == 4) + std::string(2, '\0') + content;
}

inline std::string Id3Tag(int version, const std::string& frames, std::size_t padding,
                          char flags = 0) {
  return std::string("ID3") + static_cast<char>(version) + '\0' + flags +
         Id3Size(frames.size() + padding, true) + frames + std::string(padding, '\0');
}

// A Latin-1 text frame's content.
inline std::string Id3Text(const std::string& latin1) { return std::string(1, '\0') + latin1; }

// The audio of an MP3 file: what follows its ID3v2 tag.
inline std::string AudioAfterTag(const std::string& mp3) {
  const auto byte = [&mp3](std::size_t i) {
    return std::size_t{static_cast<unsigned char>(mp3[i])};
  };
  return mp3.substr(10 + (byte(6) << 21 | byte(7) << 14 | byte(8) << 7 | byte(9)));
}
