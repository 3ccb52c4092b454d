// The tool's entry point: the banner, the choice of mode from the one
// argument, the usage and description screens, and the start of a run.
#pragma once

#include <cstdint>

#include "text/wide.h"

enum class RunMode { Usage, Describe, PretendWrite, RealWrite, PretendClear, RealClear };

// The mode that the command line selects: one argument, the whole of it one
// of the mode words in any case of its ASCII letters. Anything else: Usage.
RunMode SelectMode(int argc, const WideChar* const argv[]);

using PauseFunction = void (*)(std::uint32_t milliseconds);

// Always returns 0: no status tells a wrong command line or a failed run
// from a successful one. `pause` waits after the usage screen.
int KestruneMain(int argc, const WideChar* const argv[], PauseFunction pause);
