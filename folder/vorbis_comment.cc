#include "folder/vorbis_comment.h"

#include <cstdint>

namespace {

bool IsSortKey(const std::string& comment, std::size_t at, std::size_t length) {
  static const char kKey[] = "ALBUMSORT=";
  constexpr std::size_t kKeyLength = sizeof(kKey) - 1;
  if (length < kKeyLength) return false;
  for (std::size_t i = 0; i < kKeyLength; ++i) {
    char c = comment[at + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kKey[i]) return false;
  }
  return true;
}

}  // namespace

bool EditVorbisComment(const std::string& comment, const WideString& value, Splices& splices,
                       std::string& reason) {
  splices.clear();
  std::string utf8;
  if (!EncodeUtf8(value, utf8)) {
    reason = "the new value holds an unpaired UTF-16 surrogate";
    return false;
  }
  const auto fits = [&comment](std::uint64_t at, std::uint64_t length) {
    return at <= comment.size() && length <= comment.size() - at;
  };
  if (!fits(0, 4)) {
    reason = "the comment list is cut short";
    return false;
  }
  const std::uint64_t vendor = LittleEndian(comment, 0, 4);
  if (!fits(4, vendor) || !fits(4 + vendor, 4)) {
    reason = "the comment list is cut short";
    return false;
  }
  const std::size_t countAt = static_cast<std::size_t>(4 + vendor);
  const std::uint64_t count = LittleEndian(comment, countAt, 4);
  std::size_t at = countAt + 4;
  std::uint64_t newCount = count;
  bool placed = false;
  Splices fields;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!fits(at, 4) || !fits(at + 4, LittleEndian(comment, at, 4))) {
      reason = "the comment list is cut short";
      return false;
    }
    const auto length = static_cast<std::size_t>(LittleEndian(comment, at, 4));
    if (IsSortKey(comment, at + 4, length)) {
      Splice splice{at, 4 + length, std::string()};
      if (!placed && !value.empty()) {
        // The key as the file spells it.
        const std::string field = comment.substr(at + 4, 10) + utf8;
        splice.bytes = LittleEndianBytes(field.size(), 4) + field;
      } else {
        --newCount;
      }
      placed = true;
      fields.push_back(std::move(splice));
    }
    at += 4 + length;
  }
  if (!placed && !value.empty()) {
    const std::string field = "ALBUMSORT=" + utf8;
    fields.push_back({at, 0, LittleEndianBytes(field.size(), 4) + field});
    ++newCount;
  }
  if (utf8.size() > 0xFFFFFF00u) {
    reason = "the new value is too long";
    return false;
  }
  if (newCount > 0xFFFFFFFFu) {
    reason = "the comment list has no room for another field";
    return false;
  }
  // Drop what would not change a byte.
  for (Splice& splice : fields) {
    if (splice.length == splice.bytes.size() &&
        comment.compare(static_cast<std::size_t>(splice.offset), splice.bytes.size(),
                        splice.bytes) == 0) {
      continue;
    }
    splices.push_back(std::move(splice));
  }
  if (newCount != count)
    splices.insert(splices.begin(), {countAt, 4, LittleEndianBytes(newCount, 4)});
  return true;
}
