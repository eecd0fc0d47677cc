#!/usr/bin/env bash
# bench/update/run.sh: the updater's steps (the package copied into the
# update's own folder, every entry staged, put in place, logged and reported
# to a progress bar over the blocking connection) against zipextract, on
# one thread as the updater reads (-j 1) and on its default threads, on two
# packages:
#   source  a source-like release (bench/update/sourcetree.py: about 5,000
#           files in 380 folders, 46 MB), installed over the release before
#           it, as every real update lands;
#   corpus  bench/zip's corpus (about 4,000 entries, 170 MB, two of them
#           40 and 60 MB) into an empty folder.
# Beside them the floor: the same transaction without the entries' log
# lines and their hand-over to the window (updatebench --floor), so that
# what those cost is measured, not guessed.
# On tmpfs (/dev/shm) and on disk (see bench/diskplace.sh), or
# VELMAR_BENCH_PLACES; VELMAR_BENCH_PACKAGES picks the packages. Each of
# VELMAR_BENCH_ROUNDS rounds (7) runs every contender, in an order rotated
# by one from the round before and reversed every other round; each run
# writes into a fresh folder (the installed release laid in first, untimed)
# that is removed right after its timing. Prints per package and place the
# machine's load (one-minute average, taken before each run), the medians
# and the spread (fastest to slowest) of wall, user and system time, the
# medians of the rounds' ratios, and, from one strace -c -f run of each
# contender per package, the system calls per entry by call. Builds into
# build-bench-update/.
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
syscalls=$work/syscalls.txt
: > "$results"
: > "$syscalls"
# shellcheck source=bench/diskplace.sh
. "$root/bench/diskplace.sh"
declare -A outs
bench_places update "$work"

