#!/usr/bin/env bash
# build-qt-mingw.sh [--configure-only] [--arch i686|x86_64] PREFIX
#
# Builds the Qt the Windows lane needs, for a machine without the prebuilt
# archive: qtbase 5.15.8 from Debian's source package, static and release,
# for i686-w64-mingw32 (or x86_64-w64-mingw32 with --arch x86_64, for a
# machine that cannot run 32-bit programs and so no 32-bit Wine) (Core, Gui,
# Widgets, Test, the "windows" and "offscreen" platform plugins), with host
# tools that run here, installed into PREFIX. About 35 minutes on two cores
# and 100 MB installed.
#
# The source package comes through tools/debian-source.sh, which leaves the
# system's apt set-up untouched. The work folder is
# $VELMAR_QT_BUILD_DIR, else PREFIX.build beside PREFIX; it can go once the
# build is installed. --configure-only stops after Qt's configure step, to
# check the set-up in a few minutes.
#
# Needs the Debian packages g++-mingw-w64-i686-posix (or -x86-64-posix),
# g++, make, perl and dpkg-dev.
set -euo pipefail

configure_only=false
arch=i686
while [ $# -gt 1 ]; do
  case $1 in
  --configure-only) configure_only=true ;;
  --arch) arch=$2; shift ;;
  *) break ;;
  esac
  shift
done
if [ $# -ne 1 ] || { [ "$arch" != i686 ] && [ "$arch" != x86_64 ]; }; then
  echo "usage: $0 [--configure-only] [--arch i686|x86_64] PREFIX" >&2
  exit 2
fi
target=$arch-w64-mingw32
prefix=$(realpath -m "$1")
work=$(realpath -m "${VELMAR_QT_BUILD_DIR:-$prefix.build}")
package=qtbase-opensource-src
version=5.15.8+dfsg-11+deb12u3
jobs=2

for tool in $target-g++-posix g++ make perl dpkg-source; do
  if ! command -v "$tool" >/dev/null; then
    echo "$0: $tool is missing (see the packages this script needs)" >&2
    exit 1
  fi
done

# ---- The source package -----------------------------------------------------
source_tree=$work/$package-${version%-*}
if [ ! -f "$source_tree/configure" ]; then
  echo "build-qt-mingw: fetching $package $version"
  "$(dirname "${BASH_SOURCE[0]}")/debian-source.sh" "$work" "$package" "$version"
fi

# ---- Configure, build, install ----------------------------------------------
# Qt calls the cross compilers by the CROSS_COMPILE prefix alone; these
# names make sure they are the POSIX-threads ones that the project's
# toolchain file uses, whatever the system's alternatives say.
compilers=$work/compilers
mkdir -p "$compilers"
ln -sf "$(command -v $target-gcc-posix)" "$compilers/$target-gcc"
ln -sf "$(command -v $target-g++-posix)" "$compilers/$target-g++"
export PATH=$compilers:$PATH

build=$work/build-$arch
mkdir -p "$build"
cd "$build"
# -no-feature-tabletevent: the Debian source leaves out wintab.h.
"$source_tree/configure" \
  -xplatform win32-g++ -device-option CROSS_COMPILE=$target- \
  -prefix "$prefix" -static -release -opensource -confirm-license \
  -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -qt-zlib \
  -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz -no-openssl \
  -no-sql-sqlite -no-feature-tabletevent
if $configure_only; then
  echo "build-qt-mingw: configured in $build; stopping there as asked"
  exit 0
fi
# A build cut short (killed, machine stopped) can leave empty objects behind,
# which make would take as built; they are made again.
find "$build" -name '*.o' -size 0 -delete
make -j"$jobs"
make -j"$jobs" install
echo "build-qt-mingw: Qt installed in $prefix"
