#!/usr/bin/env bash
# mkmachine.sh [--bin DIR] [--package] ROOT
#
# Lays out a stand-in Windows machine in ROOT with the client installed, as
# the client's installer would leave it:
#   InstallLocation  ROOT/Program Files (x86)/Orvane Client  (registry: App Paths\velmar)
#   installation     <InstallLocation>/velmar: update, uninstall, exeinfo/reseat,
#                    exeinfo/velmar (the client stand-in), program files
#   beside it        <InstallLocation>/Orvane
#   data folder      ROOT/Users/Public/Documents/velmar with Config/veconfig.ini
#   registry         Uninstall\velmar with DisplayVersion 1.0.0
#   shortcuts        the desktop's Orvane.lnk, Start menu folders Orvane and Velmar
# With --package it also puts a sample update.zip (version 2.0.0) into the
# data folder: new files in nested folders, a new updater in exeinfo/ and a
# Config.zip with a new Config/veconfig.ini.
# The programs come from DIR (default: build/bin beside this script's folder).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$here/../../build/bin
package=no
while [ $# -gt 1 ]; do
  case $1 in
    --bin) bin=$2; shift 2 ;;
    --package) package=yes; shift ;;
    *) echo "mkmachine.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -eq 1 ] || { echo "usage: mkmachine.sh [--bin DIR] [--package] ROOT" >&2; exit 2; }
root=$(mkdir -p "$1" && cd "$1" && pwd)
for program in update uninstall reseat velmar standin-cmd; do
  [ -x "$bin/$program" ] || { echo "mkmachine.sh: $bin/$program is missing (build first)" >&2; exit 1; }
done

login=$(id -un)
location="$root/Program Files (x86)/Orvane Client"
install="$location/velmar"
documents="$root/Users/Public/Documents"
data="$documents/velmar"
registry="$root/Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion"
programs="$root/ProgramData/Microsoft/Windows/Start Menu/Programs"
desktop="$root/Users/$login/Desktop"

mkdir -p "$install/exeinfo" "$install/bin" "$install/docs" "$location/Orvane/cache" \
         "$data/Config" "$registry/App Paths/velmar" "$registry/Uninstall/velmar" \
         "$programs/Orvane" "$programs/Velmar" "$desktop" "$root/Mutexes"

cp "$bin/update" "$bin/uninstall" "$install/"
cp "$bin/reseat" "$bin/velmar" "$install/exeinfo/"
printf 'app 1.0.0\n' > "$install/bin/app.dll"
printf 'Orvane 1.0.0\n' > "$install/docs/readme.txt"
printf '[user]\nname=demo\n' > "$install/user.ini"
printf 'licence\n' > "$install/docs/licence.txt"
chmod a-w "$install/docs/licence.txt"
printf 'cache\n' > "$location/Orvane/cache/index.dat"
printf '[Server]\nVersion=1.0.0\n' > "$data/Config/veconfig.ini"

printf '%s' "$location" > "$registry/App Paths/velmar/InstallLocation"
printf '%s' "Orvane" > "$registry/Uninstall/velmar/DisplayName"
printf '%s' "1.0.0" > "$registry/Uninstall/velmar/DisplayVersion"
for link in "$desktop/Orvane.lnk" "$programs/Orvane/Orvane.lnk" "$programs/Orvane/卸载.lnk" \
            "$programs/Velmar/Orvane.lnk" "$programs/Velmar/卸载.lnk"; do
  printf 'shortcut\n' > "$link"
done

if [ $package = yes ]; then
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  mkdir -p "$stage/bin/plugins" "$stage/docs" "$stage/exeinfo" "$stage/config/Config"
  printf 'app 2.0.0\n' > "$stage/bin/app.dll"
  printf 'codec 2.0.0\n' > "$stage/bin/plugins/codec.dll"
  printf 'Orvane 2.0.0\n' > "$stage/docs/readme.txt"
  # The new updater; the marker tells it from the old one.
  cp "$bin/update" "$stage/exeinfo/update"
  printf 'velmar-update-2.0.0' >> "$stage/exeinfo/update"
  printf '[Server]\nVersion=2.0.0\n' > "$stage/config/Config/veconfig.ini"
  printf '[servers]\nmain=orvane.example\n' > "$stage/config/Config/servers.ini"
  (cd "$stage/config" && zip -q -r "$stage/Config.zip" Config)
  (cd "$stage" && zip -q -r "$data/update.zip" bin docs exeinfo Config.zip)
fi
echo "$root"
