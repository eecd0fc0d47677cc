#!/bin/sh
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
set -eu

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 OUTDIR [BINDIR]" >&2
    exit 2
fi
out=$1
here=$(cd "$(dirname "$0")" && pwd)
bin=${2:-${VELMAR_BIN_DIR:-$here/../build/bin}}
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
cleanup() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null
    # The batch files left behind need their three seconds to finish.
    sleep 4
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
VELMAR_SYSTEM_ROOT=$root "$bin/hold" file "$programs/Velmar/Orvane.lnk" 60 >/dev/null &
holder=$!

mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"
export VELMAR_SYSTEM_ROOT="$root" OUT="$out" LOG="$root/Users/Public/Documents/velmarinstall.txt"
export PROGRAM="$location/velmar/uninstall"
# The inner shell runs on the virtual screen and expands its own variables.
# shellcheck disable=SC2016
xvfb-run -a -s "-screen 0 1024x768x24" sh -eu -c '
    # What the hidden batch runs say stays out of the way, as on Windows.
    QT_QPA_PLATFORM=xcb "$PROGRAM" 2>/dev/null &
    program=$!
    window=$(timeout 20 xdotool search --sync --onlyvisible --name "^安装\$" | head -n 1)
    # The window (536 x 337) at the top left corner of the screen.
    xdotool windowmove "$window" 0 0
    sleep 1
    import -window root -crop 536x337+0+0 +repage "$OUT/uninstall-waiting.png"

    waitForLog() {
        tries=0
        until grep -q "$1" "$LOG" 2>/dev/null; do
            tries=$((tries + 1))
            [ $tries -lt 300 ] || { echo "gave up waiting for: $1" >&2; exit 1; }
            sleep 0.1
        done
    }
    waitForLog "强制删除文件:.*Velmar/Orvane.lnk"
    sleep 1
    import -window root -crop 536x337+0+0 +repage "$OUT/uninstall-running.png"

    waitForLog "删除文件.*Velmar/Orvane.lnk失败"
    sleep 1
    import -window root -crop 536x337+0+0 +repage "$OUT/uninstall-succeeded.png"

    # The exit button of the success panel.
    xdotool mousemove --window "$window" 433 285 click 1
    wait "$program"
'
echo "screenshots in $out: uninstall-waiting.png uninstall-running.png uninstall-succeeded.png"
