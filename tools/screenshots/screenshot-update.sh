#!/usr/bin/env bash
# screenshot-update.sh OUTDIR [BINDIR]
#
# Runs the updater on a virtual screen (Xvfb) on throw-away stand-in machines
# and takes two screenshots:
#   OUTDIR/update-progress.png  the progress dialog halfway through a package
#                               (another program keeps a file in use a while)
#   OUTDIR/update-msgbox.png    the message box of a missing update package
# BINDIR holds a test build's programs (default: build/bin of the source
# tree); the test hooks keep the box up and answer it.
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 OUTDIR [BINDIR]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
bin=$(cd "${2:-$here/../../build/bin}" && pwd)
work=$(mktemp -d)
cleanup() {
  kill "${holder:-}" "${xvfb:-}" 2>/dev/null || true
  for started in "$work"/*/"Program Files (x86)/Orvane Client/velmar/exeinfo/velmar.started"; do
    [ -f "$started" ] && while read -r pid _; do kill "$pid" 2>/dev/null || true; done < "$started"
  done
  rm -rf "$work"
}
trap cleanup EXIT

source "$here/screenshot-steps.sh"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$work/display" 2> /dev/null &
xvfb=$!
until_true "Xvfb to tell its display" test -s "$work/display"
export DISPLAY=:$(cat "$work/display") XDG_RUNTIME_DIR=$work/run
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

run_update() { # MACHINE: runs its installed updater in the background
  local install="$1/Program Files (x86)/Orvane Client/velmar"
  (cd "$install" && VELMAR_SYSTEM_ROOT=$1 VELMAR_TEST_MSGBOX_ANSWER=confirm \
     VELMAR_TEST_MSGBOX_LOG=$work/boxes VELMAR_TEST_SLEEP_LOG=$work/sleeps \
     VELMAR_TEST_RELEASE=$work/release ./update) &
  updater=$!
}

# Halfway: docs/readme.txt is in use, so the bar stops at the entry before it
# while the update waits for it (five attempts 3 s apart); the holder lets
# go once the picture is taken.
"$here/../standin/mkmachine.sh" --bin "$bin" --package "$work/a" > /dev/null
VELMAR_SYSTEM_ROOT=$work/a "$bin/hold" file \
  "$work/a/Program Files (x86)/Orvane Client/velmar/docs/readme.txt" 600 > "$work/held" &
holder=$!
until_true "hold to hold docs/readme.txt" file_has "$work/held" held
run_update "$work/a"
until_true "the update to wait for docs/readme.txt" file_has "$work/sleeps" 3000
steady_shot "$out/update-progress.png" 800x600+0+0
kill "$holder"
until_true "the updater to end" ended "$updater"

# A missing package: the error box, kept up by the test hooks until the
# picture is taken.
"$here/../standin/mkmachine.sh" --bin "$bin" "$work/b" > /dev/null
run_update "$work/b"
until_true "the box of the missing package" test -s "$work/boxes"
steady_shot "$out/update-msgbox.png" 800x600+0+0
release "$work/release"
until_true "the updater to end" ended "$updater"
echo "$out/update-progress.png"
echo "$out/update-msgbox.png"
