#!/usr/bin/env bash
# demo.sh: the update chain on a stand-in machine with sample data.
#
# Installs what is missing, builds the programs (build-demo/), lays out a
# stand-in machine with the client installed and an update package waiting
# (build-demo/machine, see mkmachine.sh), and runs the installed updater in a
# window (on a virtual screen when there is no display). The updater unpacks
# the package and hands over to reseat, which puts the new updater in place
# and starts the client. At the end the install log is printed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-demo
machine=$build/machine

bash "$root/.ci/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" -j2 --target update reseat uninstall velmar standin-cmd hold

rm -rf "$machine"
"$root/tools/standin/mkmachine.sh" --bin "$build/bin" --package "$machine" > /dev/null
install="$machine/Program Files (x86)/Orvane Client/velmar"
log="$machine/Users/Public/Documents/velmarinstall.txt"
export VELMAR_SYSTEM_ROOT=$machine
export XDG_RUNTIME_DIR=$build/run
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

echo
echo "Stand-in machine: $machine"
echo "Installed version: $(cat "$machine/Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall/velmar/DisplayVersion")"
echo "Running the updater from $install ..."
if [ -z "${DISPLAY:-}" ]; then
  # A virtual screen for the whole chain: reseat starts after the updater
  # has ended and needs a display too.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$build/display" 2> /dev/null &
  xvfb=$!
  trap 'kill $xvfb 2>/dev/null || true' EXIT
  for _ in $(seq 1 50); do [ -s "$build/display" ] && break; sleep 0.1; done
  export DISPLAY=:$(cat "$build/display")
  echo "(on the virtual screen $DISPLAY)"
fi
(cd "$install" && timeout 120 ./update) ||
  echo "demo: the updater did not end within two minutes" >&2

# The updater is gone; reseat follows 1.5 s later and starts the client.
for _ in $(seq 1 100); do
  [ -s "$install/exeinfo/velmar.started" ] && break
  sleep 0.2
done
echo
echo "=== Install log ($log)"
cat "$log"
echo
echo "Version now:        $(cat "$machine/Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall/velmar/DisplayVersion")"
echo "bin/app.dll:        $(cat "$install/bin/app.dll")"
echo "data folder Config: $(ls "$machine/Users/Public/Documents/velmar/Config" | tr '\n' ' ')"
if [ -s "$install/exeinfo/velmar.started" ]; then
  echo "client started:     process $(head -n 1 "$install/exeinfo/velmar.started")"
  while read -r pid _; do kill "$pid" 2>/dev/null || true; done < "$install/exeinfo/velmar.started"
else
  echo "client started:     no" >&2
  exit 1
fi
echo
echo "To try the uninstaller on this machine:"
echo "  VELMAR_SYSTEM_ROOT='$machine' '$install/uninstall'"
