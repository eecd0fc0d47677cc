#!/usr/bin/env bash
# bench/delta/run.sh: what a delta package saves, on two consecutive
# releases of this project's own Windows programs (update.exe, reseat.exe,
# uninstall.exe as they ship, at VELMAR_BENCH_DELTA_OLD and _NEW, by default
# two commits apart by a small change of the ZIP reader) plus the
# resources/ folder. Prints side by side:
#   - package sizes: the whole new release zipped (zip -r, as a publisher
#     makes one), pkgdelta's delta package, and xdelta3 -9 -S djw and bsdiff
#     over the same changed files, summed;
#   - the time pkgdelta takes to make the delta package;
#   - the update steps (bench/update's updatebench) applying each package to
#     an installation of the old release, on tmpfs and on disk (see
#     bench/diskplace.sh; or VELMAR_BENCH_PLACES), medians of
#     VELMAR_BENCH_ROUNDS (5) rounds whose order alternates.
# Builds into build-bench-delta/ (the releases once: they are kept).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VELMAR_BENCH_DELTA_BUILD_DIR:-$root/build-bench-delta}
old_commit=${VELMAR_BENCH_DELTA_OLD:-926be91}
new_commit=${VELMAR_BENCH_DELTA_NEW:-69efba3}
rounds=${VELMAR_BENCH_ROUNDS:-5}
work=$build/bench-delta
mkdir -p "$work"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_TESTS=OFF \
  > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j2 --target pkgdelta updatebench > "$work/build.log" ||
  { cat "$work/build.log"; exit 1; }

# release COMMIT FOLDER: the three programs of COMMIT as they ship for
# Windows (built as tools/build-release-windows.sh builds them: the Qt
# configured for size, optimised, unused sections collected, stripped), and
# its resources/. The script of those commits cannot be used: it gave the
# build no libdeflate.
qt_prefix=$("$root/tools/mingw-prefix.sh" --release qt "$work")
libdeflate=$("$root/tools/mingw-prefix.sh" libdeflate "$work")
release() {
  local commit=$1 folder=$2 source=$work/source-$1 sections="-ffunction-sections -fdata-sections"
  [ -f "$folder/update.exe" ] && return 0
  echo "building the Windows release of $commit (once)..."
  rm -rf "$source" "$folder"
  mkdir -p "$source" "$folder"
  git -C "$root" archive "$commit" | tar -x -C "$source"
  cmake -S "$source" -B "$source/build" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-i686.cmake" \
    -DVELMAR_QT_MINGW_PREFIX="$qt_prefix" -DVELMAR_LIBDEFLATE_MINGW_PREFIX="$libdeflate" \
    -DCMAKE_BUILD_TYPE=Release -DVELMAR_TEST_HOOKS=OFF -DVELMAR_BUILD_TESTS=OFF \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG $sections" \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG $sections" \
    -DCMAKE_EXE_LINKER_FLAGS_RELEASE="-Wl,--gc-sections -s" > "$work/release-$commit.log" 2>&1
  cmake --build "$source/build" -j2 --target update reseat uninstall \
    >> "$work/release-$commit.log" 2>&1 || { tail -20 "$work/release-$commit.log"; exit 1; }
  cp "$source/build/bin/"{update,reseat,uninstall}.exe "$folder/"
  cp -r "$source/resources" "$folder/"
  rm -rf "$source"
}
old=$work/release-$old_commit
new=$work/release-$new_commit
release "$old_commit" "$old"
release "$new_commit" "$new"

whole=$work/whole.zip delta=$work/delta.zip
rm -f "$whole" "$delta"
(cd "$new" && zip -qr "$whole" .)
/usr/bin/time -o "$work/make-time.txt" -f "%e" "$build/bin/pkgdelta" make "$old" "$new" \
  "$delta" 2> "$work/make.log" > /dev/null || { cat "$work/make.log"; exit 1; }
