#!/usr/bin/env bash
# bench/zip/run.sh: zipextract against bsdtar, unzip, 7z and Python's zipfile,
# side by side in one run.
#
# Archives (made once, deterministic, kept in the build's bench-zip/):
#   corpus   ~170 MB, 4,000 text files, binaries, a 40 MB and a 60 MB file
#   corpus2  mixed text and binaries, one entry over the one-piece limit,
#            10,000 tiny files (bench/zip/corpus2.py)
#   zeros    one entry, 1 GiB of zeros              (VELMAR_BENCH_LARGE=0 skips
#   semi     one entry, 2 GB semi-random bytes       these two)
#   tiny10000, tiny300000   tiny entries, for the cost per entry
#
# Every round runs the contenders in an order rotated by one from the round
# before and reversed every other round, so that no tool always follows the
# same one (on disk a run pays for what the one before it left: after
# Python's 2 GB, the same zipextract took five times as long as after the
# others); each extracts into a fresh folder that is removed right after its
# timing (kept outputs would make later runs pay for fresh memory or for the
# disk's discards). Places: tmpfs (/dev/shm) and disk (the build folder's
# disk, see bench/diskplace.sh), or VELMAR_BENCH_PLACES. Printed per archive and place: the medians of wall,
# user, system time and peak RSS, the median over rounds of each tool's wall
# time divided by zipextract's in the same round, zipextract on one thread,
# and the system calls per entry of zipextract on tiny10000 (strace -c).
#
#   VELMAR_BENCH_ROUNDS=N (5)   VELMAR_BENCH_BUILD_DIR (build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VELMAR_BENCH_BUILD_DIR:-$root/build-bench}
rounds=${VELMAR_BENCH_ROUNDS:-5}
large=${VELMAR_BENCH_LARGE:-1}
places=${VELMAR_BENCH_PLACES:-tmpfs disk}
work="$build/bench-zip"
mkdir -p "$work"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMAR_WITH_QT=OFF \
  -DVELMAR_BUILD_TESTS=OFF > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j2 --target zipextract zipfloor > "$work/build.log" ||
  { cat "$work/build.log"; exit 1; }

# make ARCHIVE COMMAND...: runs the command (which writes ARCHIVE.part) once.
make_archive() {
  local archive=$1
  shift
  [ -f "$archive" ] && return 0
  echo "making $(basename "$archive")..."
  "$@"
  mv "$archive.part" "$archive"
}
zip_folder() { # SCRIPT ARCHIVE
  rm -rf "$work/src"
  python3 "$1" "$work/src"
  (cd "$work/src" && zip -q -6 -r "$2.part" .)
  rm -rf "$work/src"
}
make_archive "$work/corpus.zip" zip_folder "$root/bench/zip/corpus.py" "$work/corpus.zip"
make_archive "$work/corpus2.zip" zip_folder "$root/bench/zip/corpus2.py" "$work/corpus2.zip"
for count in 10000 300000; do
  make_archive "$work/tiny$count.zip" python3 "$root/bench/zip/tiny.py" "$work/tiny$count.zip.part" "$count"
done
archives=(corpus corpus2)
if [ "$large" = 1 ]; then
  make_archive "$work/zeros.zip" python3 "$root/bench/zip/large.py" zeros "$work/zeros.zip.part"
  make_archive "$work/semi.zip" python3 "$root/bench/zip/large.py" semirandom "$work/semi.zip.part"
  archives+=(zeros semi)
fi

zipextract="$build/bin/zipextract"
results="$work/results.txt"
: > "$results"
# shellcheck source=bench/diskplace.sh
. "$root/bench/diskplace.sh"
scratch=()
trap 'rm -rf "${scratch[@]}"; disk_place_release' EXIT

# measure PLACE ARCHIVE ROUND NAME COMMAND...: one timed run into a fresh
# folder, removed right after; "{}" is the archive, "@" the folder.
measure() {
  local place=$1 archive=$2 round=$3 name=$4
  shift 4
  local out="${outs[$place]}/out"
  rm -rf "$out"
  mkdir -p "$out"
  local args=() a
  for a in "$@"; do
    a=${a//\{\}/$work/$archive.zip}
    args+=("${a//@/$out}")
  done
  sync
  /usr/bin/time -o "$work/time.txt" -f "%e %U %S %M" "${args[@]}" > /dev/null 2>&1 ||
    { echo "$name failed: ${args[*]}" >&2; exit 1; }
  echo "$place $archive $round $name $(cat "$work/time.txt")" >> "$results"
  rm -rf "$out"
  sync
}

declare -A outs
outs[tmpfs]=/dev/shm/velmar-bench-$$
case " $places " in *" disk "*) disk_place "$work" ;; esac
outs[disk]=${bench_disk:-$work}/out-$$
scratch+=("${outs[tmpfs]}" "${outs[disk]}")

