#!/usr/bin/env bash
# wine-prefix.sh BUILD_FOLDER
#
# Makes a fresh Wine prefix (32- or 64-bit, as the build's toolchain) in BUILD_FOLDER/wine for wine-run.sh (a
# prefix left there goes first, with its server), starts one Wine server
# that stays up until "wine-run.sh wineserver -k", and boots the prefix.
# One server for a whole run: every program run and every program those
# start meet the same prefix and server, and the services wineboot starts
# stay up between runs instead of starting again for each.
set -euo pipefail
build=$(realpath -m "$1")
wine_run=$(dirname "${BASH_SOURCE[0]}")/wine-run.sh
export VELMAR_WINE_BUILD_DIR=$build

if [ -d "$build/wine/prefix" ]; then
  "$wine_run" wineserver -k 2>/dev/null || true
  "$wine_run" wineserver -w 2>/dev/null || true
fi
rm -rf "$build/wine"
mkdir -p "$build/wine/prefix"

# Code page 936 takes the glibc locale zh_CN.UTF-8 (see wine-run.sh). When
# the system has not generated it, one is made for Wine alone.
if ! locale -a 2>/dev/null | grep -qiE '^zh_CN\.utf-?8$'; then
  mkdir -p "$build/wine/locale"
  localedef -i zh_CN -f UTF-8 "$build/wine/locale/zh_CN.UTF-8" ||
    [ -f "$build/wine/locale/zh_CN.UTF-8/LC_CTYPE" ]
fi

"$wine_run" wineserver -p
"$wine_run" wineboot --init
