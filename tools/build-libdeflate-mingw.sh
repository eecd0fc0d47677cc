#!/usr/bin/env bash
# build-libdeflate-mingw.sh [--arch i686|x86_64] PREFIX
#
# Builds libdeflate for Windows (mingw-w64, static; 32-bit unless --arch says
# x86_64) from Debian's source package into PREFIX (include/libdeflate.h,
# lib/libdeflate.a), for the Windows lane where the prebuilt archive is
# missing. Seconds. The work folder is PREFIX.build beside PREFIX.
#
# Needs g++-mingw-w64-i686-posix (or -x86-64-posix), make and dpkg-dev.
set -euo pipefail
arch=i686
if [ "${1:-}" = --arch ] && [ $# -eq 3 ]; then
  arch=$2
  shift 2
fi
if [ $# -ne 1 ] || { [ "$arch" != i686 ] && [ "$arch" != x86_64 ]; }; then
  echo "usage: $0 [--arch i686|x86_64] PREFIX" >&2
  exit 2
fi
target=$arch-w64-mingw32
prefix=$(realpath -m "$1")
work=$prefix.build
package=libdeflate
version=1.14-1

source_tree=$work/$package-${version%-*}
if [ ! -d "$source_tree" ]; then
  echo "build-libdeflate-mingw: fetching $package $version"
  "$(dirname "${BASH_SOURCE[0]}")/debian-source.sh" "$work" "$package" "$version"
fi
cd "$source_tree"
make -j2 CC=$target-gcc-posix AR=$target-ar libdeflatestatic.lib
mkdir -p "$prefix/include" "$prefix/lib"
cp libdeflate.h "$prefix/include/"
cp libdeflatestatic.lib "$prefix/lib/libdeflate.a"
echo "build-libdeflate-mingw: libdeflate installed in $prefix"
