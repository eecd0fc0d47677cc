#!/usr/bin/env bash
# Runs a Windows program under Wine the way the tests need it: a Wine
# prefix and a home folder inside the build folder (nothing touches the real
# home), the Chinese code page 936 of the users' machines, and no Wine noise.
# The build folder is the current folder's nearest ancestor with a
# CMakeCache.txt, or $VELMAR_WINE_BUILD_DIR.
#
# "wine-run.sh wineserver ARGS" runs that prefix's Wine server instead (the
# Windows lane starts one for the whole run and ends it); "wine-run.sh
# --arch" prints win32 or win64, the Wine the build's programs need.
set -euo pipefail
build=${VELMAR_WINE_BUILD_DIR:-}
if [ -z "$build" ]; then
  build=$PWD
  while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do
    build=$(dirname "$build")
  done
fi
export WINEPREFIX="$build/wine/prefix" HOME="$build/wine/home"
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
# The build's toolchain says which Wine: 32-bit as the product ships, or
# 64-bit on a machine that cannot run 32-bit programs (see the lane). Debian's
# wine script would pick the 32-bit loader whenever it is installed, runnable
# or not, so the 64-bit one is named directly.
# A prefix kept outside the build folder (the screenshot scripts make their
# own) is told by VELMAR_WINE_ARCH, which "wine-run.sh --arch" prints for
# the build folder.
arch=${VELMAR_WINE_ARCH:-win32}
if [ -z "${VELMAR_WINE_ARCH:-}" ] &&
  grep -q '^CMAKE_TOOLCHAIN_FILE:.*mingw-x86_64\.cmake$' "$build/CMakeCache.txt" 2>/dev/null; then
  arch=win64
fi
if [ "${1:-}" = --arch ]; then
  echo "$arch"
  exit 0
fi
wine=(wine)
export WINEARCH=$arch
if [ "$arch" = win64 ]; then
  export WINELOADER=/usr/lib/wine/wine64
  wine=("$WINELOADER")
fi
# Wine takes its ANSI code page from LANG, but maps file names to Linux only
# through a glibc locale of that name; without one, names beyond ASCII fail.
# The lane makes the locale in the build folder when the system lacks it.
if [ -d "$build/wine/locale" ]; then
  export LOCPATH="$build/wine/locale"
fi
# A Windows program's C runtime reads TZ in a form of its own and misreads a
# Linux zone name, while Windows itself has the zone Wine gives it; without TZ
# both have the machine's zone (/etc/localtime).
unset TZ
# For the few checks of what Wine cannot do as Windows does.
export VELMAR_UNDER_WINE=1
mkdir -p "$HOME"
# Set for Wine only: this shell has no such locale to switch to.
locale=(env LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8)
if [ "${1:-}" = wineserver ]; then
  shift
  exec "${locale[@]}" wineserver "$@"
fi

# Wine's background processes (its services, the desktop, programs that a
# test started and did not wait for) inherit the standard output and error
# of whoever started them and can outlive it by far. Given ctest's pipe they
# would keep ctest waiting for its end, so the program writes into a file,
# which follows on our output once the program has ended.
output=$(mktemp "$build/wine/output.XXXXXX")
status=0
"${locale[@]}" "${wine[@]}" "$@" >"$output" 2>&1 || status=$?
cat "$output"
rm -f "$output"
exit "$status"
