#!/usr/bin/env bash
# bench/update/run.sh: the updater's steps applying the benchmark corpus
# package (about 4,000 entries, 170 MB), every entry logged and reported to a
# progress bar over the blocking connection, against zipextract on the same
# archive (zipextract on one thread, as the updater), on tmpfs (/dev/shm) and
# on disk (the build folder's disk, see bench/diskplace.sh), or
# VELMAR_BENCH_PLACES. Five rounds (VELMAR_BENCH_ROUNDS), each in an order
# rotated by one from the round before, each run into a fresh machine
# removed right after its timing. Prints the medians and the ratio per
# place. Uses bench/zip's corpus (made by bench/zip/run.sh when missing) and
# builds into build-bench-update/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VELMAR_BENCH_UPDATE_BUILD_DIR:-$root/build-bench-update}
rounds=${VELMAR_BENCH_ROUNDS:-5}
corpus=${VELMAR_BENCH_BUILD_DIR:-$root/build-bench}/bench-zip/corpus.zip
work=$build/bench-update
mkdir -p "$work"
if [ ! -f "$corpus" ]; then
  echo "no corpus yet: running bench/zip/run.sh first"
  VELMAR_BENCH_ROUNDS=1 "$root/bench/zip/run.sh" > /dev/null
fi
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
measure() { # PLACE NAME COMMAND... ("@" stands for a fresh folder)
  local place=$1 name=$2
  shift 2
  run=$((run + 1))
  local out="${outs[$place]}/$run"
  mkdir -p "$out"
  sync
  local args=() a
  for a in "$@"; do args+=("${a//@/$out}"); done
  /usr/bin/time -o "$work/time.txt" -f "%e %U %S %M" "${args[@]}" > /dev/null 2>&1 ||
    { echo "$name failed: ${args[*]}" >&2; exit 1; }
  echo "$place $name $(cat "$work/time.txt")" >> "$results"
  # Gone before the next timing: kept outputs would make later runs pay for
  # fresh memory (tmpfs) or for the disk's discards.
  rm -rf "$out"
  sync
}
contender() { # PLACE N
  case $2 in
  0) measure "$1" zipextract "$build/bin/zipextract" -j 1 "$corpus" @ ;;
  1) measure "$1" update-steps "$build/bin/updatebench" "$corpus" @ ;;
  # The same with both threads on one CPU: what the blocking hand-over to the
  # GUI thread costs without waking a second CPU for it (see the figures).
  2) measure "$1" one-cpu taskset -c 0 "$build/bin/updatebench" "$corpus" @ ;;
  esac
}
for place in $places; do
  for round in $(seq "$rounds"); do
    echo "$place: round $round of $rounds..."
    # Each contender in each place of the order: whatever the one before
    # leaves behind (the disk's work, the caches) falls on all alike.
    for at in 0 1 2; do
      contender "$place" $(((at + round - 1) % 3))
    done
  done
done
python3 - "$results" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    place, name, wall, user, system, rss = line.split()
    rows.setdefault(place, {}).setdefault(name, []).append(
        (float(wall), float(user), float(system), int(rss)))
for place, tools in rows.items():
    med = {n: [statistics.median(r[i] for r in runs) for i in range(4)]
           for n, runs in tools.items()}
    print(f"\n{place}, medians of {len(tools['zipextract'])} rounds")
    print(f"{'':14} {'wall s':>7} {'user s':>7} {'sys s':>7} {'RSS MiB':>8}")
    for name in ("zipextract", "update-steps", "one-cpu"):
        wall, user, system, rss = med[name]
        print(f"{name:14} {wall:7.2f} {user:7.2f} {system:7.2f} {rss / 1024:8.1f}")
    ratio = med["update-steps"][0] / med["zipextract"][0]
    print(f"update steps / zipextract wall: {ratio:.2f} (target at most 1.30: "
          f"{'met' if ratio <= 1.3 else 'MISSED'})")
    print(f"on one CPU / zipextract wall:   {med['one-cpu'][0] / med['zipextract'][0]:.2f}")
PY
