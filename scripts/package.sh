#!/usr/bin/env bash
# Makes the release in build/release/: the ZIP with the 32-bit and the 64-bit
# program, the README, the licence and the notices of the runtime code linked
# into the programs; when the project has a linux preset, the Linux program's
# tarball (with its manual page) and its Debian package;
# and SHA256SUMS over them. Prints the programs' sizes. The same commit gives
# the same bytes on any machine with the same Debian packages (README,
# "Verifying a release"); the archives are dated with the commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || {
    echo "package.sh: no git history here to date the release; set SOURCE_DATE_EPOCH to the commit's time" >&2
    exit 1
  }
fi
export SOURCE_DATE_EPOCH

presets=(windows-x86 windows-x64)
linux=false
if grep -q '"name": "linux"' CMakePresets.json; then
  presets+=(linux)
  linux=true
fi
for preset in "${presets[@]}"; do
  # Quiet, but a compiler's complaint (ninja prints it on stdout) is shown.
  if ! out=$({ cmake --preset "$preset" && cmake --build --preset "$preset"; } 2>&1); then
    printf '%s\npackage.sh: the %s build failed\n' "$out" "$preset" >&2
    exit 1
  fi
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-x64/CMakeCache.txt)

out=build/release
rm -rf "$out"
mkdir -p "$out"
archives=("bootmove-$version-windows.zip")
python3 scripts/release_archive.py "$out/${archives[0]}" "bootmove-$version-windows" \
  x86/bootmove.exe=build/windows-x86/bootmove.exe x64/bootmove.exe=build/windows-x64/bootmove.exe \
  README.md=README.md LICENSE=LICENSE NOTICES=NOTICES
if $linux; then
  archives+=("bootmove-$version-linux-x86_64.tar.gz")
  python3 scripts/release_archive.py "$out/${archives[1]}" "bootmove-$version-linux-x86_64" \
    bootmove=build/linux/bootmove bootmove.1=cli/bootmove.1 README.md=README.md LICENSE=LICENSE NOTICES=NOTICES
  archives+=("bootmove_${version}_amd64.deb")
  bash scripts/make-deb.sh "$version" "$out/${archives[2]}"
fi
for program in build/windows-x86/bootmove.exe build/windows-x64/bootmove.exe $($linux && echo build/linux/bootmove); do
  printf '%s: %s bytes\n' "$program" "$(stat -c %s "$program" | sed ':a; s/\B[0-9]\{3\}\>/,&/; ta')"
done
(cd "$out" && sha256sum -- "${archives[@]}" >SHA256SUMS && cat SHA256SUMS)
