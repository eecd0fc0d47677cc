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

    waitFor() { # FILE PATTERN: until FILE has a line with PATTERN
      for _ in $(seq 600); do
        LC_ALL=C grep -qaF "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
      done
      echo "gave up waiting for $2 in $1" >&2
      exit 1
    }
    # The visible window of a program that is about its logical width times
    # the factor wide (the updater shows two at once), as a PPM picture and
    # a PNG to look at. A window that kept its 100 % size is not found. It
    # is taken once two pictures half a second apart agree: a window just
    # shown on a busy machine may not have drawn all of itself yet.
    shoot() { # NAME CLASS LOGICAL_WIDTH
      local window wanted=$(($3 * DPI / 96))
      for _ in $(seq 100); do
        for window in $(xdotool search --onlyvisible --classname "^$2\$" 2>/dev/null); do
          eval "$(xdotool getwindowgeometry --shell "$window")"
          if [ "$WIDTH" -ge $((wanted - 3)) ] && [ "$WIDTH" -le $((wanted + 3)) ]; then
            import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -depth 8 "$OUT/$1.ppm"
            sleep 0.5
            import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -depth 8 "$OUT/$1.again.ppm"
            if cmp -s "$OUT/$1.ppm" "$OUT/$1.again.ppm"; then
              rm "$OUT/$1.again.ppm"
              import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$OUT/$1.png"
              return 0
            fi
          fi
        done
        sleep 0.2
      done
      echo "no window of $2 about $wanted pixels wide at $DPI DPI" >&2
      exit 1
    }

    # The progress dialog while bin\app.dll is held open (its entry waits
    # for it, five attempts 3 s apart), then the box that the update failed.
    VELMAR_TEST_MSGBOX_DELAY=8000 "$wine_run" "$velmar_folder\\update.exe" &
    running=$!
    "$wine_run" "$BIN/hold.exe" file "$velmar_folder\\bin\\app.dll" 40 \
      >/dev/null &
    waitFor "$log" "bin\\app.dll"
    sleep 1
    shoot progress update.exe 536
    for _ in $(seq 600); do [ -s "$boxes" ] && break; sleep 0.1; done
    sleep 1.5
    shoot msgbox update.exe 322
    wait "$running"

    # The uninstall window during its three seconds before the work.
    "$wine_run" "$velmar_folder\\uninstall.exe" &
    running=$!
    sleep 1
    shoot uninstall uninstall.exe 536
    "$wine_run" taskkill /f /im uninstall.exe >/dev/null 2>&1 || true
    wait "$running" || true
  '
done

python3 "$source_dir/tests/wine/dpi-check.py" "$out"
