// Arguments reach a POSIX process as UTF-8 bytes; the tool works in UTF-16.
#pragma once

#include "text/wide.h"

// Every ill-formed sequence (a stray or missing continuation byte, an
// overlong form, an encoded surrogate, a value past U+10FFFF) becomes one
// U+FFFD, so that no input is lost silently or read out of bounds.
WideString Utf8ToWide(const char* text);
