#!/usr/bin/env bash
# bench/zip/run.sh: zipextract against unzip, bsdtar, 7z and Python's zipfile
# on one deterministic ~170 MB corpus (zip -6), five alternating rounds, each
# extraction into a fresh folder; then the zlib floor and the time per entry at
# 10,000 and 65,000 tiny entries (65,535 is the most an archive without
# ZIP64 holds). Builds into build-bench/ (or $VELMAR_BENCH_BUILD_DIR); corpus
# and results stay there. The extractions go to $VELMAR_BENCH_OUT (default:
# the build's bench-zip/out) and are all removed only at the end: on a disk
# mounted with discard, removing 170 MB costs the next run dearly.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VELMAR_BENCH_BUILD_DIR:-$root/build-bench}
rounds=${VELMAR_BENCH_ROUNDS:-5}
work="$build/bench-zip"
mkdir -p "$work"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMAR_WITH_QT=OFF \
  -DVELMAR_BUILD_TESTS=OFF > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j2 --target zipextract zipfloor > "$work/build.log" ||
  { cat "$work/build.log"; exit 1; }

if [ ! -f "$work/corpus.zip" ]; then
  echo "making the corpus..."
  rm -rf "$work/corpus"
  python3 "$root/bench/zip/corpus.py" "$work/corpus"
  (cd "$work/corpus" && zip -q -6 -r "$work/corpus.zip.part" . && mv "$work/corpus.zip.part" "$work/corpus.zip")
  rm -rf "$work/corpus"
fi
for count in 10000 65000; do
  [ -f "$work/tiny$count.zip" ] || python3 "$root/bench/zip/tiny.py" "$work/tiny$count.zip" "$count"
done

zipextract="$build/bin/zipextract"
zipfloor="$build/bin/zipfloor"
results="$work/results.txt"
: > "$results"
outs=${VELMAR_BENCH_OUT:-$work/out}/velmar-bench-$$
trap 'rm -rf "$outs"' EXIT
run=0

# measure NAME ARCHIVE COMMAND...: one timed run into a fresh folder; the
# command's "{}" stands for the archive, "@" for the folder.
measure() {
  local name=$1 archive=$2
  shift 2
  run=$((run + 1))
  local out="$outs/$run-$name"
  mkdir -p "$out"
  sync
  local args=() a
  for a in "$@"; do
    a=${a//\{\}/$archive}
    args+=("${a//@/$out}")
  done
  /usr/bin/time -o "$work/time.txt" -f "%e %U %S %M" "${args[@]}" > /dev/null 2>&1 ||
    { echo "$name failed: ${args[*]}" >&2; exit 1; }
  echo "$name $(cat "$work/time.txt")" >> "$results"
}

corpus="$work/corpus.zip"
for round in $(seq "$rounds"); do
  echo "round $round of $rounds..."
  measure zipextract "$corpus" "$zipextract" {} @
  measure unzip "$corpus" unzip -o -q {} -d @
  measure bsdtar "$corpus" bsdtar -xf {} -C @
  measure 7z "$corpus" 7z x -y -o@ {}
  measure python-zipfile "$corpus" python3 -m zipfile -e {} @
  measure zlib-floor "$corpus" "$zipfloor" {}
done
for count in 10000 65000; do
  for round in $(seq "$rounds"); do
    measure "tiny$count" "$work/tiny$count.zip" "$zipextract" {} @
  done
done
python3 - "$results" "$(stat -c %s "$corpus")" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    name, wall, user, system, rss = line.split()
    rows.setdefault(name, []).append((float(wall), float(user), float(system), int(rss)))
med = {name: [statistics.median(r[i] for r in runs) for i in range(4)] for name, runs in rows.items()}
print(f"\ncorpus.zip: {int(sys.argv[2]) / 1e6:.0f} MB, {len(rows['zipextract'])} rounds, medians")
print(f"{'tool':16} {'wall s':>7} {'user s':>7} {'sys s':>7} {'RSS MiB':>8}   {'wall':>6} {'user':>6} {'sys':>6} {'RSS':>6}  (x zipextract)")
ours = med["zipextract"]
for name in ["zipextract", "unzip", "bsdtar", "7z", "python-zipfile", "zlib-floor"]:
    w, u, s, r = med[name]
    ratios = "   ".join(f"{v / o:6.2f}" if o else "     -" for v, o in zip((w, u, s, r), ours))
    print(f"{name:16} {w:7.2f} {u:7.2f} {s:7.2f} {r / 1024:8.1f}   {ratios}")
per = {n: med[f"tiny{n}"][0] / n * 1e6 for n in (10000, 65000)}
print(f"\ntiny entries: {per[10000]:.1f} us/entry at 10,000, {per[65000]:.1f} us/entry at 65,000")
fastest = min(med[n][0] for n in ["unzip", "bsdtar", "7z", "python-zipfile"])
checks = [
    ("wall <= 0.9 x fastest peer", ours[0], 0.9 * fastest),
    ("user <= 1.2 x zlib floor", ours[1], 1.2 * med["zlib-floor"][1]),
    ("peak RSS <= 16 MiB", ours[3] / 1024, 16.0),
    ("per entry at 65,000 <= 1.2 x at 10,000", per[65000], 1.2 * per[10000]),
]
print()
for label, value, limit in checks:
    print(f"{'met   ' if value <= limit else 'MISSED'} {label}: {value:.3f} against {limit:.3f}")
PY
