#include "folder/id3v2_edit.h"

#include <cstdint>
#include <vector>

#include "folder/splice.h"

namespace {

constexpr std::size_t kHeaderSize = 10;
constexpr std::size_t kFreshPadding = 1024;
constexpr unsigned char kUnsynchronised = 0x80;
constexpr unsigned char kExtendedHeader = 0x40;
constexpr unsigned char kFooter = 0x10;

std::uint32_t Byte(const std::string& bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes[at]);
}

std::optional<std::uint32_t> SyncSafe(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (Byte(bytes, at + i) & 0x80) return std::nullopt;
    value = (value << 7) | Byte(bytes, at + i);
  }
  return value;
}

std::uint32_t BigEndian(const std::string& bytes, std::size_t at) {
  return Byte(bytes, at) << 24 | Byte(bytes, at + 1) << 16 | Byte(bytes, at + 2) << 8 |
         Byte(bytes, at + 3);
}

void PutSize(std::string& out, std::size_t size, bool syncSafe) {
  const int shift = syncSafe ? 7 : 8;
  const std::size_t mask = syncSafe ? 0x7F : 0xFF;
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((size >> (shift * i)) & mask));
}

bool IsFrameIdUnit(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

std::string SortAlbumFrame(const WideString& value, bool version4) {
  bool latin1 = true;
  for (WideChar unit : value) latin1 = latin1 && static_cast<std::uint32_t>(unit) <= 0xFF;
  std::string text;
  if (latin1) {
    text.push_back('\0');
    for (WideChar unit : value) text.push_back(static_cast<char>(unit));
  } else {
    // UTF-16 with a byte-order mark, which both versions read.
    text.append("\x01\xFF\xFE", 3);
    for (WideChar unit : value) {
      text.push_back(static_cast<char>(unit & 0xFF));
      text.push_back(static_cast<char>((static_cast<std::uint32_t>(unit) >> 8) & 0xFF));
    }
  }
  std::string frame = "TSOA";
  PutSize(frame, text.size(), version4);
  frame.append(2, '\0');
  return frame + text;
}

}  // namespace

std::optional<std::size_t> Id3v2TagSize(const std::string& header) {
  if (header.size() < kHeaderSize || header.compare(0, 3, "ID3") != 0) return std::nullopt;
  if (Byte(header, 3) == 0xFF || Byte(header, 4) == 0xFF) return std::nullopt;
  const std::optional<std::uint32_t> size = SyncSafe(header, 6);
  if (!size) return std::nullopt;
  const bool footer = Byte(header, 3) == 4 && (Byte(header, 5) & kFooter);
  return kHeaderSize + *size + (footer ? kHeaderSize : 0);
}

std::optional<std::string> EditSortAlbumFrame(const std::string& tag, const WideString& value,
                                              std::string* reason) {
  const auto refuse = [reason](const char* why) {
    if (reason != nullptr) *reason = why;
    return std::nullopt;
  };
  std::string utf16;
  if (!EncodeUtf16Le(value, utf16))
    return refuse("the new value holds an unpaired UTF-16 surrogate");
  if (tag.empty()) {
    if (value.empty()) return tag;
    std::string frames = SortAlbumFrame(value, false);
    std::string fresh("ID3\x03\x00\x00", 6);
    PutSize(fresh, frames.size() + kFreshPadding, true);
    return fresh + frames + std::string(kFreshPadding, '\0');
  }

  const std::optional<std::size_t> size = Id3v2TagSize(tag);
  if (!size || *size != tag.size()) return refuse("its ID3v2 tag is cut short");
  const unsigned version = Byte(tag, 3);
  const unsigned flags = Byte(tag, 5);
  if (version != 3 && version != 4)
    return refuse("its ID3v2 tag is of a version other than 2.3 and 2.4");
  if (flags & kUnsynchronised) return refuse("its ID3v2 tag is unsynchronised");
  if (flags & kExtendedHeader) return refuse("its ID3v2 tag has an extended header");
  if (flags & kFooter) return refuse("its ID3v2 tag has a footer");
  const bool version4 = version == 4;

  // Every frame as it stands, TSOA left out and its new form put where the
  // first one stood (at the end when there was none).
  std::string frames;
  bool placed = false;
  std::size_t at = kHeaderSize;
  for (; at + kHeaderSize <= tag.size() && tag[at] != '\0';) {
    for (std::size_t i = 0; i < 4; ++i) {
      if (!IsFrameIdUnit(tag[at + i])) return refuse("a frame of its ID3v2 tag does not parse");
    }
    std::uint32_t frameSize = BigEndian(tag, at + 4);
    if (version4) {
      const std::optional<std::uint32_t> safe = SyncSafe(tag, at + 4);
      if (!safe) return refuse("a frame of its ID3v2 tag does not parse");
      frameSize = *safe;
    }
    const std::size_t frameEnd = at + kHeaderSize + frameSize;
    if (frameEnd > tag.size()) return refuse("a frame of its ID3v2 tag runs past the tag's end");
    if (tag.compare(at, 4, "TSOA") == 0) {
      if (!placed && !value.empty()) frames += SortAlbumFrame(value, version4);
      placed = true;
    } else {
      frames.append(tag, at, frameEnd - at);
    }
    at = frameEnd;
  }
  for (std::size_t i = at; i < tag.size(); ++i) {
    // Not padding: something we do not understand.
    if (tag[i] != '\0')
      return refuse("its ID3v2 tag holds bytes after its frames that are not padding");
  }
  if (!placed && !value.empty()) frames += SortAlbumFrame(value, version4);

  const std::size_t body = tag.size() - kHeaderSize;
  if (frames.size() <= body) {
    return tag.substr(0, kHeaderSize) + frames + std::string(body - frames.size(), '\0');
  }
  if (frames.size() + kFreshPadding >= (std::size_t{1} << 28))
    return refuse("its ID3v2 tag would grow too large");
  std::string grown = tag.substr(0, 6);
  PutSize(grown, frames.size() + kFreshPadding, true);
  return grown + frames + std::string(kFreshPadding, '\0');
}
