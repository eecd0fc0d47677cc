#!/usr/bin/env bash
# mingw-prefix.sh [--ready] [--arch i686|x86_64] [--release] qt|libdeflate|libzstd|libsodium BUILD_FOLDER
#
# Makes a static library for Windows (mingw-w64; 32-bit unless --arch says
# x86_64) ready for a build in BUILD_FOLDER and prints its prefix: Qt 5, or
# libdeflate and libzstd (the ZIP reader) or libsodium (package signatures).
# The Windows lane and the release build find them all here, and only here.
#
# --release asks for the Qt that the shipped programs link instead of the
# lane's (build-qt-mingw.sh --release: optimised for size, fewer features).
#
# Each comes from its prebuilt archive when there is one for the
# architecture: the file $VELMAR_QT_MINGW_ARCHIVE, $VELMAR_QT_RELEASE_MINGW_ARCHIVE
# (--release), $VELMAR_LIBDEFLATE_MINGW_ARCHIVE, $VELMAR_ZSTD_MINGW_ARCHIVE or
# $VELMAR_SODIUM_MINGW_ARCHIVE names (taken when its name holds the target,
# e.g. x86_64-w64-mingw32), else the one in toolchains/ of the shared folder
# beside the repository. It is unpacked into BUILD_FOLDER once per archive (a
# changed archive, by its checksum, is unpacked anew), whatever folder name
# it unpacks to. Without an archive it is built from Debian's source package
# into $XDG_CACHE_HOME/velmar, once per machine: tools/windows/build-qt-mingw.sh
# (about 35 minutes on two cores; an hour for the release's) or
# tools/windows/build-library-mingw.sh (a minute or two).
#
# --ready: only say (by the exit code) whether it is at hand without a
# build. Progress goes to standard error.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/arguments.sh"
build_arguments \
  "usage: $0 [--ready] [--arch i686|x86_64] [--release] qt|libdeflate|libzstd|libsodium BUILD_FOLDER" \
  2 2 --ready --arch --release -- "$@"
set -- "${positional[@]}"
component=$1
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(realpath -m "$2")
target=$arch-w64-mingw32
case $component in
qt)
  if $release; then
    archive_name=qt5.15.8-$target-release-static.tar.xz
    variable=VELMAR_QT_RELEASE_MINGW_ARCHIVE
  else
    archive_name=qt5.15.8-$target-static.tar.xz
    variable=VELMAR_QT_MINGW_ARCHIVE
  fi
  ;;
libdeflate)
  archive_name=libdeflate-1.14-$target-static.tar.xz
  variable=VELMAR_LIBDEFLATE_MINGW_ARCHIVE
  ;;
libzstd)
  archive_name=libzstd-1.5.4-$target-static.tar.xz
  variable=VELMAR_ZSTD_MINGW_ARCHIVE
  ;;
libsodium)
  archive_name=libsodium-1.0.18-$target-static.tar.xz
  variable=VELMAR_SODIUM_MINGW_ARCHIVE
  ;;
*)
  echo "$usage" >&2
  exit 2
  ;;
esac
if $release && [ "$component" != qt ]; then
  echo "$usage" >&2
  exit 2
fi

# The variable's archive serves the architecture its name holds: the lane
# asks for x86_64 on a machine without 32-bit programs, and an i686 archive
# named there would not link.
find_archive() {
  local named=${!variable:-}
  if [ -n "$named" ]; then
    if [ -f "$named" ] && [[ $(basename "$named") == *"$target"* ]]; then
      echo "$named"
      return 0
    fi
    echo >&2 "mingw-prefix: $variable=$named is not a $target archive; looking further"
  fi
  local shared=$source_dir/../shared/toolchains/$archive_name
  if [ -f "$shared" ]; then
    echo "$shared"
    return 0
  fi
  return 1
}

# An archive's library is "there" once it has its CMake files (Qt) or its
# static library.
is_installed() {
  case $component in
  qt) [ -d "$1/lib/cmake/Qt5" ] ;;
  *) [ -f "$1/lib/$component.a" ] ;;
  esac
}

if archive=$(find_archive); then
  $ready && exit 0
  mkdir -p "$build"
  # The lane's Qt and the release's may share a build folder.
  unpacked=$build/mingw-$component-$arch
  $release && unpacked=$build/mingw-$component-release-$arch
  stamp=$unpacked.sha256
  checksum=$(sha256sum "$archive" | cut -d' ' -f1)
  # The archive's one top folder is the prefix.
  prefix=$(find "$unpacked" -mindepth 1 -maxdepth 1 -type d -print -quit 2>/dev/null || true)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$checksum" ] && [ -n "$prefix" ] &&
    is_installed "$prefix"; then
    echo >&2 "mingw-prefix: $component for $arch from $archive, unpacked before"
  else
    echo >&2 "mingw-prefix: unpacking $component for $arch from $archive"
    rm -rf "$unpacked" "$stamp"
    mkdir -p "$unpacked"
    tar -xJf "$archive" -C "$unpacked"
    prefix=$(find "$unpacked" -mindepth 1 -maxdepth 1 -type d -print -quit)
    if [ -z "$prefix" ] || ! is_installed "$prefix"; then
      echo >&2 "mingw-prefix: $archive holds no $component in one top folder"
      exit 1
    fi
    echo "$checksum" >"$stamp"
  fi
else
  if $release; then
    prefix=${XDG_CACHE_HOME:-$HOME/.cache}/velmar/qt5.15.8-$target-release
  else
    prefix=${XDG_CACHE_HOME:-$HOME/.cache}/velmar/${archive_name%.tar.xz}
  fi
  if is_installed "$prefix"; then
    echo >&2 "mingw-prefix: $component for $arch built before in $prefix"
  elif $ready; then
    exit 1
  elif [ "$component" = qt ]; then
    profile=() duration="about 35 minutes"
    $release && profile=(--release) duration="about an hour"
    echo >&2 "mingw-prefix: no Qt archive ($archive_name); building Qt from Debian's source" \
      "package into $prefix ($duration on two cores, once per machine)"
    "$source_dir/tools/windows/build-qt-mingw.sh" --arch "$arch" "${profile[@]}" "$prefix" >&2
  else
    echo >&2 "mingw-prefix: no $component archive ($archive_name); building it from" \
      "Debian's source package into $prefix"
    "$source_dir/tools/windows/build-library-mingw.sh" --arch "$arch" "$component" "$prefix" >&2
  fi
  $ready && exit 0
fi
echo "$prefix"
