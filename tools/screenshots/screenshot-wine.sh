#!/usr/bin/env bash
# screenshot-wine.sh OUTDIR [BUILD_FOLDER]
#
# Runs the Windows build under Wine on a virtual screen (Xvfb), with the
# client installed in a throw-away Wine prefix, and takes screenshots as a
# user would see the programs:
#   OUTDIR/update-progress.png     the updater's progress dialog, while a file
#                                  that another program holds open is being
#                                  force-deleted
#   OUTDIR/update-msgbox.png       the message box over the dialog: the update
#                                  package is missing
#   OUTDIR/uninstall-waiting.png   the uninstall window before its work starts
#   OUTDIR/uninstall-running.png   its worker at a Start-menu shortcut in use
#   OUTDIR/uninstall-succeeded.png its success panel
# The test hooks keep a message box and the success panel up until the
# picture is taken, and then answer the box and click the panel's exit
# button, so the build must have VELMAR_TEST_HOOKS (the Windows lane's
# does). BUILD_FOLDER defaults to build-windows-qt of the source
# tree. Needs wine, xvfb-run, xdotool, ImageMagick's import and python3.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 OUTDIR [BUILD_FOLDER]" >&2
  exit 2
fi
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
build=$(realpath -m "${2:-$source_dir/build-windows-qt}")
bin=$build/bin
# The prefix is made outside the build folder: it takes the build's Wine.
VELMAR_WINE_ARCH=$(VELMAR_WINE_BUILD_DIR=$build "$source_dir/cmake/wine-run.sh" --arch)
export VELMAR_WINE_ARCH
for program in update reseat uninstall velmar hold; do
  if [ ! -f "$bin/$program.exe" ]; then
    echo "$0: $bin/$program.exe is missing; run .ci/windows-lane.sh first" >&2
    exit 1
  fi
done
for tool in wine xvfb-run xdotool import python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "$0: $tool is not installed" >&2
    exit 1
  fi
done

