#!/usr/bin/env bash
# build-sodium-mingw.sh PREFIX
#
# Builds the libsodium the Windows lane needs, for a machine without the
# prebuilt archive: Debian's source package, static, for i686-w64-mingw32,
# installed into PREFIX (include/, lib/libsodium.a). About a minute on two
# cores. The work folder is PREFIX.build beside PREFIX.
#
# Needs the Debian packages g++-mingw-w64-i686-posix, make, autoconf,
# automake, libtool and dpkg-dev.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 PREFIX" >&2
  exit 2
fi
prefix=$(realpath -m "$1")
work=$prefix.build
package=libsodium
version=1.0.18-1+deb12u1

source_tree=$work/$package-${version%-*}
if [ ! -d "$source_tree" ]; then
  echo "build-sodium-mingw: fetching $package $version"
  "$(dirname "${BASH_SOURCE[0]}")/debian-source.sh" "$work" "$package" "$version"
fi
cd "$source_tree"
# Debian's tarball comes without configure.
[ -f configure ] || ./autogen.sh -s
./configure --host=i686-w64-mingw32 --prefix="$prefix" --disable-shared --enable-static \
  CC=i686-w64-mingw32-gcc-posix CFLAGS=-O2
make -j2
make install
echo "build-sodium-mingw: libsodium installed in $prefix"
