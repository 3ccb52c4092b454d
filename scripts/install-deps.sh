#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and
# test Kestrune. Does nothing when all is there.
set -euo pipefail

# TagLib for the folder library; mutagen and ffmpeg read the tests' files back
# (and made the sample library); mingw-w64 builds the Windows tool, which the
# tests run under Wine and whose version resource pefile reads.
packages=(cmake g++ make pkg-config libgtest-dev clang-format libtag1-dev python3 python3-mutagen
  ffmpeg procps g++-mingw-w64-x86-64 mingw-w64-tools wine64 python3-pefile)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
