// The two kernel calls the tool makes: the pause after the usage screen and
// the last-error code of a failed allocation. Windows has them; elsewhere
// this is our own, with a per-thread last-error code.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

using DWORD = std::uint32_t;

constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;

void Sleep(DWORD milliseconds);
void SetLastError(DWORD code);
DWORD GetLastError();
#endif