work=$(mktemp -d)
export VELMAR_WINE_BUILD_DIR=$work SOURCE_DIR=$source_dir BIN=$bin OUT=$out
cleanup() {
  "$source_dir/cmake/wine-run.sh" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The inner shell runs on the virtual screen and expands its own variables.
# The prefix is booted there: Wine's desktop process, which every program
# of the prefix draws through, takes the screen it was started on.
# shellcheck disable=SC2016
xvfb-run -a -s "-screen 0 1024x768x24" bash -euo pipefail -c '
  unset QT_QPA_PLATFORM
  "$SOURCE_DIR/cmake/wine-prefix.sh" "$VELMAR_WINE_BUILD_DIR" >/dev/null 2>&1
  wine_run=$SOURCE_DIR/cmake/wine-run.sh
  c=$VELMAR_WINE_BUILD_DIR/wine/prefix/drive_c
  documents=$c/users/Public/Documents
  install="$c/Program Files/Orvane Client"
  velmar=$install/velmar
  programs="$c/ProgramData/Microsoft/Windows/Start Menu/Programs"
  log=$documents/velmarinstall.txt
  export VELMAR_TEST_MSGBOX_LOG="C:\\boxes.txt"
  boxes=$c/boxes.txt

  # The client as its installer leaves it.
  mkdir -p "$velmar/bin" "$velmar/exeinfo" "$install/Orvane/Config" \
    "$documents/velmar/Config" "$programs/Orvane" "$programs/Velmar"
  cp "$BIN/update.exe" "$BIN/uninstall.exe" "$velmar/"
  cp "$BIN/reseat.exe" "$BIN/velmar.exe" "$velmar/exeinfo/"
  echo "app 1.0.0" >"$velmar/bin/app.dll"
  printf "[Server]\r\nVersion=1.0.0\r\n" >"$documents/velmar/Config/veconfig.ini"
  for link in "$programs/Orvane/卸载.lnk" "$programs/Orvane/Orvane.lnk" \
    "$programs/Velmar/卸载.lnk" "$programs/Velmar/Orvane.lnk"; do
    echo shortcut >"$link"
  done
  # The product keeps to the 32-bit view of the registry, which a 64-bit reg.exe
  # has to be told.
  view=()
  [ "$VELMAR_WINE_ARCH" = win32 ] || view=(/reg:32)
  key="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion"
  "$wine_run" reg add "$key\\App Paths\\velmar" "${view[@]}" /v InstallLocation \
    /d "C:\\Program Files\\Orvane Client" /f >/dev/null
  "$wine_run" reg add "$key\\Uninstall\\velmar" "${view[@]}" /v DisplayVersion /d 1.0.0 /f >/dev/null
  python3 - "$documents/velmar/update.zip" <<"PACKAGE"
import io, sys, zipfile
config = io.BytesIO()
with zipfile.ZipFile(config, "w", zipfile.ZIP_DEFLATED) as archive:
    archive.writestr("Config/veconfig.ini", "[Server]\r\nVersion=2.0.0\r\n")
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as archive:
    for n in range(40):
        archive.writestr("bin/plugins/plugin%02d.dll" % n, "plugin 2.0.0\n" * 2000)
    archive.writestr("bin/app.dll", "app 2.0.0\n")
    archive.writestr("Config.zip", config.getvalue())
PACKAGE

  source "$SOURCE_DIR/tools/screenshots/screenshot-steps.sh"
  # A program window, found by an xdotool search, taken on its own. Wine
  # names the X windows of a program after its file (the window class).
  shoot() { # FILE SEARCH...
    local file=$1 geometry
    shift
    geometry=$(window_geometry "$@")
    steady_shot "$OUT/$file" "$geometry"
  }
  update="C:\\Program Files\\Orvane Client\\velmar\\update.exe"
  export VELMAR_TEST_SLEEP_LOG="C:\\sleeps.txt" VELMAR_TEST_RELEASE="C:\\release"
  sleeps=$c/sleeps.txt
  release=$c/release

  # The progress dialog: bin\app.dll is held open, so the update waits for
  # it (five attempts 3 s apart); the holder lets go once the picture is
  # taken, and the update goes on.
  hold_windows_file "C:\\Program Files\\Orvane Client\\velmar\\bin\\app.dll"
  "$wine_run" "$update" &
  running=$!
  until_true "the update to wait for bin\\app.dll" file_has "$sleeps" 3000
  shoot update-progress.png --classname "^update.exe\$"
  "$wine_run" taskkill /f /im hold.exe >/dev/null 2>&1 || true
  until_true "the program to end" ended "$running"

  # The message box: the updater refuses while the client, which reseat
  # started at the end of the update, runs. The box stays up until the
  # picture is taken.
  until_true "reseat to start the client" test -s "$velmar/exeinfo/velmar.started"
  "$wine_run" "$update" &
  running=$!
  until_true "the box of the refused update" test -s "$boxes"
  shoot update-msgbox.png --classname "^update.exe\$"
  release "$release"
  until_true "the program to end" ended "$running"
  "$wine_run" taskkill /f /im velmar.exe >/dev/null 2>&1

  # The uninstall window: waiting, at a Start-menu shortcut that another
  # program holds open (six forced deletion attempts, about 8 seconds),
  # and on its success panel, which stays until the picture is taken; then
  # the test hook clicks its exit button.
  hold_windows_file "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Velmar\\Orvane.lnk"
  VELMAR_TEST_EXIT=1 "$wine_run" "C:\\Program Files\\Orvane Client\\velmar\\uninstall.exe" &
  running=$!
  shoot uninstall-waiting.png --classname "^uninstall.exe\$"
  until_true "the forced deletion of the shortcut" file_has "$log" "Velmar\\Orvane.lnk" 1
  shoot uninstall-running.png --classname "^uninstall.exe\$"
  until_true "the shortcut given up" file_has "$log" "Velmar\\Orvane.lnk" 2
  shoot uninstall-succeeded.png --classname "^uninstall.exe\$"
  release "$release"
  until_true "the program to end" ended "$running"
  "$wine_run" taskkill /f /im hold.exe >/dev/null 2>&1 || true
'
echo "screenshots in $out:" update-progress.png update-msgbox.png uninstall-waiting.png \
  uninstall-running.png uninstall-succeeded.png
