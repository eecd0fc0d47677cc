#!/usr/bin/env bash
# The Windows test lane: cross-builds the product for 32-bit Windows with
# mingw-w64 and the static Qt 5 for that target (the three programs, the
# client stand-in and the test helpers, with the test hooks), checks that the
# programs carry their manifest and icon, then runs ctest under 32-bit Wine
# in a fresh Wine prefix inside the build folder.
#
#   .ci/windows-lane.sh [BUILD_FOLDER]      (default: build-windows-qt)
#
# Qt comes from the prebuilt archive when there is one: $VELMAR_QT_MINGW_ARCHIVE,
# else toolchains/ of the shared folder beside the repository, else
# /work/shared/toolchains. It is unpacked into the build folder once per
# archive. Without an archive, tools/build-qt-mingw.sh builds Qt from
# Debian's source package into $XDG_CACHE_HOME/velmar (about 35 minutes on
# two cores, once per machine).
#
# libdeflate likewise ($VELMAR_LIBDEFLATE_MINGW_ARCHIVE or the shared
# toolchains; else tools/build-libdeflate-mingw.sh builds it in seconds).
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

qt_archive_name=qt5.15.8-i686-w64-mingw32-static.tar.xz
find_qt_archive() {
  local candidate
  for candidate in "${VELMAR_QT_MINGW_ARCHIVE:-}" \
    "$source_dir/../shared/toolchains/$qt_archive_name" \
    "/work/shared/toolchains/$qt_archive_name"; do
    if [ -n "$candidate" ] && [ -f "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# Sets qt_prefix.
if qt_archive=$(find_qt_archive); then
  qt_prefix=$build/qt5-mingw32
  stamp=$build/qt5-mingw32.sha256
  checksum=$(sha256sum "$qt_archive" | cut -d' ' -f1)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$checksum" ] && [ -d "$qt_prefix/lib/cmake/Qt5" ]; then
    echo "windows-lane: Qt from $qt_archive, unpacked before"
  else
    echo "windows-lane: unpacking Qt from $qt_archive"
    rm -rf "$qt_prefix" "$stamp"
    tar -xJf "$qt_archive" -C "$build"
    echo "$checksum" >"$stamp"
  fi
else
  qt_prefix=${XDG_CACHE_HOME:-$HOME/.cache}/velmar/qt5.15.8-i686-w64-mingw32-static
  if [ -d "$qt_prefix/lib/cmake/Qt5" ]; then
    echo "windows-lane: no Qt archive; using Qt built before in $qt_prefix"
  else
    echo "windows-lane: no Qt archive ($qt_archive_name); building Qt from Debian's source" \
      "package into $qt_prefix (about 35 minutes on two cores, once per machine)"
    "$source_dir/tools/build-qt-mingw.sh" "$qt_prefix"
  fi
fi
echo "windows-lane: Qt ready in $((SECONDS - started)) s"

# libdeflate for the ZIP reader, the same way: the prebuilt static archive,
# else built once from Debian's source package (seconds).
libdeflate_archive_name=libdeflate-1.14-i686-w64-mingw32-static.tar.xz
libdeflate_archive=
for candidate in "${VELMAR_LIBDEFLATE_MINGW_ARCHIVE:-}" \
  "$source_dir/../shared/toolchains/$libdeflate_archive_name" \
  "/work/shared/toolchains/$libdeflate_archive_name"; do
  if [ -n "$candidate" ] && [ -f "$candidate" ]; then
    libdeflate_archive=$candidate
    break
  fi
done
if [ -n "$libdeflate_archive" ]; then
  libdeflate_prefix=$build/libdeflate-1.14-i686-w64-mingw32-static
  [ -f "$libdeflate_prefix/lib/libdeflate.a" ] || tar -xJf "$libdeflate_archive" -C "$build"
else
  libdeflate_prefix=${XDG_CACHE_HOME:-$HOME/.cache}/velmar/libdeflate-i686-w64-mingw32-static
  [ -f "$libdeflate_prefix/lib/libdeflate.a" ] ||
    "$source_dir/tools/build-libdeflate-mingw.sh" "$libdeflate_prefix"
fi
echo "windows-lane: libdeflate from $libdeflate_prefix"

cmake -S "$source_dir" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
  -DVELMAR_QT_MINGW_PREFIX="$qt_prefix" \
  -DVELMAR_LIBDEFLATE_MINGW_PREFIX="$libdeflate_prefix" \
  -DVELMAR_WITH_QT=ON -DVELMAR_TEST_HOOKS=ON
cmake --build "$build" -j2
echo "windows-lane: built in $((SECONDS - started)) s"

# What a Windows user's shell and UAC read from the program files: the
# manifest asking for administrator rights and the product icon.
# (Each tool's whole output is taken first: a grep -q that stops reading early
# would fail the pipeline.)
for program in update reseat uninstall; do
  exe=$build/bin/$program.exe
  manifest=$(wrestool --extract --raw --type=24 "$exe")
  icons=$(wrestool --list --type=14 "$exe")
  headers=$(i686-w64-mingw32-objdump -p "$exe")
  if ! grep -q 'level="requireAdministrator"' <<<"$manifest"; then
    echo "windows-lane: $program.exe has no manifest asking for administrator rights" >&2
    exit 1
  fi
  if [ -z "$icons" ]; then
    echo "windows-lane: $program.exe has no icon" >&2
    exit 1
  fi
  if ! grep -q 'Subsystem.*(Windows GUI)' <<<"$headers"; then
    echo "windows-lane: $program.exe is not a GUI program" >&2
    exit 1
  fi
done
echo "windows-lane: update.exe, reseat.exe, uninstall.exe: GUI programs with manifest and icon"

wine_started=$SECONDS
trap '"$wine_run" wineserver -k 2>/dev/null || true' EXIT
"$source_dir/cmake/wine-prefix.sh" "$build"
echo "windows-lane: Wine prefix ready in $((SECONDS - wine_started)) s"

cd "$build"
ctest --output-on-failure
echo "windows-lane: done in $((SECONDS - started)) s, Qt and the prefix included"
