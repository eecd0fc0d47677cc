#!/usr/bin/env bash
# The Windows test lane: cross-builds the product for Windows with mingw-w64
# and the static Qt 5 for that target (the three programs, the client
# stand-in and the test helpers, with the test hooks), checks that the
# programs carry their manifest and icon, then runs ctest under Wine in a
# fresh Wine prefix inside the build folder.
#
#   .ci/windows-lane.sh [BUILD_FOLDER]      (default: build-windows-qt)
#
# The product ships for 32-bit Windows, and the lane builds it so wherever
# the machine can run 32-bit programs (32-bit Wine needs that of the kernel).
# Some kernels cannot (built or booted without IA-32 emulation); there the
# lane builds the same sources for 64-bit Windows and runs them under 64-bit
# Wine, and says so. VELMAR_WINDOWS_ARCH=i686|x86_64 overrides the choice.
#
# Qt comes from tools/qt-mingw-prefix.sh: for i686 the prebuilt archive
# ($VELMAR_QT_MINGW_ARCHIVE, else toolchains/ of the shared folder beside the
# repository), unpacked into the build folder; otherwise, and always for
# x86_64, built once per machine from Debian's source package. libsodium
# and libdeflate likewise (the archives are i686 only; their source builds
# take a minute or two).
#
# Needs the Debian packages wine, wine32:i386, wine64,
# g++-mingw-w64-i686-posix, g++-mingw-w64-x86-64-posix, libz-mingw-w64-dev,
# googletest, cmake, make, locales, xz-utils, icoutils and binutils-mingw-w64.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-build-windows-qt}")
wine_run=$source_dir/cmake/wine-run.sh
started=$SECONDS
mkdir -p "$build"

# ---- libsodium, libdeflate --------------------------------------------------
# The updater with a built-in key that the Wine tests run (update_signed)
# needs libsodium for the target, the ZIP reader libdeflate: each from its
# prebuilt archive ($VELMAR_<NAME>_MINGW_ARCHIVE, else toolchains/ as for
# Qt), unpacked into the build folder, or else built from Debian's source
# package by tools/build-library-mingw.sh into $XDG_CACHE_HOME/velmar, once
# per machine. Prints the library's prefix.
library_prefix() {
  local name=$1 version=$2 variable=$3 arch=$4
  local archive_name=$name-$version-$arch-w64-mingw32-static.tar.xz candidate archive=
  for candidate in "${!variable:-}" "$source_dir/../shared/toolchains/$archive_name"; do
    if [ -n "$candidate" ] && [ -f "$candidate" ]; then
      archive=$candidate
      break
    fi
  done
  local prefix
  if [ -n "$archive" ]; then
    prefix=$build/${archive_name%.tar.xz}
    if [ ! -f "$prefix/lib/$name.a" ]; then
      echo >&2 "windows-lane: unpacking $name from $archive"
      tar -xJf "$archive" -C "$build"
    fi
  else
    prefix=${XDG_CACHE_HOME:-$HOME/.cache}/velmar/${archive_name%.tar.xz}
    if [ ! -f "$prefix/lib/$name.a" ]; then
      echo >&2 "windows-lane: no $name archive ($archive_name); building it from" \
        "Debian's source package into $prefix"
      "$source_dir/tools/build-library-mingw.sh" --arch "$arch" "$name" "$prefix" >&2
    fi
  fi
  echo "$prefix"
}

# The test key is made by a pkgsign built for this machine (with Debian's
# libsodium-dev).
host_tools=$build/host-tools
cmake -S "$source_dir" -B "$host_tools" -DVELMAR_WITH_QT=OFF -DVELMAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$host_tools" --target pkgsign -j2

