#include "text/compare.h"

WideChar LowerCaseUnit(WideChar unit) {
  if (unit >= WideChar{'A'} && unit <= WideChar{'Z'}) return static_cast<WideChar>(unit + 0x20);
  return unit;
}

namespace {

std::int32_t Difference(WideChar first, WideChar second) {
  return static_cast<std::int32_t>(static_cast<std::uint16_t>(first)) -
         static_cast<std::int32_t>(static_cast<std::uint16_t>(second));
}

}  // namespace

std::int32_t CompareNoCase(const WideChar* first, const WideChar* second) {
  for (;; ++first, ++second) {
    WideChar f = LowerCaseUnit(*first);
    WideChar l = LowerCaseUnit(*second);
    if (f == 0 || f != l) return Difference(f, l);
  }
}

std::int32_t CompareNoCaseN(const WideChar* first, const WideChar* second, std::uint32_t count) {
  if (count == 0) return 0;
  for (;; ++first, ++second) {
    WideChar f = LowerCaseUnit(*first);
    WideChar l = LowerCaseUnit(*second);
    if (f == 0 || f != l || --count == 0) return Difference(f, l);
  }
}
