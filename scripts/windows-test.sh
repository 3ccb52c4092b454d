#!/usr/bin/env bash
# Cross-builds kestrune.exe and the stand-in player with mingw-w64 and runs
# the Windows tests under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2
/usr/bin/python3 "$root/library/windows_test.py" "$build"
