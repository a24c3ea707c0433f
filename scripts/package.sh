#!/usr/bin/env bash
# Makes the release ZIP: the 32-bit and the 64-bit program, the README and
# the licence, in build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in windows-x86 windows-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
cpack --config build/windows-x86/CPackConfig.cmake -B build/package
unzip -l build/package/bootmove-*-windows.zip
