#!/usr/bin/env bash
# Checks a built bootmove.exe: it imports system DLLs only (the C++ and GCC
# runtimes are linked in), and it carries its version resource and its
# manifest. Usage: check-windows-binary.sh EXE VERSION
set -euo pipefail
exe=${1:?usage: check-windows-binary.sh EXE VERSION}
version=${2:?usage: check-windows-binary.sh EXE VERSION}
[ -f "$exe" ] || { echo "missing: $exe (build its preset first)"; exit 1; }

failures=0
imports=$(objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "imports of $exe: $(echo $imports)"
for dll in $imports; do
  case "${dll,,}" in
    kernel32.dll | advapi32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    *) echo "FAIL: imports $dll, which is not a system DLL"; failures=$((failures + 1)) ;;
  esac
done

resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null || i686-w64-mingw32-windres -i "$exe" -O rc)
if grep -q "FileVersion\", \"$version\"" <<<"$resources"; then
  echo "version resource: FileVersion $version"
else
  echo "FAIL: no version resource with FileVersion $version"
  failures=$((failures + 1))
fi
if grep -q 'requestedExecutionLevel' <<<"$(strings "$exe")"; then
  echo "manifest: present, $(strings "$exe" | grep -o 'level="[a-zA-Z]*"' | head -1)"
else
  echo "FAIL: no manifest"
  failures=$((failures + 1))
fi
echo "size: $(stat -c %s "$exe") bytes"
[ "$failures" -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $((failures > 0))
