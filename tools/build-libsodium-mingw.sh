#!/usr/bin/env bash
# build-libsodium-mingw.sh [--arch i686|x86_64] PREFIX
#
# Builds the libsodium the Windows lane needs, for a machine without the
# prebuilt archive: Debian's source package, static, for i686-w64-mingw32
# (or x86_64-w64-mingw32),
# installed into PREFIX (include/, lib/libsodium.a). About a minute on two
# cores. The work folder is PREFIX.build beside PREFIX.
#
# Needs the Debian packages g++-mingw-w64-i686-posix (or -x86-64-posix),
# make, autoconf, automake, libtool and dpkg-dev.
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
package=libsodium
version=1.0.18-1+deb12u1

source_tree=$work/$package-${version%-*}
if [ ! -d "$source_tree" ]; then
  echo "build-libsodium-mingw: fetching $package $version"
  "$(dirname "${BASH_SOURCE[0]}")/debian-source.sh" "$work" "$package" "$version"
fi
cd "$source_tree"
# Debian's tarball comes without configure.
[ -f configure ] || ./autogen.sh -s
./configure --host=$target --prefix="$prefix" --disable-shared --enable-static \
  CC=$target-gcc-posix CFLAGS=-O2
make -j2
make install
echo "build-libsodium-mingw: libsodium installed in $prefix"
