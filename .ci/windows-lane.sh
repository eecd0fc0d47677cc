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
# Qt, libsodium and libdeflate come from tools/windows/mingw-prefix.sh: the
# prebuilt archive for the architecture ($VELMAR_QT_MINGW_ARCHIVE and the
# like, else toolchains/ of the shared folder beside the repository, which
# holds both architectures), unpacked into the build folder; without one,
# built once per machine from Debian's source packages. The log says which
# architecture was built and under which Wine the tests ran.
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

# Qt, libsodium and libdeflate for the target, each a prefix from
# tools/windows/mingw-prefix.sh (its prebuilt archive unpacked into the build folder,
# else built once per machine).
prefix_of() { # COMPONENT ARCH
  "$source_dir/tools/windows/mingw-prefix.sh" --arch "$2" "$1" "$build"
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
  sodium_prefix=$(prefix_of libsodium "$arch")
  libdeflate_prefix=$(prefix_of libdeflate "$arch")
  zstd_prefix=$(prefix_of libzstd "$arch")
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
  "$source_dir/tools/windows/check-windows-programs.sh" "$1/bin"
}

# test_under_wine FOLDER ARCH: ctest under Wine in a fresh prefix of FOLDER's,
# two test programs at a time; those that share the machine's places (the
# documents folder, the client's registry keys, the guards) hold a lock that
# keeps them apart (tests/CMakeLists.txt).
test_under_wine() {
  local folder=$1 arch=$2 wine_started=$SECONDS
  export VELMAR_WINE_BUILD_DIR=$folder
  trap '"$wine_run" wineserver -k 2>/dev/null || true' EXIT
  "$source_dir/cmake/wine-prefix.sh" "$folder"
  echo "windows-lane: Wine prefix ready in $((SECONDS - wine_started)) s; testing the" \
    "$arch build under $("$wine_run" --arch) Wine"
  (cd "$folder" && ctest -j2 --output-on-failure)
}

# 32-bit Wine starts only where the kernel runs 32-bit programs: ask its
# loader for its version. Elsewhere the programs run under 64-bit Wine when
# a 64-bit Qt is at hand (its archive in toolchains/, or built once by
# tools/windows/build-qt-mingw.sh --arch x86_64, or asked for with
# VELMAR_WINDOWS_ARCH=x86_64); without one the programs are built for 32-bit
# Windows and checked, and the Qt-free core is tested under 64-bit Wine.
arch=${VELMAR_WINDOWS_ARCH:-}
if [ -z "$arch" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    arch=i686
  elif "$source_dir/tools/windows/mingw-prefix.sh" --ready --arch x86_64 qt "$build"; then
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
    "that Qt once: tools/windows/build-qt-mingw.sh --arch x86_64 (about 35 minutes)."
  build_for i686 "$build" "$(prefix_of qt i686)"
  check_programs "$build"
  build_for x86_64 "$build/core-x86_64"
  test_under_wine "$build/core-x86_64" x86_64
else
  build_for "$arch" "$build" "$(prefix_of qt "$arch")"
  check_programs "$build"
  test_under_wine "$build" "$arch"
fi
echo "windows-lane: done in $((SECONDS - started)) s, Qt and the prefix included"
