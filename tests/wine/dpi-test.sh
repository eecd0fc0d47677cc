#!/usr/bin/env bash
# dpi-test.sh BUILD_FOLDER
#
# The Windows build on screens at 100, 150 and 200 % (LogPixels 96, 144 and
# 192 in a Wine prefix of its own for each), as a user sees it: the progress
# dialog, the message box with the longest text the programs show (a file
# the update needs stays in use: the box names the installation folder, here
# one deep enough that the middle of its path gives way) and the uninstall
# window are screenshot on a virtual screen, and dpi-check.py checks in the
# pictures that each window has its logical size times the factor and that
# every text lies inside its label, whole, in as many lines as at 100 %. The
# pictures stay in BUILD_FOLDER/dpi-test.
# Needs wine, xvfb-run, xdotool, ImageMagick's import and python3.
set -euo pipefail

usage="usage: $0 BUILD_FOLDER"
if [ "${1:-}" = --help ]; then
  echo "$usage"
  exit 0
fi
if [ $# -ne 1 ]; then
  echo "$usage" >&2
  exit 2
fi
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(realpath -m "$1")
out=$build/dpi-test
# The prefixes are made outside the build folder: they take its Wine.
VELMAR_WINE_ARCH=$(VELMAR_WINE_BUILD_DIR=$build "$source_dir/cmake/wine-run.sh" --arch)
export VELMAR_WINE_ARCH
rm -rf "$out"
mkdir -p "$out"

for dpi in 96 144 192; do
  work=$out/prefix-$dpi
  mkdir -p "$work"
  # The inner shell runs on a virtual screen large enough for the windows
  # at 200 %, and expands its own variables.
  # shellcheck disable=SC2016
  VELMAR_WINE_BUILD_DIR=$work SOURCE_DIR=$source_dir BIN=$build/bin OUT=$out/$dpi DPI=$dpi \
    xvfb-run -a -s "-screen 0 2048x1536x24" bash -euo pipefail -c '
    unset QT_QPA_PLATFORM
    mkdir -p "$OUT"
    wine_run=$SOURCE_DIR/cmake/wine-run.sh
    trap "\"$wine_run\" wineserver -k 2>/dev/null || true" EXIT
    "$SOURCE_DIR/cmake/wine-prefix.sh" "$VELMAR_WINE_BUILD_DIR" >/dev/null 2>&1
    # The screen density a user chooses in the display settings; it takes
    # effect for the programs started after the server has read it anew.
    "$wine_run" reg add "HKCU\\Control Panel\\Desktop" /v LogPixels /t REG_DWORD /d "$DPI" /f \
      >/dev/null
    "$wine_run" reg add "HKLM\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts" \
      /v LogPixels /t REG_DWORD /d "$DPI" /f >/dev/null
    "$wine_run" wineserver -k 2>/dev/null || true
    "$wine_run" wineserver -w 2>/dev/null || true

    c=$VELMAR_WINE_BUILD_DIR/wine/prefix/drive_c
    documents=$c/users/Public/Documents
    location="Program Files\\Orvane Client\\Orvane Client Program Data\\Orvane Client 2024"
    install="$c/Program Files/Orvane Client/Orvane Client Program Data/Orvane Client 2024"
    velmar_folder="C:\\$location\\velmar"
    velmar=$install/velmar
    log=$documents/velmarinstall.txt
    export VELMAR_TEST_MSGBOX_LOG="C:\\boxes.txt"
    boxes=$c/boxes.txt
    mkdir -p "$velmar/bin" "$velmar/exeinfo" "$install/Orvane" "$documents/velmar/Config"
    cp "$BIN/update.exe" "$BIN/uninstall.exe" "$velmar/"
    cp "$BIN/reseat.exe" "$BIN/velmar.exe" "$velmar/exeinfo/"
    echo "app 1.0.0" >"$velmar/bin/app.dll"
    printf "[Server]\r\nVersion=1.0.0\r\n" >"$documents/velmar/Config/veconfig.ini"
    # The product keeps to the 32-bit view of the registry, which a 64-bit reg.exe
    # has to be told.
    view=()
    [ "$VELMAR_WINE_ARCH" = win32 ] || view=(/reg:32)
    key="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion"
    "$wine_run" reg add "$key\\App Paths\\velmar" "${view[@]}" /v InstallLocation \
      /d "C:\\$location" /f >/dev/null
    # bin\app.dll stays held open to the end, so the update is rolled back
    # and the message box names the installation folder.
    python3 - "$documents/velmar/update.zip" <<"PACKAGE"
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as archive:
    archive.writestr("bin/app.dll", "app 2.0.0\n")
PACKAGE

    source "$SOURCE_DIR/tools/screenshots/screenshot-steps.sh"
    # The visible window of a program that is about its logical width times
    # the factor wide (the updater shows two at once), as a PPM picture and
    # a PNG to look at. A window that kept its 100 % size is not found.
    shoot() { # NAME CLASS LOGICAL_WIDTH
      local wanted=$(($3 * DPI / 96)) geometry=
      sized_window() {
        local window WINDOW WIDTH HEIGHT X Y SCREEN
        for window in $(xdotool search --onlyvisible --classname "^$2\$" 2>/dev/null); do
          eval "$(xdotool getwindowgeometry --shell "$window")"
          if [ "$WIDTH" -ge $((wanted - 3)) ] && [ "$WIDTH" -le $((wanted + 3)) ]; then
            geometry="${WIDTH}x${HEIGHT}+${X}+${Y}"
            return 0
          fi
        done
        return 1
      }
      until_true "a window of $2 about $wanted pixels wide at $DPI DPI" sized_window "$@"
      steady_shot "$OUT/$1.ppm" "$geometry"
      convert "$OUT/$1.ppm" "$OUT/$1.png"
    }

    # bin\app.dll is held open from before the update starts until both
    # pictures are taken: the update waits for it (five attempts 3 s apart),
    # is rolled back, and its box says so. The box stays up until the test
    # releases it, and the progress dialog under it stays as the box found it.
    release=$c/release
    hold_windows_file "$velmar_folder\\bin\\app.dll"
    VELMAR_TEST_RELEASE="C:\\release" "$wine_run" "$velmar_folder\\update.exe" &
    running=$!
    until_true "the box of the failed update" test -s "$boxes"
    shoot msgbox update.exe 322
    shoot progress update.exe 536
    "$wine_run" taskkill /f /im hold.exe >/dev/null 2>&1 || true
    release "$release"
    wait "$running"

    # The uninstall window: its title, which dpi-check.py reads, is the same
    # while it waits, works and shows its success panel.
    "$wine_run" "$velmar_folder\\uninstall.exe" &
    running=$!
    shoot uninstall uninstall.exe 536
    "$wine_run" taskkill /f /im uninstall.exe >/dev/null 2>&1 || true
    wait "$running" || true
  '
done

python3 "$source_dir/tests/wine/dpi-check.py" "$out"
