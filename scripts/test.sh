#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test suite:
# the unit tests, the unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Wine end-to-end suites, the fuzzer and the
# manual page's lint; then checks that the release builds to the same bytes a
# second time elsewhere, and installs and removes its Debian package.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# Every Wine session the suites start lives in a prefix under this folder;
# whatever is still running there when this script ends is stopped.
export BOOTMOVE_WINE_ROOT
BOOTMOVE_WINE_ROOT=$(mktemp -d /tmp/bootmove-wine.XXXXXX)
# Each suite's counts, for the closing line.
log=$(mktemp)
trap 'bash scripts/stop-wine.sh "$BOOTMOVE_WINE_ROOT"; rm -rf "$BOOTMOVE_WINE_ROOT" "$log"' EXIT
trap 'exit 130' INT TERM

for preset in windows-x86 windows-x64 linux host asan fuzz; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

echo "== tests: unit and Wine end to end"
ctest --preset host | tee -a "$log"
echo "== tests: unit under sanitizers"
ctest --preset asan | tee -a "$log"

echo "== fuzzing listing and cancelling for ${BOOTMOVE_FUZZ_SECONDS:-60} s"
corpus=$(mktemp -d)
if build/fuzz/bootmove_fuzz -max_total_time="${BOOTMOVE_FUZZ_SECONDS:-60}" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/ "$corpus" tests/fuzz/corpus >build/fuzz/last-run.log 2>&1; then
  grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' build/fuzz/last-run.log
  rm -rf "$corpus"
  echo "fuzz: 1 passed, 0 failed" | tee -a "$log"
else
  tail -n 40 build/fuzz/last-run.log
  rm -rf "$corpus"
  echo "fuzz: 0 passed, 1 failed (the input that broke it is in build/fuzz/)"
  exit 1
fi

echo "== the manual page (mandoc's lint prints nothing)"
if lint=$(mandoc -T lint -W warning cli/bootmove.1 2>&1) && [ -z "$lint" ]; then
  echo "manpage: 1 passed, 0 failed" | tee -a "$log"
else
  printf '%s\n' "$lint"
  echo "manpage: 0 passed, 1 failed"
  exit 1
fi

echo "== the same bytes from a second build in another folder"
if bash scripts/check-reproducible.sh; then
  echo "reproducible: 1 passed, 0 failed" | tee -a "$log"
else
  echo "reproducible: 0 passed, 1 failed"
  exit 1
fi

echo "== the Debian package: installed, run from /usr/bin, removed"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
deb=$(ls build/release/bootmove_*_amd64.deb)
version=$(dpkg-deb -f "$deb" Version)
ran=""
# Removed again whatever the program said.
if $SUDO dpkg -i "$deb" >/dev/null; then
  ran=$(/usr/bin/bootmove --version 2>&1 || true)
  $SUDO dpkg -r bootmove >/dev/null || ran="dpkg -r failed"
fi
if [ "$ran" = "bootmove $version" ] && [ ! -e /usr/bin/bootmove ]; then
  echo "deb: 1 passed, 0 failed" | tee -a "$log"
else
  echo "deb: 0 passed, 1 failed (the program said: $ran)"
  exit 1
fi

# ctest counts a skipped test among the passed ones; the closing line does not.
passed=$(sed -n 's/.*tests passed, [0-9]* tests failed out of \([0-9]*\)$/\1/p; s/^\(fuzz\|manpage\|reproducible\|deb\): \([0-9]*\) passed.*/\2/p' "$log" | awk '{ sum += $1 } END { print sum + 0 }')
skipped=$(grep -c '\*\*\*Skipped' "$log" || true)
echo "== every suite passed; skipped (cannot run on this machine): $skipped"
echo "$((passed - skipped)) passed, 0 failed, $skipped skipped"
