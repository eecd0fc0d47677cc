#!/usr/bin/env bash
# bench/update/run.sh: the updater's steps applying the benchmark corpus
# package (about 4,000 entries, 170 MB), every entry logged and reported to a
# progress bar over the blocking connection, against zipextract on the same
# archive (zipextract on one thread, as the updater); five rounds, each in an
# order rotated by one from the round before, each run into a fresh machine
# removed right after its timing. Prints the medians and the ratio. Uses bench/zip's corpus (made by bench/zip/run.sh
# when missing) and builds into build-bench-update/. VELMAR_BENCH_OUT puts
# the machines elsewhere (e.g. /dev/shm).
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
outs=${VELMAR_BENCH_OUT:-$work}/out-update-$$
trap 'rm -rf "$outs"' EXIT
mkdir -p "$outs"
# On ext4 each run's folder goes to a block group of its own (as a top
# folder): new files are not made where the run before deleted its own, as
# ext4 without a journal (this machine's disk) then skips every inode deleted
# in the last minute, at a cost that grows with their number, and the next
# contender would pay for the last one's clean-up. Elsewhere this does
# nothing.
chattr +T "$outs" 2> /dev/null || true
run=0
measure() { # NAME COMMAND... ("@" stands for a fresh folder)
  local name=$1
  shift
  run=$((run + 1))
  local out="$outs/$run"
  mkdir -p "$out"
  sync
  local args=() a
  for a in "$@"; do args+=("${a//@/$out}"); done
  /usr/bin/time -o "$work/time.txt" -f "%e %U %S %M" "${args[@]}" > /dev/null 2>&1 ||
    { echo "$name failed: ${args[*]}" >&2; exit 1; }
  echo "$name $(cat "$work/time.txt")" >> "$results"
  # Gone before the next timing: kept outputs would make later runs pay for
  # fresh memory (tmpfs) or for the disk's discards.
  rm -rf "$out"
  sync
}
contender() {
  case $1 in
  0) measure zipextract "$build/bin/zipextract" -j 1 "$corpus" @ ;;
  1) measure update-steps "$build/bin/updatebench" "$corpus" @ ;;
  # The same with both threads on one CPU: what the blocking hand-over to the
  # GUI thread costs without waking a second CPU for it (see the figures).
  2) measure one-cpu taskset -c 0 "$build/bin/updatebench" "$corpus" @ ;;
  esac
}
for round in $(seq "$rounds"); do
  echo "round $round of $rounds..."
  # Each contender in each place of the order: whatever the one before
  # leaves behind (the disk's work, the caches) falls on all alike.
  for place in 0 1 2; do
    contender $(((place + round - 1) % 3))
  done
done
python3 - "$results" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    name, wall, user, system, rss = line.split()
    rows.setdefault(name, []).append((float(wall), float(user), float(system), int(rss)))
med = {n: [statistics.median(r[i] for r in runs) for i in range(4)] for n, runs in rows.items()}
print(f"{'':14} {'wall s':>7} {'user s':>7} {'sys s':>7} {'RSS MiB':>8}")
for name in ("zipextract", "update-steps", "one-cpu"):
    wall, user, system, rss = med[name]
    print(f"{name:14} {wall:7.2f} {user:7.2f} {system:7.2f} {rss / 1024:8.1f}")
ratio = med["update-steps"][0] / med["zipextract"][0]
print(f"update steps / zipextract wall: {ratio:.2f} (target at most 1.30: "
      f"{'met' if ratio <= 1.3 else 'MISSED'})")
print(f"on one CPU / zipextract wall:   {med['one-cpu'][0] / med['zipextract'][0]:.2f}")
PY
