#!/usr/bin/env bash
# build-release-windows.sh [--arch i686|x86_64] [BUILD_FOLDER]
#
# The release a publisher ships: update.exe, reseat.exe and uninstall.exe
# for 32-bit Windows (the product; --arch x86_64 builds the same for 64-bit
# Windows), cross-built with mingw-w64, without the test hooks and without
# tests, optimised for size and linked with the static Qt built for the
# release (tools/windows/build-qt-mingw.sh --release), with every function and
# object in a section of its own and the unreferenced ones left out at link
# time, and stripped of symbols. That Qt, libdeflate and zstd come from
# tools/windows/mingw-prefix.sh as the Windows lane's do: the release Qt's archive in
# the shared toolchains, unpacked into BUILD_FOLDER once per checksum (for
# x86_64, which has no archive, built once per machine: about an hour on two
# cores). The programs are checked as the lane checks its own (manifest,
# icon, file details), must not carry the test hooks, and their sizes are
# printed; the 32-bit ones must each stay within 10,000,000 bytes.
# BUILD_FOLDER defaults to build-windows-release (build-windows-release-x86_64
# for x86_64); the programs land in its bin/.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/arguments.sh"
build_arguments "usage: $0 [--arch i686|x86_64] [BUILD_FOLDER]" 0 1 --arch -- "$@"
set -- "${positional[@]}"
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
default_folder=build-windows-release
[ "$arch" = i686 ] || default_folder=$default_folder-$arch
build=$(realpath -m "${1:-$default_folder}")
qt_prefix=$("$source_dir/tools/windows/mingw-prefix.sh" --release --arch "$arch" qt "$build")
libdeflate_prefix=$("$source_dir/tools/windows/mingw-prefix.sh" --arch "$arch" libdeflate "$build")
zstd_prefix=$("$source_dir/tools/windows/mingw-prefix.sh" --arch "$arch" libzstd "$build")

flags="-Os -DNDEBUG -ffunction-sections -fdata-sections"
link_flags="-Wl,--gc-sections -s"

# The 32-bit Windows linker keeps every unwind table it is given (KEEP in its
# default script), and each object's table names every function of the
# object, so --gc-sections could drop almost nothing of Qt. Qt's libraries
# built without exceptions (none of their objects names the C++ personality
# routine) have no handler or clean-up that an unwinding could reach, and Qt
# forbids exceptions through its code: their tables go, and with them the
# functions nothing calls. Inline functions keep theirs: our code shares
# those. (64-bit Windows unwinds by its .pdata, which the system reads too.)
if [ "$arch" = i686 ]; then
  exception_free=()
  for library in "$qt_prefix"/lib/*.a "$qt_prefix"/plugins/*/*.a; do
    # (The host tools' library holds objects nm cannot read, and says so.)
    symbols=$("$arch-w64-mingw32-nm" "$library" 2>/dev/null)
    grep -q ' U ___gxx_personality' <<<"$symbols" || exception_free+=("*$(basename "$library"):*")
  done
  linker_script=$build/release.ld
  mkdir -p "$build"
  "$arch-w64-mingw32-ld" --verbose | sed '1,/^=====/d; /^=====/,$d' |
    sed "s|KEEP(\*(\.eh_frame\*))|KEEP(*(EXCLUDE_FILE(${exception_free[*]}) .eh_frame .eh_frame\$*))|" \
      >"$linker_script"
  if ! grep -q EXCLUDE_FILE "$linker_script"; then
    echo "build-release-windows: the linker's default script keeps no .eh_frame as expected" >&2
    exit 1
  fi
  link_flags+=" -Wl,-T,$linker_script"
fi

cmake -S "$source_dir" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-$arch.cmake" \
  -DVELMAR_QT_MINGW_PREFIX="$qt_prefix" \
  -DVELMAR_LIBDEFLATE_MINGW_PREFIX="$libdeflate_prefix" \
  -DVELMAR_ZSTD_MINGW_PREFIX="$zstd_prefix" \
  -DCMAKE_BUILD_TYPE=Release \
  -DVELMAR_WITH_QT=ON -DVELMAR_TEST_HOOKS=OFF -DVELMAR_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS_RELEASE="$flags" -DCMAKE_CXX_FLAGS_RELEASE="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS_RELEASE="$link_flags"
cmake --build "$build" -j2 --target update reseat uninstall

"$source_dir/tools/windows/check-windows-programs.sh" "$build/bin"
for program in update reseat uninstall; do
  # The hooks answer message boxes from the environment: a release that
  # reads these variables could be driven by whoever starts it.
  if grep -aq VELMAR_TEST_ "$build/bin/$program.exe"; then
    echo "build-release-windows: $program.exe carries the test hooks" >&2
    exit 1
  fi
  if x86_64-w64-mingw32-objdump -h "$build/bin/$program.exe" | grep '\.debug_' >/dev/null; then
    echo "build-release-windows: $program.exe is not stripped" >&2
    exit 1
  fi
done
# The line the shipped (32-bit) programs keep under.
limit=10000000
too_big=()
echo "build-release-windows: the release for $arch in $build/bin:"
for program in update reseat uninstall; do
  size=$(stat -c %s "$build/bin/$program.exe")
  printf '  %-14s %10d bytes\n' "$program.exe" "$size"
  [ "$arch" != i686 ] || [ "$size" -le $limit ] || too_big+=("$program.exe")
done
if [ ${#too_big[@]} -gt 0 ]; then
  echo "build-release-windows: over $limit bytes: ${too_big[*]}" >&2
  exit 1
fi
