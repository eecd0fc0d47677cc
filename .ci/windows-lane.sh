#!/usr/bin/env bash
# The Windows test lane: cross-builds the Qt-free core, the stand-in tools
# and their tests for 32-bit Windows with mingw-w64, then runs ctest under
# 32-bit Wine in a fresh Wine prefix inside the build folder.
#
#   .ci/windows-lane.sh [BUILD_FOLDER]      (default: build-windows)
#
# Needs the Debian packages wine, wine32:i386, g++-mingw-w64-i686-posix,
# libz-mingw-w64-dev, googletest, cmake, make and locales.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-build-windows}")
wine_run=$source_dir/cmake/wine-run.sh
export VELMAR_WINE_BUILD_DIR=$build

cmake -S "$source_dir" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
  -DVELMAR_WITH_QT=OFF -DVELMAR_TEST_HOOKS=ON
cmake --build "$build" -j2

started=$SECONDS
# A fresh prefix for every run; the server of the last one goes first.
if [ -d "$build/wine/prefix" ]; then
  "$wine_run" wineserver -k 2>/dev/null || true
  "$wine_run" wineserver -w 2>/dev/null || true
fi
rm -rf "$build/wine"
mkdir -p "$build/wine"

# Code page 936 takes the glibc locale zh_CN.UTF-8 (see wine-run.sh). When
# the system has not generated it, one is made for Wine alone.
if ! locale -a 2>/dev/null | grep -qiE '^zh_CN\.utf-?8$'; then
  mkdir -p "$build/wine/locale"
  localedef -i zh_CN -f UTF-8 "$build/wine/locale/zh_CN.UTF-8" ||
    [ -f "$build/wine/locale/zh_CN.UTF-8/LC_CTYPE" ]
fi

# One server for the whole run, so that every test and every program a test
# starts meets the same prefix and server, and the services wineboot starts
# stay up between tests instead of starting again for each.
mkdir -p "$build/wine/prefix"
"$wine_run" wineserver -p
trap '"$wine_run" wineserver -k 2>/dev/null || true' EXIT
"$wine_run" wineboot --init
echo "windows-lane: Wine prefix ready in $((SECONDS - started)) s"

cd "$build"
ctest --output-on-failure
echo "windows-lane: done in $((SECONDS - started)) s with the prefix"
