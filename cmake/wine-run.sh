#!/usr/bin/env bash
# Runs a Windows program under 32-bit Wine the way the tests need it: a Wine
# prefix and a home folder inside the build folder (nothing touches the real
# home), the Chinese code page 936 of the users' machines, and no Wine noise.
# The build folder is the current folder's nearest ancestor with a
# CMakeCache.txt, or $VELMAR_WINE_BUILD_DIR.
set -euo pipefail
build=${VELMAR_WINE_BUILD_DIR:-}
if [ -z "$build" ]; then
  build=$PWD
  while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do
    build=$(dirname "$build")
  done
fi
export WINEPREFIX="$build/wine/prefix" HOME="$build/wine/home"
export WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
mkdir -p "$HOME"
exec wine "$@"
