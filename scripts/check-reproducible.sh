#!/usr/bin/env bash
# Builds the release here, and again from a copy of the sources in another
# folder a little later, with another umask and time zone; then compares the
# programs and build/release/ byte for byte. A difference names the file and
# the first byte that differs.
set -euo pipefail
cd "$(dirname "$0")/.."

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
other=$(mktemp -d /tmp/bootmove-rebuild.XXXXXX)
trap 'rm -rf "$other"' EXIT
# The sources as they are now, committed or not; new file dates on purpose.
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - | tar -xmf - -C "$other"

bash scripts/package.sh >/dev/null || { echo "FAIL: the release does not build here"; exit 1; }
(cd "$other" && umask 077 && TZ=UTC-14 bash scripts/package.sh >/dev/null) ||
  { echo "FAIL: the release does not build in $other"; exit 1; }

files=(build/windows-x86/bootmove.exe build/windows-x64/bootmove.exe)
if grep -q '"name": "linux"' CMakePresets.json; then files+=(build/linux/bootmove); fi
files+=(build/release/*)
failed=0
for f in "${files[@]}"; do
  if ! out=$(cmp -- "$f" "$other/$f" 2>&1); then
    case $out in
      *" differ: byte "*) out=${out##* differ: } && echo "FAIL: $f differs from its rebuild from ${out%%,*} on" ;;
      *) echo "FAIL: $f: $out" ;;
    esac
    failed=$((failed + 1))
  fi
done
echo "${#files[@]} files compared with a rebuild in $other, $failed differ"
exit $((failed > 0))
