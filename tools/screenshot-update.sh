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
bin=$(cd "${2:-$here/../build/bin}" && pwd)
work=$(mktemp -d)
cleanup() {
  kill "${holder:-}" "${xvfb:-}" 2>/dev/null || true
  for started in "$work"/*/"Program Files (x86)/Orvane Client/velmar/exeinfo/velmar.started"; do
    [ -f "$started" ] && while read -r pid _; do kill "$pid" 2>/dev/null || true; done < "$started"
  done
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$work/display" 2> /dev/null &
xvfb=$!
for _ in $(seq 1 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display") XDG_RUNTIME_DIR=$work/run
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

run_update() { # MACHINE: runs its installed updater in the background
  local install="$1/Program Files (x86)/Orvane Client/velmar"
  (cd "$install" && VELMAR_SYSTEM_ROOT=$1 VELMAR_TEST_MSGBOX_ANSWER=confirm \
     VELMAR_TEST_MSGBOX_DELAY=4000 ./update) &
  updater=$!
}

# Halfway: docs/readme.txt is in use for six seconds, so the bar stops at the
# entry before it while the forced deletion waits.
"$here/mkmachine.sh" --bin "$bin" --package "$work/a" > /dev/null
VELMAR_SYSTEM_ROOT=$work/a "$bin/hold" file \
  "$work/a/Program Files (x86)/Orvane Client/velmar/docs/readme.txt" 8 > /dev/null &
holder=$!
run_update "$work/a"
sleep 6
import -window root "$out/update-progress.png"
wait "$updater"

# A missing package: the error box (kept up four seconds by the test hooks).
"$here/mkmachine.sh" --bin "$bin" "$work/b" > /dev/null
run_update "$work/b"
sleep 5
import -window root "$out/update-msgbox.png"
wait "$updater"
echo "$out/update-progress.png"
echo "$out/update-msgbox.png"
