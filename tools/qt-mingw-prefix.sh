#!/usr/bin/env bash
# qt-mingw-prefix.sh [--arch i686|x86_64] BUILD_FOLDER
#
# Makes the static Qt 5 for Windows (mingw-w64; 32-bit unless --arch says
# x86_64) ready for a build in BUILD_FOLDER and prints its prefix. Qt comes
# from the prebuilt archive when there is one: $VELMAR_QT_MINGW_ARCHIVE, else
# toolchains/ of the shared folder beside the repository (i686 only). It is
# unpacked into the build folder once per archive. Without an archive, tools/build-qt-mingw.sh builds Qt from
# Debian's source package into $XDG_CACHE_HOME/velmar (about 35 minutes on
# two cores, once per machine). Progress goes to standard error.
set -euo pipefail

usage="usage: $0 [--ready] [--arch i686|x86_64] BUILD_FOLDER"
if [ "${1:-}" = --help ]; then
  echo "$usage"
  exit 0
fi
# --ready: only say (by the exit code) whether Qt is at hand without a build.
ready_only=false
if [ "${1:-}" = --ready ]; then
  ready_only=true
  shift
fi
arch=i686
if [ "${1:-}" = --arch ] && [ $# -eq 3 ]; then
  arch=$2
  shift 2
fi
if [ $# -ne 1 ] || { [ "$arch" != i686 ] && [ "$arch" != x86_64 ]; }; then
  echo "$usage" >&2
  exit 2
fi
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "$1")
mkdir -p "$build"

target=$arch-w64-mingw32
qt_archive_name=qt5.15.8-$target-static.tar.xz
find_qt_archive() {
  local candidate
  for candidate in "${VELMAR_QT_MINGW_ARCHIVE:-}" \
    "$source_dir/../shared/toolchains/$qt_archive_name"; do
    if [ -n "$candidate" ] && [ -f "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

if [ "$arch" = i686 ] && qt_archive=$(find_qt_archive); then
  qt_prefix=$build/qt5-mingw32
  stamp=$build/qt5-mingw32.sha256
  checksum=$(sha256sum "$qt_archive" | cut -d' ' -f1)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$checksum" ] && [ -d "$qt_prefix/lib/cmake/Qt5" ]; then
    echo >&2 "qt-mingw: Qt from $qt_archive, unpacked before"
  else
    echo >&2 "qt-mingw: unpacking Qt from $qt_archive"
    rm -rf "$qt_prefix" "$stamp"
    tar -xJf "$qt_archive" -C "$build"
    echo "$checksum" >"$stamp"
  fi
else
  qt_prefix=${XDG_CACHE_HOME:-$HOME/.cache}/velmar/qt5.15.8-$target-static
  if [ -d "$qt_prefix/lib/cmake/Qt5" ]; then
    echo >&2 "qt-mingw: no Qt archive; using Qt built before in $qt_prefix"
  elif $ready_only; then
    exit 1
  else
    echo >&2 "qt-mingw: no Qt archive ($qt_archive_name); building Qt from Debian's source" \
      "package into $qt_prefix (about 35 minutes on two cores, once per machine)"
    "$source_dir/tools/build-qt-mingw.sh" --arch "$arch" "$qt_prefix" >&2
  fi
fi
echo "$qt_prefix"