xdelta_sum=0 bsdiff_sum=0 changed=()
while IFS= read -r -d '' file; do
  name=${file#"$new"/}
  if [ -f "$old/$name" ] && ! cmp -s "$old/$name" "$file"; then
    changed+=("$name")
    xdelta3 -9 -S djw -e -f -s "$old/$name" "$file" "$work/patch.xd3"
    bsdiff "$old/$name" "$file" "$work/patch.bsdiff"
    xdelta_sum=$((xdelta_sum + $(stat -c %s "$work/patch.xd3")))
    bsdiff_sum=$((bsdiff_sum + $(stat -c %s "$work/patch.bsdiff")))
  fi
done < <(find "$new" -type f -print0 | sort -z)

# Applying: each run into a fresh machine whose installation is the old
# release and whose data folder holds the package, both copied before the
# timing starts.
# shellcheck source=bench/diskplace.sh
. "$root/bench/diskplace.sh"
declare -A outs
bench_places delta "$work"
results=$work/results.txt
: > "$results"
apply() { # PLACE NAME PACKAGE
  local machine=${outs[$1]}/machine
  rm -rf "$machine"
  mkdir -p "$machine/Users/Public/Documents/velmar"
  cp -r "$old" "$machine/app"
  cp "$3" "$machine/Users/Public/Documents/velmar/update.zip"
  sync
  /usr/bin/time -o "$work/time.txt" -f "%e %M" "$build/bin/updatebench" "$machine" \
    > /dev/null 2>&1 || { echo "$2 failed to apply in $1" >&2; exit 1; }
  # The journal stays: updatebench leaves out the hand-over to reseat.
  diff -r -x '~velmar-update.*' "$new" "$machine/app" > /dev/null ||
    { echo "$2 did not make the new release in $1" >&2; exit 1; }
  echo "$1 $2 $(cat "$work/time.txt")" >> "$results"
  rm -rf "$machine"
  sync
}
for place in $places; do
  for round in $(seq "$rounds"); do
    echo "$place: round $round of $rounds..."
    if [ $((round % 2)) = 1 ]; then
      apply "$place" whole "$whole"
      apply "$place" delta "$delta"
    else
      apply "$place" delta "$delta"
      apply "$place" whole "$whole"
    fi
  done
done

python3 - "$results" "$(stat -c %s "$whole")" "$(stat -c %s "$delta")" "$xdelta_sum" \
  "$bsdiff_sum" "$(cat "$work/make-time.txt")" "${changed[*]}" <<'PY'
import statistics, sys
results, whole, delta, xdelta, bsdiff, make, changed = sys.argv[1:]
whole, delta, xdelta, bsdiff = map(int, (whole, delta, xdelta, bsdiff))
print(f"\nchanged files: {changed}")
print(f"{'package':34} {'bytes':>10} {'of whole':>9}")
for name, size in (("whole (zip -r)", whole), ("delta (pkgdelta)", delta),
                   ("xdelta3 -9 -S djw, summed", xdelta), ("bsdiff, summed", bsdiff)):
    print(f"{name:34} {size:10d} {100 * size / whole:8.2f}%")
print(f"delta / whole: {delta / whole:.4f} (target at most 0.10: "
      f"{'met' if delta <= 0.1 * whole else 'MISSED'})")
print(f"delta / xdelta3: {delta / xdelta:.3f} (target at most 1: "
      f"{'met' if delta <= xdelta else 'MISSED'})")
print(f"making the delta package: {float(make):.2f} s")
rows = {}
for line in open(results):
    place, name, wall, rss = line.split()
    rows.setdefault(place, {}).setdefault(name, []).append((float(wall), int(rss)))
for place, runs in rows.items():
    med = {n: (statistics.median(w for w, _ in r), statistics.median(m for _, m in r))
           for n, r in runs.items()}
    print(f"\napplying on {place}, medians of {len(runs['whole'])} rounds")
    for name in ("whole", "delta"):
        print(f"  {name:6} {med[name][0]:6.3f} s  {med[name][1] / 1024:6.1f} MiB")
    ratio = med["delta"][0] / med["whole"][0]
    print(f"  delta / whole: {ratio:.2f} (target at most 1.2: "
          f"{'met' if ratio <= 1.2 else 'MISSED'})")
PY
