#!/usr/bin/env bash
# The Windows test lane: cross-builds the product for 32-bit Windows with
# mingw-w64 and the static Qt 5 for that target (the three programs, the
# client stand-in and the test helpers, with the test hooks), checks that the
# programs carry their manifest and icon, then runs ctest under 32-bit Wine
# in a fresh Wine prefix inside the build folder.
#
#   .ci/windows-lane.sh [BUILD_FOLDER]      (default: build-windows-qt)
#
# Qt comes from tools/qt-mingw-prefix.sh: the prebuilt archive
# ($VELMAR_QT_MINGW_ARCHIVE, else toolchains/ of the shared folder beside the
# repository), unpacked into the build folder, or built once per machine
# from Debian's source package.
#
# Needs the Debian packages wine, wine32:i386, g++-mingw-w64-i686-posix,
# libz-mingw-w64-dev, googletest, cmake, make, locales, xz-utils, icoutils
# and binutils-mingw-w64-i686.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-build-windows-qt}")
wine_run=$source_dir/cmake/wine-run.sh
export VELMAR_WINE_BUILD_DIR=$build
started=$SECONDS
mkdir -p "$build"

qt_prefix=$("$source_dir/tools/qt-mingw-prefix.sh" "$build")
echo "windows-lane: Qt ready in $((SECONDS - started)) s"

cmake -S "$source_dir" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
  -DVELMAR_QT_MINGW_PREFIX="$qt_prefix" \
  -DVELMAR_WITH_QT=ON -DVELMAR_TEST_HOOKS=ON
cmake --build "$build" -j2
echo "windows-lane: built in $((SECONDS - started)) s"

# What a Windows user's shell and UAC read from the program files: the
# manifest (administrator rights, DPI awareness, long paths), the product
# icon and the file details; the release build checks the same.
"$source_dir/tools/check-windows-programs.sh" "$build/bin"

wine_started=$SECONDS
trap '"$wine_run" wineserver -k 2>/dev/null || true' EXIT
"$source_dir/cmake/wine-prefix.sh" "$build"
echo "windows-lane: Wine prefix ready in $((SECONDS - wine_started)) s"

cd "$build"
ctest --output-on-failure
echo "windows-lane: done in $((SECONDS - started)) s, Qt and the prefix included"
