#!/usr/bin/env bash
# make-deb.sh VERSION OUT.deb: the Debian package of the Linux program
# (build/linux/bootmove), with its manual page, copyright file and changelog.
# Like the archives, its bytes depend on the files' contents only: every file
# owned by root, with fixed modes, and dated SOURCE_DATE_EPOCH (the commit's
# time), which dpkg-deb also puts on the package's own members and which
# dates the changelog's entry.
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
# The project has no mailbox of its own yet: a name under the reserved
# .example domain says so, and lintian takes it as a well-formed address.
maintainer="The bootmove developers <developers@bootmove.example>"
# The GPL notice and the exception text come from NOTICES, which the archives
# carry, so that the two cannot drift apart.
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
  echo " Free Software Foundation, Inc."
  echo "License: MIT and GPL-3+ with GCC-Runtime-Library-3.1 exception"
  echo "Comment: The program has libstdc++ and libgcc, the C++ and support libraries"
  echo " of GCC, linked in; the C library is the system's."
  echo
  echo "License: GPL-3+ with GCC-Runtime-Library-3.1 exception"
  sed -n '/^  This library is free software/,/^  by the Free Software Foundation\.$/p' NOTICES | sed 's/^  //; s/^$/./; s/^/ /'
  echo " ."
  echo " On Debian systems, the complete text of the GNU General Public License"
  echo " version 3 can be found in /usr/share/common-licenses/GPL-3."
  echo " ."
  sed -n '/^GCC RUNTIME LIBRARY EXCEPTION$/,/^requirements of the license of GCC\.$/p' NOTICES | sed 's/^$/./; s/^/ /'
  echo
  echo "License: MIT"
  sed -n '/^Permission/,$p' LICENSE | sed 's/^$/./; s/^/ /'
} >"$root/usr/share/doc/bootmove/copyright"
# A native package's changelog: one entry, for this version, dated with the
# commit's time.
{
  echo "bootmove ($version) unstable; urgency=medium"
  echo
  echo "  * Release $version."
  echo
  echo " -- $maintainer  $(LC_ALL=C date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$root/usr/share/doc/bootmove/changelog.gz"

# The highest glibc version among the symbols the program takes from the C
# library is the oldest libc6 that runs it.
glibc=$(objdump -T build/linux/bootmove | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
# As dpkg counts it: KiB per file, rounded up, and one per folder.
size=$(find "$root/usr" -printf '%y %s\n' | awk '{ size += $1 == "f" ? int(($2 + 1023) / 1024) : 1 } END { print size }')
cat >"$root/DEBIAN/control" <<EOF
Package: bootmove
Version: $version
Architecture: amd64
Maintainer: $maintainer
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

# What dpkg --verify and debsums check the installed files against.
(cd "$root" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"

find "$root" -type d -exec chmod 755 {} +
find "$root" -type f -exec chmod 644 {} +
chmod 755 "$root/usr/bin/bootmove"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group --build "$root" "$out" >/dev/null
