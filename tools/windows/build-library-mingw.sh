#!/usr/bin/env bash
# build-library-mingw.sh [--arch i686|x86_64] LIBRARY PREFIX
#
# Builds a library the Windows lane needs, for a machine without its
# prebuilt archive: Debian's source package, static, for Windows (mingw-w64;
# 32-bit unless --arch says x86_64), installed into PREFIX (include/ and
# lib/LIBRARY.a). LIBRARY is libdeflate (seconds), libzstd (a minute) or
# libsodium (a minute or two). The work folder is PREFIX.build beside PREFIX.
#
# Needs g++-mingw-w64-i686-posix (or -x86-64-posix), make and dpkg-dev; for
# libsodium also autoconf, automake and libtool.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/arguments.sh"
usage="usage: $0 [--arch i686|x86_64] libdeflate|libzstd|libsodium PREFIX"
build_arguments "$usage" 2 2 --arch -- "$@"
set -- "${positional[@]}"
case $1 in
libdeflate) version=1.14-1 ;;
libsodium) version=1.0.18-1+deb12u1 ;;
libzstd) version=1.5.4+dfsg2-5 ;;
*)
  echo "$usage" >&2
  exit 2
  ;;
esac
package=$1
target=$arch-w64-mingw32
prefix=$(realpath -m "$2")
work=$prefix.build

source_tree=$work/$package-${version%-*}
if [ ! -d "$source_tree" ]; then
  echo "build-library-mingw: fetching $package $version"
  "$(dirname "${BASH_SOURCE[0]}")/debian-source.sh" "$work" "$package" "$version"
fi
cd "$source_tree"
case $package in
libdeflate)
  make -j2 CC=$target-gcc-posix AR=$target-ar libdeflatestatic.lib
  mkdir -p "$prefix/include" "$prefix/lib"
  cp libdeflate.h "$prefix/include/"
  cp libdeflatestatic.lib "$prefix/lib/libdeflate.a"
  ;;
libzstd)
  # The library alone, single-threaded (the reader decodes one entry per
  # thread already), without the legacy formats no package of ours holds.
  make -j2 -C lib CC=$target-gcc-posix AR=$target-ar ZSTD_LEGACY_SUPPORT=0 libzstd.a
  mkdir -p "$prefix/include" "$prefix/lib"
  cp lib/zstd.h lib/zstd_errors.h "$prefix/include/"
  cp lib/libzstd.a "$prefix/lib/libzstd.a"
  ;;
libsodium)
  # Debian's tarball comes without configure.
  [ -f configure ] || ./autogen.sh -s
  ./configure --host=$target --prefix="$prefix" --disable-shared --enable-static \
    CC=$target-gcc-posix CFLAGS=-O2
  make -j2
  make install
  ;;
esac
echo "build-library-mingw: $package installed in $prefix"
