#!/usr/bin/env bash
# bench/update/run.sh: the updater's steps (every entry staged, put in place,
# logged and reported to a progress bar over the blocking connection)
# against zipextract -j 1 (one thread, as the updater) on two packages:
#   source  a source-like release (bench/update/sourcetree.py: about 5,000
#           files in 380 folders, 46 MB), installed over the release before
#           it, as every real update lands;
#   corpus  bench/zip's corpus (about 4,000 entries, 170 MB, two of them
#           40 and 60 MB) into an empty folder.
# On tmpfs (/dev/shm) and on disk (see bench/diskplace.sh), or
# VELMAR_BENCH_PLACES; VELMAR_BENCH_PACKAGES picks the packages. Each of
# VELMAR_BENCH_ROUNDS rounds (7) runs both contenders, in an order that
# swaps from one round to the next; each run writes into a fresh folder (the
# installed release laid in first, untimed) that is removed right after its
# timing. Prints per package and place the medians and the spread (fastest
# to slowest) of wall, user and system time, and the median of the rounds'
# ratios. Builds into build-bench-update/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VELMAR_BENCH_UPDATE_BUILD_DIR:-$root/build-bench-update}
rounds=${VELMAR_BENCH_ROUNDS:-7}
corpus=${VELMAR_BENCH_BUILD_DIR:-$root/build-bench}/bench-zip/corpus.zip
work=$build/bench-update
packages=${VELMAR_BENCH_PACKAGES:-source corpus}
mkdir -p "$work"
case " $packages " in *" corpus "*)
  if [ ! -f "$corpus" ]; then
    echo "no corpus yet: running bench/zip/run.sh first"
    VELMAR_BENCH_ROUNDS=1 "$root/bench/zip/run.sh" > /dev/null
  fi
  ;;
esac
case " $packages " in *" source "*)
  if [ ! -f "$work/source.zip" ]; then
    echo "making the source-like releases..."
    rm -rf "$work/source-1" "$work/source-2"
    python3 "$root/bench/update/sourcetree.py" "$work/source-1" 1
    python3 "$root/bench/update/sourcetree.py" "$work/source-2" 2
    python3 - "$work/source-2" "$work/source.zip" <<'PY'
import os, sys, zipfile
tree, target = sys.argv[1:]
with zipfile.ZipFile(target + ".tmp", "w", zipfile.ZIP_DEFLATED, compresslevel=6) as package:
    for folder, subfolders, files in sorted(os.walk(tree)):
        subfolders.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            package.write(path, os.path.relpath(path, tree))
os.replace(target + ".tmp", target)
PY
  fi
  ;;
esac
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_TESTS=OFF \
  > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j2 --target zipextract updatebench > "$work/build.log" ||
  { cat "$work/build.log"; exit 1; }

results=$work/results.txt
: > "$results"
# shellcheck source=bench/diskplace.sh
. "$root/bench/diskplace.sh"
declare -A outs
bench_places update "$work"
run=0
measure() { # PACKAGE ARCHIVE PLACE ROUND NAME COMMAND... ("@" stands for a fresh folder)
  local package=$1 archive=$2 place=$3 round=$4 name=$5
  shift 5
  run=$((run + 1))
  local out="${outs[$place]}/$run"
  # Untimed: the package where the updater finds it (both contenders read
  # that copy), and the release before, as the installation holds it, when
  # the package is the next one.
  mkdir -p "$out/app" "$out/Users/Public/Documents/velmar"
  cp "$archive" "$out/Users/Public/Documents/velmar/update.zip"
  [ "$package" = source ] && cp -a "$work/source-1/." "$out/app/"
  sync
  local args=() a
  for a in "$@"; do args+=("${a//@/$out}"); done
  # Wall time from bash's own clock (microseconds, no process of its own):
  # time(1) gives it in hundredths, a twentieth of zipextract's run.
  local began=$EPOCHREALTIME
  /usr/bin/time -o "$work/time.txt" -f "%U %S %M" "${args[@]}" > /dev/null 2>&1 ||
    { echo "$name failed: ${args[*]}" >&2; exit 1; }
  local ended=$EPOCHREALTIME
  echo "$package $place $round $name $(python3 -c "print(f'{$ended - $began:.6f}')") \
$(cat "$work/time.txt")" >> "$results"
  # Gone before the next timing: kept outputs would make later runs pay for
  # fresh memory (tmpfs) or for the disk's discards.
  rm -rf "$out"
  sync
}
for package in $packages; do
  archive=$corpus
  [ "$package" = source ] && archive=$work/source.zip
  for place in $places; do
    for round in $(seq "$rounds"); do
      echo "$package, $place: round $round of $rounds..."
      # Each contender in each place of the order: whatever the one before
      # leaves behind (the disk's work, the caches) falls on both alike.
      for at in 0 1; do
        case $(((at + round) % 2)) in
        0) measure "$package" "$archive" "$place" "$round" zipextract \
          "$build/bin/zipextract" -j 1 @/Users/Public/Documents/velmar/update.zip @/app ;;
        1) measure "$package" "$archive" "$place" "$round" update-steps \
          "$build/bin/updatebench" @ ;;
        esac
      done
    done
  done
done
python3 - "$results" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    package, place, round_, name, wall, user, system, rss = line.split()
    rows.setdefault((package, place), {}).setdefault(name, {})[round_] = (
        float(wall), float(user), float(system), int(rss))
for (package, place), tools in rows.items():
    print(f"\n{package} on {place}: medians of {len(tools['zipextract'])} rounds, "
          "fastest-slowest in brackets")
    print(f"{'':13} {'wall s':>20} {'user s':>7} {'sys s':>7} {'RSS MiB':>8}")
    for name in ("zipextract", "update-steps"):
        runs = list(tools[name].values())
        walls = [r[0] for r in runs]
        wall, user, system, rss = (statistics.median(r[i] for r in runs) for i in range(4))
        print(f"{name:13} {wall:6.3f} [{min(walls):.3f}-{max(walls):.3f}] {user:7.2f} "
              f"{system:7.2f} {rss / 1024:8.1f}")
    ratios = [tools["update-steps"][r][0] / tools["zipextract"][r][0] for r in tools["zipextract"]]
    ratio = statistics.median(ratios)
    verdict = "" if package != "source" else (
        f" (target at most 2.0: {'met' if ratio <= 2.0 else 'MISSED'})")
    print(f"update steps / zipextract, median of the rounds' ratios: {ratio:.2f} "
          f"[{min(ratios):.2f}-{max(ratios):.2f}]{verdict}")
PY
