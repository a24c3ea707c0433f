#!/usr/bin/env bash
# Installs what building and testing bootmove needs on a Debian/Ubuntu machine:
# the host toolchain with GoogleTest, the MinGW-w64 cross-compilers, Wine with its
# 32-bit part, clang for the fuzzing and sanitizer builds, the locale
# sources a Wine scenario builds a Japanese locale from, hivex (library,
# tools and Python binding) for the Linux program and its tests, mandoc,
# which checks the manual page, and lintian, which checks the Debian package.
# Does nothing for what is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ make
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  libhivex-dev libhivex-bin python3-hivex util-linux bsdutils binutils hyperfine
  zip unzip python3 locales git time mandoc lintian
)

missing=()
for p in "${packages[@]}"; do
  name=${p%%:*}
  arch=${p#*:}
  [ "$arch" = "$p" ] && arch=""
  query=$name${arch:+:$arch}
  if ! dpkg-query -W -f='${Status}' "$query" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
