#!/usr/bin/env bash
# Shows bootmove at work under Wine: builds the program, schedules a move and
# a delete, lists them, cancels one, lists again, restarts the Wine session
# (which carries out the pending operations as a restart of Windows does) and
# shows the files afterwards. Everything happens in a throw-away Wine prefix.
# Then the Linux program on a SYSTEM hive file that the demo makes.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
for preset in windows-x86 windows-x64 linux; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done

export WINEPREFIX WINEDEBUG=-all
WINEPREFIX=$(mktemp -d /tmp/bootmove-demo.XXXXXX)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT

# The 32-bit program needs a Wine that can run 32-bit code; some machines
# (sandboxes without 32-bit Linux support) only run the 64-bit one.
loader=/usr/lib/wine/wine
exe=build/windows-x86/bootmove.exe
echo "Creating a Wine prefix in $WINEPREFIX (takes a few seconds)..."
wineserver -p # one session for the whole demo: every new session is a restart
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
# The usage text ends with status 1, which must not fail the pipeline.
if ! { "$loader" "$exe" 2>/dev/null || true; } | grep -q '^Usage:'; then
  echo "(this machine cannot run 32-bit Windows programs under Wine: showing the 64-bit build)"
  loader=/usr/lib/wine/wine64
  exe=build/windows-x64/bootmove.exe
fi

drive_c=$WINEPREFIX/drive_c
mkdir -p "$drive_c/demo"
echo "new settings" >"$drive_c/demo/settings.new"
echo "old settings" >"$drive_c/demo/settings.ini"
echo "stale cache" >"$drive_c/demo/cache.tmp"
echo "log" >"$drive_c/demo/install.log"

run() {
  echo "> bootmove $*"
  local status=0
  "$loader" "$exe" "$@" >"$WINEPREFIX/out" || status=$?
  tr -d '\r' <"$WINEPREFIX/out"
  echo "  (exit status $status)"
}

echo
echo "Files in C:\\demo: $(ls "$drive_c/demo" | tr '\n' ' ')"
echo "settings.ini holds: $(cat "$drive_c/demo/settings.ini")"
echo
run 'C:\demo\settings.new' 'C:\demo\settings.ini'
run /d 'C:\demo\cache.tmp'
run /d 'C:\demo\install.log'
run /l
run /c 'C:\demo\install.log'
run /l
echo
echo "> wine wineboot -r   (restart: Windows carries out the pending operations)"
/usr/lib/wine/wine64 wineboot -r >/dev/null 2>&1
echo
echo "Files in C:\\demo: $(ls "$drive_c/demo" | tr '\n' ' ')"
echo "settings.ini holds: $(cat "$drive_c/demo/settings.ini")"
run /l

echo
echo "== On Linux: build/linux/bootmove on a SYSTEM hive file (made here, as one copied off a disk)"
hive=$WINEPREFIX/SYSTEM
/usr/bin/python3 - "$hive" <<'PYTHON'
import sys
sys.path.insert(0, "tests/linux")
from hives import system_hive, utf16
current = utf16("*1\\??\\C:\\Windows\\System32\\drivers\\vendor.sys.new\0"
                "*1!\\??\\C:\\Windows\\System32\\drivers\\vendor.sys\0"
                "*1\\??\\C:\\Windows\\Temp\\setup\\old.dll\0\0\0")
system_hive(sys.argv[1], 1, {1: (current, None), 2: (utf16("\\??\\C:\\other\\set\0\0\0"), None)})
PYTHON
linux() {
  echo "\$ bootmove $*"
  local status=0
  build/linux/bootmove "$@" || status=$?
  echo "  (exit status $status)"
}
linux /hive "$hive" /l
linux /hive "$hive" /c 'C:\Windows\System32\drivers\vendor.sys.new'
linux /hive "$hive" /l /fo json
