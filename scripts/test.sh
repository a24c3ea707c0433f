#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test suite:
# the unit tests, the unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Wine end-to-end suites, the fuzzer and the
# manual page's lint; then checks that the release builds to the same bytes a
# second time elsewhere, and checks its Debian package without installing it.
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

# The fuzz targets: the pending values (listing, cancelling, a delete added)
# and hive files (read as a listing reads them, checked and written as /c
# does); units they find go to a scratch folder, never into the corpus.
for target in bootmove_fuzz:corpus bootmove_hive_fuzz:hive_corpus; do
  echo "== fuzzing ${target%%:*} for ${BOOTMOVE_FUZZ_SECONDS:-60} s"
  scratch=$(mktemp -d)
  if build/fuzz/"${target%%:*}" -max_total_time="${BOOTMOVE_FUZZ_SECONDS:-60}" -print_final_stats=1 \
      -artifact_prefix=build/fuzz/ "$scratch" tests/fuzz/"${target#*:}" >build/fuzz/last-run.log 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' build/fuzz/last-run.log
    rm -rf "$scratch"
    echo "fuzz: 1 passed, 0 failed" | tee -a "$log"
  else
    tail -n 40 build/fuzz/last-run.log
    rm -rf "$scratch"
    echo "fuzz: 0 passed, 1 failed (the input that broke it is in build/fuzz/)"
    exit 1
  fi
done

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

echo "== the Debian package: its fields and files, and its program run from a scratch folder"
# Unpacked, not installed: installing would replace a bootmove the machine
# has, and wait on any other package manager's lock.
deb=$(ls build/release/bootmove_*_amd64.deb)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
unpacked=$(mktemp -d)
problems=()
dpkg-deb -x "$deb" "$unpacked" || problems+=("dpkg-deb -x failed")
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = bootmove ] || problems+=("Package: $(field Package)")
[ "$(field Version)" = "$version" ] || problems+=("Version: $(field Version), not $version")
[ "$(field Architecture)" = amd64 ] || problems+=("Architecture: $(field Architecture)")
grep -Eq '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' <<<"$(field Maintainer)" || problems+=("Maintainer without an address: $(field Maintainer)")
# The newest glibc version the program asks the dynamic linker for.
glibc=$(objdump -p "$unpacked/usr/bin/bootmove" | grep -o 'GLIBC_[0-9.]*$' | sed 's/GLIBC_//' | sort -V | tail -n 1)
[ "$(field Depends)" = "libc6 (>= $glibc)" ] || problems+=("Depends: $(field Depends), not libc6 (>= $glibc)")
# Between the program alone and what the files take on this disk.
size=$(field Installed-Size)
least=$((($(stat -c %s "$unpacked/usr/bin/bootmove") + 1023) / 1024))
most=$(du -sk "$unpacked" | cut -f1)
[[ $size =~ ^[0-9]+$ ]] && [ "$size" -ge "$least" ] && [ "$size" -le "$most" ] ||
  problems+=("Installed-Size: $size, not between $least and $most")
for name in Section Priority Description; do
  [ -n "$(field "$name")" ] || problems+=("no $name")
done
[ "$(field Description | wc -l)" -gt 1 ] || problems+=("Description without a long description")
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort)
expected="-rw-r--r-- root/root ./usr/share/doc/bootmove/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/bootmove/copyright
-rw-r--r-- root/root ./usr/share/man/man1/bootmove.1.gz
-rwxr-xr-x root/root ./usr/bin/bootmove"
[ "$files" = "$expected" ] || problems+=("files:"$'\n'"$files")
gzip -t "$unpacked/usr/share/man/man1/bootmove.1.gz" || problems+=("the manual page is not gzipped")
zcat "$unpacked/usr/share/doc/bootmove/changelog.gz" | head -n 1 | grep -q "^bootmove ($version) " ||
  problems+=("the changelog does not begin with version $version")
ran=$("$unpacked/usr/bin/bootmove" --version 2>&1 || true)
[ "$ran" = "bootmove $version" ] || problems+=("the program said: $ran")
# Every tag lintian has about the package is fixed, so that any tag fails;
# pedantic ones are shown but pass, as lintian itself calls them opinions.
if command -v lintian >/dev/null; then
  lint=$(lintian --fail-on error,warning,info --display-info --pedantic "$deb" 2>&1) ||
    problems+=("lintian: $(grep -v 'root privileges' <<<"$lint")")
  grep '^P: ' <<<"$lint" || true
else
  echo "(lintian is not installed: the package is not linted)"
fi
rm -rf "$unpacked"
if [ ${#problems[@]} -eq 0 ]; then
  echo "deb: 1 passed, 0 failed" | tee -a "$log"
else
  printf '%s\n' "${problems[@]}"
  echo "deb: 0 passed, 1 failed"
  exit 1
fi

# ctest counts a skipped test among the passed ones; the closing line does not.
passed=$(sed -n 's/.*tests passed, [0-9]* tests failed out of \([0-9]*\)$/\1/p; s/^\(fuzz\|manpage\|reproducible\|deb\): \([0-9]*\) passed.*/\2/p' "$log" | awk '{ sum += $1 } END { print sum + 0 }')
skipped=$(grep -c '\*\*\*Skipped' "$log" || true)
echo "== every suite passed; skipped (cannot run on this machine): $skipped"
echo "$((passed - skipped)) passed, 0 failed, $skipped skipped"