contenders=(zipextract-j1 zipextract update-steps floor)
command_of() { # NAME: its command line; "@" stands for the run's folder
  case $1 in
    zipextract-j1) echo "$build/bin/zipextract -j 1 @/Users/Public/Documents/velmar/update.zip @/app" ;;
    zipextract) echo "$build/bin/zipextract @/Users/Public/Documents/velmar/update.zip @/app" ;;
    update-steps) echo "$build/bin/updatebench @" ;;
    floor) echo "$build/bin/updatebench --floor @" ;;
  esac
}
# Untimed: the package where the updater finds it (every contender reads
# that copy), and the release before, as the installation holds it, when
# the package is the next one.
lay_out() { # PACKAGE ARCHIVE FOLDER
  mkdir -p "$3/app" "$3/Users/Public/Documents/velmar"
  cp "$2" "$3/Users/Public/Documents/velmar/update.zip"
  [ "$1" = source ] && cp -a "$work/source-1/." "$3/app/"
  sync
}
run=0
measure() { # PACKAGE ARCHIVE PLACE ROUND NAME
  local package=$1 archive=$2 place=$3 round=$4 name=$5
  run=$((run + 1))
  local out="${outs[$place]}/$run" command load
  lay_out "$package" "$archive" "$out"
  command=$(command_of "$name")
  read -r load _ < /proc/loadavg
  # Wall time from bash's own clock (microseconds, no process of its own):
  # time(1) gives it in hundredths, a twentieth of zipextract's run.
  local began=$EPOCHREALTIME
  # shellcheck disable=SC2086 # the command's words
  /usr/bin/time -o "$work/time.txt" -f "%U %S %M" ${command//@/$out} > /dev/null 2>&1 ||
    { echo "$name failed: ${command//@/$out}" >&2; exit 1; }
  local ended=$EPOCHREALTIME
  echo "$package $place $round $name $(python3 -c "print(f'{$ended - $began:.6f}')") \
$(cat "$work/time.txt") $load" >> "$results"
  # Gone before the next timing: kept outputs would make later runs pay for
  # fresh memory (tmpfs) or for the disk's discards.
  rm -rf "$out"
  sync
}
for package in $packages; do
  archive=$corpus
  [ "$package" = source ] && archive=$work/source.zip
  for place in $places; do
    echo "$package, $place: $(uptime)"
    for round in $(seq "$rounds"); do
      echo "$package, $place: round $round of $rounds..."
      # Each contender in each place of the order: whatever the one before
      # leaves behind (the disk's work, the caches) falls on all alike.
      n=${#contenders[@]}
      for k in $(seq 0 $((n - 1))); do
        at=$(((k + round) % n))
        [ $((round % 2)) = 1 ] || at=$(((n - 1 - k + round) % n))
        measure "$package" "$archive" "$place" "$round" "${contenders[$at]}"
      done
    done
  done
  # System calls: one run of each contender, on tmpfs, every thread counted.
  entries=$(python3 -c "import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).infolist()))" \
    "$archive")
  for name in "${contenders[@]}"; do
    out="${outs[tmpfs]}/strace"
    lay_out "$package" "$archive" "$out"
    command=$(command_of "$name")
    # shellcheck disable=SC2086 # the command's words
    strace -f -c -o "$work/strace.txt" ${command//@/$out} > /dev/null 2>&1
    rm -rf "$out"
    awk -v p="$package" -v n="$name" -v e="$entries" \
      '$1 ~ /^[0-9.]+$/ && $NF != "total" { print p, n, e, $NF, $4 }' \
      "$work/strace.txt" >> "$syscalls"
  done
done
python3 - "$results" "$syscalls" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    package, place, round_, name, wall, user, system, rss, load = line.split()
    rows.setdefault((package, place), {}).setdefault(name, {})[round_] = (
        float(wall), float(user), float(system), int(rss), float(load))
names = ("zipextract-j1", "zipextract", "update-steps", "floor")
for (package, place), tools in rows.items():
    loads = [run[4] for runs in tools.values() for run in runs.values()]
    print(f"\n{package} on {place}: medians of {len(tools['zipextract-j1'])} rounds, "
          f"fastest-slowest in brackets; load {statistics.median(loads):.1f} "
          f"[{min(loads):.1f}-{max(loads):.1f}]")
    print(f"{'':13} {'wall s':>20} {'user s':>7} {'sys s':>7} {'RSS MiB':>8}")
    for name in names:
        runs = list(tools[name].values())
        walls = [r[0] for r in runs]
        wall, user, system, rss = (statistics.median(r[i] for r in runs) for i in range(4))
        print(f"{name:13} {wall:6.3f} [{min(walls):.3f}-{max(walls):.3f}] {user:7.2f} "
              f"{system:7.2f} {rss / 1024:8.1f}")
    for a, b in (("update-steps", "zipextract-j1"), ("update-steps", "zipextract"),
                 ("floor", "zipextract-j1"), ("update-steps", "floor")):
        ratios = [tools[a][r][0] / tools[b][r][0] for r in tools[a]]
        ratio = statistics.median(ratios)
        verdict = "" if (package, a, b) != ("source", "update-steps", "zipextract-j1") else (
            f" (target at most 1.5: {'met' if ratio <= 1.5 else 'MISSED'})")
        print(f"{a + ' / ' + b:29} {ratio:5.2f} [{min(ratios):.2f}-{max(ratios):.2f}]{verdict}")
calls = {}
for line in open(sys.argv[2]):
    package, name, entries, call, count = line.split()
    calls.setdefault(package, {}).setdefault(name, {})[call] = int(count) / int(entries)
for package, tools in calls.items():
    print(f"\nsystem calls per entry, {package} (strace -c -f, every thread)")
    order = sorted({c for t in tools.values() for c in t}, key=lambda c: -tools["update-steps"].get(c, 0))
    shown = [c for c in order if max(t.get(c, 0) for t in tools.values()) >= 0.05]
    print(f"{'':13} {'total':>6} " + " ".join(f"{c[:10]:>10}" for c in shown))
    for name in names:
        t = tools[name]
        print(f"{name:13} {sum(t.values()):6.1f} " + " ".join(f"{t.get(c, 0):10.2f}" for c in shown))
    total = sum(tools["update-steps"].values())
    print(f"update-steps: {total:.1f} per entry (target at most 12: "
          f"{'met' if total <= 12 else 'MISSED'})")
PY
