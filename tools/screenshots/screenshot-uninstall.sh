#!/usr/bin/env bash
# screenshot-uninstall.sh OUTDIR [BINDIR]
#
# Runs the uninstaller under Xvfb on a throw-away stand-in machine laid out
# like a real installation and takes three screenshots of its window:
#   OUTDIR/uninstall-waiting.png    the three seconds before the work starts
#   OUTDIR/uninstall-running.png    the worker busy with a Start-menu shortcut
#                                   that another program keeps in use
#   OUTDIR/uninstall-succeeded.png  the success panel with its exit button
# then clicks the exit button as a person would.
#
# BINDIR holds the built programs (uninstall, hold, standin-cmd); default
# $VELMAR_BIN_DIR, else build/bin of the source tree. Needs xvfb-run, xdotool
# and ImageMagick's import.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 OUTDIR [BINDIR]" >&2
    exit 2
fi
out=$1
here=$(cd "$(dirname "$0")" && pwd)
bin=${2:-${VELMAR_BIN_DIR:-$here/../../build/bin}}
for program in uninstall hold standin-cmd; do
    if [ ! -x "$bin/$program" ]; then
        echo "$0: $bin/$program is missing; build it first" >&2
        exit 1
    fi
done
for tool in xvfb-run xdotool import; do
    if ! command -v "$tool" >/dev/null; then
        echo "$0: $tool is not installed" >&2
        exit 1
    fi
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
bin=$(cd "$bin" && pwd)

work=$(mktemp -d)
root=$work/machine
holder=
source "$here/screenshot-steps.sh"
cleanup() {
    if [ -n "$holder" ]; then kill "$holder" 2>/dev/null || true; fi
    # The batch files left behind take the folders three seconds after the
    # program ended.
    if [ -n "${location:-}" ]; then
        until_true "the batch files to remove the installation" test ! -e "$location/velmar"
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The stand-in machine: registry, installation with "Orvane" beside it,
# desktop and Start-menu shortcuts.
location="$root/Program Files (x86)/Orvane Client"
key="$root/Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion"
programs="$root/ProgramData/Microsoft/Windows/Start Menu/Programs"
desktop="$root/Users/$(id -un)/Desktop"
mkdir -p "$root/Users/Public/Documents" "$key/App Paths/velmar" "$key/Uninstall/velmar" \
    "$location/velmar/plugins/imageformats" "$location/velmar/exeinfo" "$location/Orvane/Config" \
    "$desktop" "$programs/Orvane" "$programs/Velmar"
printf '%s' "$location" >"$key/App Paths/velmar/InstallLocation"
printf '%s' "1.0.0" >"$key/Uninstall/velmar/DisplayVersion"
for file in velmar.dll Qt5Core.dll plugins/qjpeg.dll plugins/imageformats/qgif.dll \
    exeinfo/ConfigPath.txt; do
    echo "$file" >"$location/velmar/$file"
done
echo "user settings" >"$location/Orvane/Config/veconfig.ini"
for link in "$desktop/Orvane.lnk" "$programs/Orvane/卸载.lnk" "$programs/Orvane/Orvane.lnk" \
    "$programs/Velmar/卸载.lnk" "$programs/Velmar/Orvane.lnk"; do
    echo shortcut >"$link"
done
cp "$bin/uninstall" "$location/velmar/uninstall"

# A shortcut in use keeps the worker in its Start-menu step for about 7.5 s
# (six forced deletion attempts), long enough to see it running.
VELMAR_SYSTEM_ROOT=$root "$bin/hold" file "$programs/Velmar/Orvane.lnk" 1800 >"$work/held" &
holder=$!
until_true "hold to hold the shortcut" file_has "$work/held" held

mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"
export VELMAR_SYSTEM_ROOT="$root" OUT="$out" LOG="$root/Users/Public/Documents/velmarinstall.txt"
export PROGRAM="$location/velmar/uninstall" HERE="$here"
# The inner shell runs on the virtual screen and expands its own variables.
# shellcheck disable=SC2016
xvfb-run -a -s "-screen 0 1024x768x24" bash -euo pipefail -c '
    source "$HERE/screenshot-steps.sh"
    # What the hidden batch runs say stays out of the way, as on Windows.
    QT_QPA_PLATFORM=xcb "$PROGRAM" 2>/dev/null &
    program=$!
    # The window (536 x 337) at the top left corner of the screen.
    window=
    shown() {
        window=$(xdotool search --onlyvisible --name "^安装\$" 2>/dev/null | head -n 1)
        [ -n "$window" ]
    }
    until_true "the uninstall window" shown
    xdotool windowmove "$window" 0 0
    steady_shot "$OUT/uninstall-waiting.png" 536x337+0+0

    until_true "the forced deletion of the shortcut" grep -q "强制删除文件:.*Velmar/Orvane.lnk" "$LOG"
    steady_shot "$OUT/uninstall-running.png" 536x337+0+0

    # The success panel stays until a person clicks its exit button.
    until_true "the shortcut given up" grep -q "删除文件.*Velmar/Orvane.lnk失败" "$LOG"
    steady_shot "$OUT/uninstall-succeeded.png" 536x337+0+0
    xdotool mousemove --window "$window" 433 285 click 1
    until_true "the uninstaller to end" ended "$program"
'
echo "screenshots in $out: uninstall-waiting.png uninstall-running.png uninstall-succeeded.png"
