#!/usr/bin/env bash
# make-deb.sh VERSION OUT.deb: the Debian package of the Linux program
# (build/linux/bootmove), with its manual page and copyright file. Like the
# archives, its bytes depend on the files' contents only: every file owned by
# root, with fixed modes, and dated SOURCE_DATE_EPOCH (the commit's time),
# which dpkg-deb also puts on the package's own members.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1
out=$2
: "${SOURCE_DATE_EPOCH:?set to the time of the commit}"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$root/usr/share/doc/bootmove"
cp build/linux/bootmove "$root/usr/bin/bootmove"
gzip -9n <cli/bootmove.1 >"$root/usr/share/man/man1/bootmove.1.gz"
{
  echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
  echo "Upstream-Name: bootmove"
  echo
  echo "Files: *"
  echo "Copyright: 2026 The bootmove developers"
  echo "License: MIT"
  echo
  echo "Files: usr/bin/bootmove"
  echo "Copyright: 2026 The bootmove developers"
  echo " 2009-2010 Red Hat Inc."
  echo "License: MIT and LGPL-2.1"
  echo "Comment: The program has the hivex library (Red Hat Inc., LGPL 2.1) linked in."
  echo
  echo "License: LGPL-2.1"
  echo " On Debian systems, the complete text of the GNU Lesser General Public License"
  echo " version 2.1 can be found in /usr/share/common-licenses/LGPL-2.1."
  echo
  echo "License: MIT"
  sed -n '/^Permission/,$p' LICENSE | sed 's/^$/./; s/^/ /'
} >"$root/usr/share/doc/bootmove/copyright"

# The highest glibc version among the symbols the program takes from the C
# library is the oldest libc6 that runs it.
glibc=$(objdump -T build/linux/bootmove | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
# As dpkg counts it: KiB per file, rounded up, and one per folder.
size=$(find "$root/usr" -printf '%y %s\n' | awk '{ size += $1 == "f" ? int(($2 + 1023) / 1024) : 1 } END { print size }')
cat >"$root/DEBIAN/control" <<EOF
Package: bootmove
Version: $version
Architecture: amd64
Maintainer: The bootmove developers
Installed-Size: $size
Depends: libc6 (>= $glibc)
Section: admin
Priority: optional
Description: list and cancel the pending file operations of Windows SYSTEM hives
 Windows keeps the file operations it carries out at its next start, moves
 onto a new name and deletes of files that were in use, in its SYSTEM hive.
 bootmove reads a SYSTEM hive file, from a mounted Windows partition or
 copied out of a disk image, lists these operations as the next start will
 carry them out (as text, or as JSON for scripts), and cancels one of them
 without touching the others: for incident responders, for repairing a
 Windows machine that does not start, and for pipelines that check images.
EOF

find "$root" -type d -exec chmod 755 {} +
find "$root" -type f -exec chmod 644 {} +
chmod 755 "$root/usr/bin/bootmove"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group --build "$root" "$out" >/dev/null
