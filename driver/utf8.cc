#include "driver/utf8.h"

#include <cstdint>

namespace {

constexpr WideChar kReplacement = 0xFFFD;

void AppendCodePoint(WideString& out, std::uint32_t point) {
  if (point < 0x10000) {
    out.push_back(static_cast<WideChar>(point));
  } else {
    point -= 0x10000;
    out.push_back(static_cast<WideChar>(0xD800 + (point >> 10)));
    out.push_back(static_cast<WideChar>(0xDC00 + (point & 0x3FF)));
  }
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

WideString Utf8ToWide(const char* text) {
  WideString out;
  const auto* at = reinterpret_cast<const unsigned char*>(text);
  while (*at != 0) {
    const unsigned char lead = *at;
    int length;
    std::uint32_t point;
    // The lowest value each length may carry, and the range of its second
    // byte, which rules out overlong forms, surrogates and values too large.
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      out.push_back(lead);
      ++at;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      point = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      point = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++at;
      continue;
    }
    ++at;
    int taken = 1;
    for (; taken < length; ++taken, ++at) {
      const unsigned char byte = *at;
      if (taken == 1 ? (byte < low || byte > high) : !IsContinuation(byte)) break;
      point = (point << 6) | (byte & 0x3F);
    }
    if (taken == length) {
      AppendCodePoint(out, point);
    } else {
      out.push_back(kReplacement);
    }
  }
  return out;
}
