#!/usr/bin/env bash
# Stops every wineserver whose prefix lies under the given folder, so that no
# Wine process outlives a test run.
set -u
root=${1:?usage: stop-wine.sh FOLDER}
for environ in /proc/[0-9]*/environ; do
  pid=${environ#/proc/}
  pid=${pid%/environ}
  prefix=$( { tr '\0' '\n' <"$environ"; } 2>/dev/null | sed -n 's/^WINEPREFIX=//p')
  case "$prefix" in
    "$root"/*)
      if [ -x /usr/lib/wine/wineserver ]; then WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null; fi
      kill -9 "$pid" 2>/dev/null
      ;;
  esac
done
exit 0
