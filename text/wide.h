// Text is 16-bit UTF-16 code units on every host, as the media library
// delivers it. Where wchar_t is 16 bits (Windows) it is the code unit, so that
// the platform's own strings fit; elsewhere char16_t is.
#pragma once

#include <cwchar>
#include <string>

#if WCHAR_MAX > 0xFFFF
using WideChar = char16_t;
#define WIDE(text) u##text
#else
using WideChar = wchar_t;
#define WIDE(text) L##text
#endif

using WideString = std::basic_string<WideChar>;
