// Case rules of the tool: only the 26 ASCII capitals fold, whatever the
// locale, and the halves of a surrogate pair are separate code units.
#pragma once

#include <cstdint>

#include "text/wide.h"

// 'A'..'Z' to 'a'..'z'; every other code unit unchanged.
WideChar LowerCaseUnit(WideChar unit);

// 0 when both texts are equal after folding; otherwise the difference of the
// first folded pair that differs, taken as unsigned units.
std::int32_t CompareNoCase(const WideChar* first, const WideChar* second);

// As CompareNoCase, but looks at no more than `count` code units.
std::int32_t CompareNoCaseN(const WideChar* first, const WideChar* second, std::uint32_t count);
