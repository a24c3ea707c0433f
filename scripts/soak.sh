#!/usr/bin/env bash
# The full soak under Wine: 2,000 operations scheduled, 1,000 cancelled, a
# restart, every file checked. Usage: soak.sh [OPERATIONS] [x86|x64]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-2000}
arch=${2:-x64}
cmake --preset "windows-$arch" >/dev/null
cmake --build --preset "windows-$arch" >/dev/null
time python3 tests/soak/soak.py "build/windows-$arch/bootmove.exe" "build/windows-$arch/regfixture.exe" "$count"