# build_for ARCH FOLDER [QT_PREFIX]: the product and its tests for ARCH in
# FOLDER, with the test hooks; without a Qt only the Qt-free core.
build_for() {
  local arch=$1 folder=$2 qt_prefix=${3:-}
  local sodium_prefix libdeflate_prefix zstd_prefix
  sodium_prefix=$(library_prefix libsodium 1.0.18 VELMAR_SODIUM_MINGW_ARCHIVE "$arch")
  libdeflate_prefix=$(library_prefix libdeflate 1.14 VELMAR_LIBDEFLATE_MINGW_ARCHIVE "$arch")
  zstd_prefix=$(library_prefix libzstd 1.5.4 VELMAR_ZSTD_MINGW_ARCHIVE "$arch")
  local qt_options=(-DVELMAR_WITH_QT=OFF)
  [ -z "$qt_prefix" ] || qt_options=(-DVELMAR_WITH_QT=ON -DVELMAR_QT_MINGW_PREFIX="$qt_prefix")
  cmake -S "$source_dir" -B "$folder" \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-$arch.cmake" "${qt_options[@]}" \
    -DVELMAR_SODIUM_PREFIX="$sodium_prefix" -DVELMAR_HOST_PKGSIGN="$host_tools/bin/pkgsign" \
    -DVELMAR_LIBDEFLATE_MINGW_PREFIX="$libdeflate_prefix" -DVELMAR_TEST_HOOKS=ON \
    -DVELMAR_ZSTD_MINGW_PREFIX="$zstd_prefix"
  cmake --build "$folder" -j2
  echo "windows-lane: built for $arch in $folder after $((SECONDS - started)) s"
}

# What a Windows user's shell and UAC read from the program files: the
# manifest (administrator rights, DPI awareness, long paths), the product
# icon and the file details; the release build checks the same.
check_programs() {
  "$source_dir/tools/check-windows-programs.sh" "$1/bin"
}

# test_under_wine FOLDER: ctest under Wine in a fresh prefix of FOLDER's.
test_under_wine() {
  local folder=$1 wine_started=$SECONDS
  export VELMAR_WINE_BUILD_DIR=$folder
  trap '"$wine_run" wineserver -k 2>/dev/null || true' EXIT
  "$source_dir/cmake/wine-prefix.sh" "$folder"
  echo "windows-lane: Wine prefix ready in $((SECONDS - wine_started)) s"
  (cd "$folder" && ctest --output-on-failure)
}

# 32-bit Wine starts only where the kernel runs 32-bit programs: ask its
# loader for its version. Elsewhere the programs run under 64-bit Wine when
# a 64-bit Qt is at hand (built once by tools/build-qt-mingw.sh --arch
# x86_64, or asked for with VELMAR_WINDOWS_ARCH=x86_64); without one the
# programs are built for 32-bit Windows and checked, and the Qt-free core is
# tested under 64-bit Wine.
arch=${VELMAR_WINDOWS_ARCH:-}
if [ -z "$arch" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    arch=i686
  elif "$source_dir/tools/qt-mingw-prefix.sh" --ready --arch x86_64 "$build" >/dev/null; then
    arch=x86_64
    echo "windows-lane: this machine cannot run 32-bit programs: building for 64-bit" \
      "Windows and testing under 64-bit Wine instead"
  else
    arch=core
  fi
fi

if [ "$arch" = core ]; then
  echo "windows-lane: this machine cannot run 32-bit programs and has no 64-bit Qt:" \
    "the programs are built for 32-bit Windows and checked, and the Qt-free core is" \
    "tested under 64-bit Wine. For the programs' own tests under 64-bit Wine, build" \
    "that Qt once: tools/build-qt-mingw.sh --arch x86_64 (about 35 minutes)."
  build_for i686 "$build" "$("$source_dir/tools/qt-mingw-prefix.sh" "$build")"
  check_programs "$build"
  build_for x86_64 "$build/core-x86_64"
  test_under_wine "$build/core-x86_64"
else
  build_for "$arch" "$build" "$("$source_dir/tools/qt-mingw-prefix.sh" --arch "$arch" "$build")"
  check_programs "$build"
  test_under_wine "$build"
fi
echo "windows-lane: done in $((SECONDS - started)) s, Qt and the prefix included"
