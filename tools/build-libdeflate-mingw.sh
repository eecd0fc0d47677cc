#!/usr/bin/env bash
# build-libdeflate-mingw.sh PREFIX: builds libdeflate for 32-bit Windows
# (mingw-w64 i686, static) from Debian's source package into PREFIX
# (include/libdeflate.h, lib/libdeflate.a), for the Windows lane when the
# prebuilt archive is missing. Needs a deb-src entry and dpkg-dev.
set -euo pipefail
prefix=$(realpath -m "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source -q libdeflate >/dev/null
cd libdeflate-*/
make -j2 CC=i686-w64-mingw32-gcc-posix AR=i686-w64-mingw32-ar libdeflatestatic.lib >/dev/null
mkdir -p "$prefix/include" "$prefix/lib"
cp libdeflate.h "$prefix/include/"
cp libdeflatestatic.lib "$prefix/lib/libdeflate.a"
