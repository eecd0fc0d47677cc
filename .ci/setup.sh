#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12, and only
# what is missing: a machine that has everything is left alone.
set -euo pipefail

packages=(
  # build
  cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools zlib1g-dev libsodium-dev libdeflate-dev libzstd-dev
  googletest libgtest-dev
  # running the programs and their tests: a display, Chinese fonts, the
  # tools that make and read archives, flock
  xvfb xauth xdotool x11-utils imagemagick fonts-noto-cjk
  zip unzip libarchive-tools p7zip-full python3 util-linux time file xz-utils
  # the power-cut sweep's file system
  libfuse3-dev fuse3
  # fuzzing; counting system calls in the benchmark
  clang-14 libclang-rt-14-dev strace
  # the peers of the delta benchmark
  xdelta3 bsdiff
  # the Windows build and its tests under Wine
  wine wine32:i386 g++-mingw-w64-i686-posix libz-mingw-w64-dev locales icoutils
  # the same lane on machines that cannot run 32-bit programs
  wine64 g++-mingw-w64-x86-64-posix
  # building that lane's Qt from Debian's source when the prebuilt one is missing
  dpkg-dev
  # and libsodium likewise, where its prebuilt archive is missing
  autoconf automake libtool
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: everything is installed"
  exit 0
fi

run_as_root=()
[ "$(id -u)" -eq 0 ] || run_as_root=(sudo)
echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${run_as_root[@]}" dpkg --add-architecture i386
fi
"${run_as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${run_as_root[@]}" apt-get install -y -q \
  "${missing[@]}"
