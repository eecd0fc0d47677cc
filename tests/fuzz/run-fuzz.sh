#!/usr/bin/env bash
# run-fuzz.sh [SECONDS]: builds the fuzz targets with clang 14, ASan and
# UBSan (in build-fuzz/ beside this repository's other builds, or
# $VELMAR_FUZZ_BUILD_DIR), makes the seed corpus and fuzzes the ZIP reader
# for SECONDS (default 60). Exits non-zero when the fuzzer finds a fault; the
# input that shows it is left in the build's fuzz/ folder.
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VELMAR_FUZZ_BUILD_DIR:-$root/build-fuzz}
mkdir -p "$build"
sanitizers="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS="$sanitizers" -DCMAKE_CXX_FLAGS="$sanitizers" \
  -DVELMAR_WITH_QT=OFF -DVELMAR_BUILD_TESTS=OFF -DVELMAR_FUZZ=ON > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2 --target zip_fuzzer
fuzz="$build/fuzz"
rm -rf "$fuzz/seeds"
"$root/tests/fuzz/make-seeds.sh" "$fuzz/seeds"
mkdir -p "$fuzz/corpus"
cd "$fuzz"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec "$build/bin/zip_fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 "$fuzz/corpus" "$fuzz/seeds"
