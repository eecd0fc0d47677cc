#!/usr/bin/env bash
# build-release-windows.sh [BUILD_FOLDER]
#
# The release a publisher ships: update.exe, reseat.exe and uninstall.exe
# for 32-bit Windows, cross-built with mingw-w64 and the static Qt like the
# Windows lane, but without the test hooks and without tests, optimised,
# with unused code and data left out at link time (each function and object
# in a section of its own, unreferenced sections collected) and stripped of
# symbols. The programs are checked as the lane checks its own (manifest,
# icon, file details), must not carry the test hooks, and their sizes are
# printed. BUILD_FOLDER defaults to build-windows-release; the programs land
# in its bin/.
set -euo pipefail

usage="usage: $0 [BUILD_FOLDER]"
if [ "${1:-}" = --help ]; then
  echo "$usage"
  exit 0
fi
if [ $# -gt 1 ]; then
  echo "$usage" >&2
  exit 2
fi
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-build-windows-release}")
qt_prefix=$("$source_dir/tools/qt-mingw-prefix.sh" "$build")

sections="-ffunction-sections -fdata-sections"
cmake -S "$source_dir" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
  -DVELMAR_QT_MINGW_PREFIX="$qt_prefix" \
  -DCMAKE_BUILD_TYPE=Release \
  -DVELMAR_WITH_QT=ON -DVELMAR_TEST_HOOKS=OFF -DVELMAR_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG $sections" \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG $sections" \
  -DCMAKE_EXE_LINKER_FLAGS_RELEASE="-Wl,--gc-sections -s"
cmake --build "$build" -j2 --target update reseat uninstall

"$source_dir/tools/check-windows-programs.sh" "$build/bin"
for program in update reseat uninstall; do
  # The hooks answer message boxes from the environment: a release that
  # reads these variables could be driven by whoever starts it.
  if grep -aq VELMAR_TEST_ "$build/bin/$program.exe"; then
    echo "build-release-windows: $program.exe carries the test hooks" >&2
    exit 1
  fi
  if i686-w64-mingw32-objdump -h "$build/bin/$program.exe" | grep -q '\.debug_'; then
    echo "build-release-windows: $program.exe is not stripped" >&2
    exit 1
  fi
done
echo "build-release-windows: the release in $build/bin:"
for program in update reseat uninstall; do
  printf '  %-14s %10d bytes\n' "$program.exe" "$(stat -c %s "$build/bin/$program.exe")"
done
