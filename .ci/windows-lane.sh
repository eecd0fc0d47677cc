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
# x86_64, built once per machine from Debian's source package.
#
# Needs the Debian packages wine, wine32:i386, wine64,
# g++-mingw-w64-i686-posix, g++-mingw-w64-x86-64-posix, libz-mingw-w64-dev,
# googletest, cmake, make, locales, xz-utils, icoutils and binutils-mingw-w64.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-build-windows-qt}")
wine_run=$source_dir/cmake/wine-run.sh
export VELMAR_WINE_BUILD_DIR=$build
started=$SECONDS
mkdir -p "$build"

# 32-bit Wine starts only where the kernel runs 32-bit programs: ask its
# loader for its version.
arch=${VELMAR_WINDOWS_ARCH:-}
if [ -z "$arch" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    arch=i686
  else
    arch=x86_64
    echo "windows-lane: this machine cannot run 32-bit programs (no 32-bit Wine):" \
      "building for 64-bit Windows and testing under 64-bit Wine instead"
  fi
fi
target=$arch-w64-mingw32

qt_prefix=$("$source_dir/tools/qt-mingw-prefix.sh" --arch "$arch" "$build")
echo "windows-lane: Qt ready in $((SECONDS - started)) s"

# ---- libsodium and the test signing key -------------------------------------
# The updater with a built-in key that the Wine tests run (update_signed)
# needs libsodium for the target: the prebuilt archive
# ($VELMAR_SODIUM_MINGW_ARCHIVE, else toolchains/ as for Qt), unpacked into
# the build folder, or else tools/build-sodium-mingw.sh builds it from
# Debian's source package into $XDG_CACHE_HOME/velmar (a minute, once per
# machine). The test key is made by a pkgsign built for this machine (with
# Debian's libsodium-dev).
sodium_archive_name=libsodium-1.0.18-$target-static.tar.xz
sodium_archive=
for candidate in "${VELMAR_SODIUM_MINGW_ARCHIVE:-}" \
  "$source_dir/../shared/toolchains/$sodium_archive_name"; do
  if [ -n "$candidate" ] && [ -f "$candidate" ]; then
    sodium_archive=$candidate
    break
  fi
done
if [ -n "$sodium_archive" ]; then
  sodium_prefix=$build/${sodium_archive_name%.tar.xz}
  if [ ! -f "$sodium_prefix/lib/libsodium.a" ]; then
    echo "windows-lane: unpacking libsodium from $sodium_archive"
    tar -xJf "$sodium_archive" -C "$build"
  fi
else
  sodium_prefix=${XDG_CACHE_HOME:-$HOME/.cache}/velmar/${sodium_archive_name%.tar.xz}
  if [ ! -f "$sodium_prefix/lib/libsodium.a" ]; then
    echo "windows-lane: no libsodium archive ($sodium_archive_name); building it from" \
      "Debian's source package into $sodium_prefix"
    "$source_dir/tools/build-sodium-mingw.sh" --arch "$arch" "$sodium_prefix"
  fi
fi
host_tools=$build/host-tools
cmake -S "$source_dir" -B "$host_tools" -DVELMAR_WITH_QT=OFF -DVELMAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$host_tools" --target pkgsign -j2
sodium_options=(-DVELMAR_SODIUM_PREFIX="$sodium_prefix"
  -DVELMAR_HOST_PKGSIGN="$host_tools/bin/pkgsign")
echo "windows-lane: libsodium and pkgsign ready in $((SECONDS - started)) s"
# ---- end of libsodium ---------------------------------------------------------

cmake -S "$source_dir" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-$arch.cmake" \
  -DVELMAR_QT_MINGW_PREFIX="$qt_prefix" \
  -DVELMAR_WITH_QT=ON -DVELMAR_TEST_HOOKS=ON "${sodium_options[@]}"
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
