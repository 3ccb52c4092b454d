// Formatting into a newly allocated buffer that grows until the text fits:
// 64 code units first, then twice as many at every attempt. The buffer comes
// from new (std::nothrow) WideChar[] and the caller releases it with delete[].
#pragma once

#include <cstdarg>
#include <cstddef>

#include "text/wide.h"

// The text, null-terminated, in a buffer of the capacity of the attempt that
// succeeded; null when an allocation failed (the last-error code is then
// ERROR_NOT_ENOUGH_MEMORY). Never throws.
WideChar* FormatNew(const WideChar* format, ...);
WideChar* FormatNewV(const WideChar* format, va_list args);

// Makes every attempt whose capacity exceeds `units` fail as if memory ran
// out, so that tests reach that path. The default is no limit.
void SetFormatNewCapacityLimit(std::size_t units);
