#!/usr/bin/env bash
# check-windows-programs.sh BIN_FOLDER
#
# What a Windows user's shell reads from the three program files, checked as
# the Windows lane builds them and as a release ships them: GUI programs
# whose manifest asks for administrator rights, declares per-monitor DPI
# awareness (Qt scales the windows) and long paths, with the product icon at
# 16, 32, 48 and 256 pixels, each in true colour with alpha, and the file
# details (version information with a Chinese description). Needs icoutils,
# binutils-mingw-w64-x86-64 (its objdump reads 32- and 64-bit programs alike)
# and iconv.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/arguments.sh"
build_arguments "usage: $0 BIN_FOLDER" 1 1 -- "$@"
set -- "${positional[@]}"
bin=$1
failed=0
fail() {
  echo "check-windows-programs: $1" >&2
  failed=1
}

declare -A description=(
  [update]=Orvane自动升级程序
  [reseat]=Orvane升级更新程序
  [uninstall]=Orvane卸载程序
)
for program in update reseat uninstall; do
  exe=$bin/$program.exe
  if [ ! -f "$exe" ]; then
    fail "$exe is missing"
    continue
  fi
  # Each tool's whole output is taken first: a grep -q that stops reading
  # early would fail the pipeline.
  # A program without resources makes wrestool fail; the checks below say
  # what is missing.
  manifest=$(wrestool --extract --raw --type=24 "$exe" 2>/dev/null || true)
  headers=$(x86_64-w64-mingw32-objdump -p "$exe")
  icon_folder=$(mktemp -d)
  wrestool --extract --type=14 --output="$icon_folder" "$exe" 2>/dev/null || true
  icons=$(for icon in "$icon_folder"/*; do [ -f "$icon" ] && icotool --list "$icon"; done || true)
  rm -rf "$icon_folder"
  # The strings are UTF-16; the zero bytes of the structure around them go.
  version=$( (wrestool --extract --raw --type=16 "$exe" 2>/dev/null || true) |
    iconv -f UTF-16LE -t UTF-8 -c | tr -d '\000')

  grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "$program.exe is not a GUI program"
  grep -q 'level="requireAdministrator"' <<<"$manifest" ||
    fail "$program.exe has no manifest asking for administrator rights"
  grep -q '<dpiAwareness[^>]*>PerMonitor</dpiAwareness>' <<<"$manifest" ||
    fail "$program.exe does not declare per-monitor DPI awareness"
  grep -q '<longPathAware[^>]*>true</longPathAware>' <<<"$manifest" ||
    fail "$program.exe does not declare long paths"
  for size in 16 32 48 256; do
    grep -q -- "--width=$size --height=$size" <<<"$icons" ||
      fail "$program.exe has no $size-pixel icon"
  done
  for size in 16 32 48 256; do
    grep -q -- "--width=$size --height=$size --bit-depth=32" <<<"$icons" ||
      fail "$program.exe's $size-pixel icon is not 32-bit with alpha"
  done
  grep -q "${description[$program]}" <<<"$version" ||
    fail "$program.exe has no file description \"${description[$program]}\""
done
[ "$failed" = 0 ] || exit 1
echo "check-windows-programs: update.exe, reseat.exe, uninstall.exe: GUI programs with" \
  "manifest (administrator, DPI, long paths), icon and file details"