contenders=(zipextract zipextract-j1 bsdtar unzip 7z python)
command_of() {
  case $1 in
    zipextract) echo "$zipextract {} @" ;;
    zipextract-j1) echo "$zipextract -j 1 {} @" ;;
    bsdtar) echo "bsdtar -xf {} -C @" ;;
    unzip) echo "unzip -o -q {} -d @" ;;
    7z) echo "7z x -y -o@ {}" ;;
    python) echo "python3 -m zipfile -e {} @" ;;
  esac
}

for place in $places; do
  for archive in "${archives[@]}"; do
    for round in $(seq "$rounds"); do
      echo "$place $archive: round $round of $rounds..."
      n=${#contenders[@]}
      for k in $(seq 0 $((n - 1))); do
        at=$(((k + round) % n))
        [ $((round % 2)) = 1 ] || at=$(((n - 1 - k + round) % n))
        name=${contenders[$at]}
        # shellcheck disable=SC2046
        measure "$place" "$archive" "$round" "$name" $(command_of "$name")
      done
    done
  done
  for count in 10000 300000; do
    for round in $(seq "$rounds"); do
      measure "$place" "tiny$count" "$round" zipextract-j1 "$zipextract" -j 1 {} @
    done
  done
done

# System calls per entry: one thread on tiny10000, into tmpfs.
mkdir -p "${outs[tmpfs]}/strace"
strace -f -c -o "$work/strace.txt" "$zipextract" -j 1 "$work/tiny10000.zip" "${outs[tmpfs]}/strace" \
  > /dev/null
rm -rf "${outs[tmpfs]}/strace"
calls=$(awk '$NF == "total" { print $(NF-2) }' "$work/strace.txt")

python3 - "$results" "$calls" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    place, archive, round_, name, wall, user, system, rss = line.split()
    rows.setdefault((place, archive), {}).setdefault(name, {})[int(round_)] = (
        float(wall), float(user), float(system), int(rss))
peers = ["bsdtar", "unzip", "7z", "python"]
for (place, archive), tools in rows.items():
    if archive.startswith("tiny"):
        continue
    ours = tools["zipextract"]
    print(f"\n{archive} on {place}, medians of {len(ours)} rounds")
    print(f"{'tool':14} {'wall s':>7} {'user s':>7} {'sys s':>7} {'RSS MiB':>8} {'wall / zipextract':>18}")
    for name in ["zipextract", "zipextract-j1"] + peers:
        runs = tools[name]
        med = [statistics.median(r[i] for r in runs.values()) for i in range(4)]
        ratio = statistics.median(runs[k][0] / ours[k][0] for k in runs if ours[k][0] > 0)
        print(f"{name:14} {med[0]:7.2f} {med[1]:7.2f} {med[2]:7.2f} {med[3] / 1024:8.1f} {ratio:18.2f}")
    per_round = [ours[k][0] / min(tools[p][k][0] for p in peers) for k in ours]
    print("zipextract / fastest peer, per round: " +
          " ".join(f"{r:.2f}" for r in per_round) + f"; median {statistics.median(per_round):.2f}")
for place in sorted({p for p, _ in rows}):
    per = {}
    for count in (10000, 300000):
        runs = rows.get((place, f"tiny{count}"), {}).get("zipextract-j1", {})
        if runs:
            per[count] = statistics.median(r[0] for r in runs.values()) / count * 1e6
    if len(per) == 2:
        print(f"\ntiny entries on {place} (one thread): {per[10000]:.1f} us/entry at 10,000, "
              f"{per[300000]:.1f} us/entry at 300,000 ({per[300000] / per[10000]:.2f}x)")
calls = int(sys.argv[2])
print(f"\nsystem calls of zipextract -j 1 on tiny10000: {calls}, {calls / 10000:.2f} per entry")
PY
