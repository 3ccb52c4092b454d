// The format rules shared by FormatNew and PrintMessage: "%s" takes a wide
// text (null gives "(null)"), "%d" and "%ld" a signed 32-bit integer; every
// other unit of the format is copied. Each sink decides where the units go
// and may stop the formatting by returning false.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "text/wide.h"

template <typename Sink>
bool PutText(Sink& sink, const WideChar* text) {
  for (; *text != 0; ++text) {
    if (!sink.Put(*text)) return false;
  }
  return true;
}

template <typename Sink>
bool PutDecimal(Sink& sink, std::int32_t value) {
  WideChar digits[12];
  int count = 0;
  // Widened so that the most negative value has a magnitude.
  std::int64_t magnitude = value < 0 ? -static_cast<std::int64_t>(value) : value;
  do {
    digits[count++] = static_cast<WideChar>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0 && !sink.Put(WideChar{'-'})) return false;
  while (count > 0) {
    if (!sink.Put(digits[--count])) return false;
  }
  return true;
}

// Returns false when the sink stopped the formatting.
template <typename Sink>
bool FormatTo(Sink& sink, const WideChar* format, va_list args) {
  static const WideChar kNull[] = WIDE("(null)");
  for (const WideChar* at = format; *at != 0; ++at) {
    if (*at == '%') {
      if (at[1] == 's') {
        const WideChar* text = va_arg(args, const WideChar*);
        if (!PutText(sink, text != nullptr ? text : kNull)) return false;
        ++at;
        continue;
      }
      if (at[1] == 'd' || (at[1] == 'l' && at[2] == 'd')) {
        if (!PutDecimal(sink, va_arg(args, std::int32_t))) return false;
        at += at[1] == 'l' ? 2 : 1;
        continue;
      }
    }
    if (!sink.Put(*at)) return false;
  }
  return true;
}
