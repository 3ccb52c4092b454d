#include "folder/splice.h"

bool StringSource::Read(std::uint64_t offset, std::size_t length, std::string& bytes) const {
  if (offset > m_Bytes.size() || length > m_Bytes.size() - offset) return false;
  bytes.assign(m_Bytes, static_cast<std::size_t>(offset), length);
  return true;
}

std::string ApplySplices(const std::string& original, const Splices& splices) {
  std::string out;
  std::size_t at = 0;
  for (const Splice& splice : splices) {
    const auto offset = static_cast<std::size_t>(splice.offset);
    out.append(original, at, offset - at);
    out += splice.bytes;
    at = offset + static_cast<std::size_t>(splice.length);
  }
  out.append(original, at, std::string::npos);
  return out;
}

bool SplicesAreOrdered(const Splices& splices, std::uint64_t size) {
  std::uint64_t end = 0;
  for (const Splice& splice : splices) {
    if (splice.offset < end || splice.offset > size || splice.length > size - splice.offset) {
      return false;
    }
    end = splice.offset + splice.length;
  }
  return true;
}

namespace {

bool IsHigh(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Every character of `value` as a code point; false at a lone surrogate.
template <typename Emit>
bool ForEachCodePoint(const WideString& value, Emit emit) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto unit = static_cast<std::uint32_t>(value[i]) & 0xFFFF;
    if (IsLow(unit)) return false;
    if (!IsHigh(unit)) {
      emit(unit);
      continue;
    }
    if (i + 1 == value.size()) return false;
    const auto low = static_cast<std::uint32_t>(value[i + 1]) & 0xFFFF;
    if (!IsLow(low)) return false;
    emit(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    ++i;
  }
  return true;
}

}  // namespace

bool EncodeUtf8(const WideString& value, std::string& utf8) {
  utf8.clear();
  return ForEachCodePoint(value, [&utf8](std::uint32_t c) {
    if (c < 0x80) {
      utf8.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | (c >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      utf8.push_back(static_cast<char>(0xE0 | (c >> 12)));
      utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      utf8.push_back(static_cast<char>(0xF0 | (c >> 18)));
      utf8.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  });
}

bool EncodeUtf16Le(const WideString& value, std::string& bytes) {
  bytes.clear();
  if (!ForEachCodePoint(value, [](std::uint32_t) {})) return false;
  for (WideChar unit : value) {
    const auto code = static_cast<std::uint32_t>(unit);
    bytes.push_back(static_cast<char>(code & 0xFF));
    bytes.push_back(static_cast<char>((code >> 8) & 0xFF));
  }
  return true;
}

std::uint64_t LittleEndian(const std::string& bytes, std::size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

std::uint64_t BigEndian(const std::string& bytes, std::size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

std::string LittleEndianBytes(std::uint64_t value, int count) {
  std::string out(static_cast<std::size_t>(count), '\0');
  for (int i = 0; i < count; ++i)
    out[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
  return out;
}

std::string BigEndianBytes(std::uint64_t value, int count) {
  std::string out(static_cast<std::size_t>(count), '\0');
  for (int i = 0; i < count; ++i) {
    out[static_cast<std::size_t>(count - 1 - i)] = static_cast<char>(value >> (8 * i));
  }
  return out;
}
