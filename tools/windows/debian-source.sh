#!/usr/bin/env bash
# debian-source.sh WORK PACKAGE VERSION
#
# Unpacks Debian's source package PACKAGE at VERSION into WORK, as
# "apt-get source" does (WORK/PACKAGE-UPSTREAM_VERSION), through an apt
# configuration of its own in WORK/apt: the deb-src twins of the system's
# Debian entries, so that the system's apt set-up stays untouched.
#
# Needs dpkg-dev.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/arguments.sh"
build_arguments "usage: $0 WORK PACKAGE VERSION" 3 3 -- "$@"
set -- "${positional[@]}"
work=$1 package=$2 version=$3

apt_dir=$work/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/archives/partial"
# Debian's own entries are the ones signed with its archive keyring; each
# becomes its source twin. Deb822 files hold one entry per paragraph; the
# one-line format one per line.
sources=$apt_dir/sources.list.d/debian-src.sources
: >"$sources"
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] || continue
  awk -v RS= -v ORS='\n\n' '/debian-archive-keyring/ {
        gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' \
    "$file" >>"$sources"
done
list=$apt_dir/sources.list.d/debian-src.list
: >"$list"
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  sed -nE 's|^deb(\s+(\[[^]]*\]\s+)?\S+/debian(-security)?/?\s)|deb-src\1|p' "$file" >>"$list"
done
if [ ! -s "$sources" ] && [ ! -s "$list" ]; then
  echo "$0: the system's apt configuration names no Debian archive" >&2
  exit 1
fi
apt_options=(
  -o "Dir::Etc::SourceList=/dev/null"
  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache::Archives=$apt_dir/archives"
  -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
)
apt-get "${apt_options[@]}" update
(cd "$work" && apt-get "${apt_options[@]}" source "$package=$version")
