#!/usr/bin/env bash
# bench/delta/run.sh: what a delta package saves and what it costs, on
# consecutive releases nobody here made: Debian's packages, each at the two
# newest versions apt knows (a stable or point release and its security
# release: fetched with apt-get download, unpacked with dpkg-deb -x, their
# links left out, as packages carry files only), and two releases of this
# project's own Windows programs (update.exe, reseat.exe, uninstall.exe as
# they ship, at VELMAR_BENCH_DELTA_OLD and _NEW, plus resources/). For each
# pair it prints side by side:
#   - package sizes: the whole new release zipped (zip -r -6, as a publisher
#     makes one), pkgdelta's delta package, and xdelta3 -9 -S djw and bsdiff
#     over the same changed files, summed;
#   - making the delta package: pkgdelta's time (wall and user+sys) and peak
#     memory (RSS), and that memory less what pkgdelta holds making a
#     package of one small changed file (its libraries and smallest states),
#     beside the largest changed file;
#   - applying: the update steps (bench/update's updatebench) with the delta
#     package and with the whole package over an installation of the old
#     release, on tmpfs and on disk (see bench/diskplace.sh; or
#     VELMAR_BENCH_PLACES), medians of VELMAR_BENCH_ROUNDS (5) rounds whose
#     order alternates: wall time and user+sys CPU time (which other work
#     on the machine disturbs less), each as delta / whole per round, and
#     peak memory (RSS: the mapped base counts there), and in one more run
#     each, the peak of the process's private memory (RssAnon, sampled
#     every millisecond).
# The load (uptime) is printed before each pair and at the end.
# VELMAR_BENCH_DELTA_PAIRS names the pairs (default: windows libssl3
# mariadb-server-core libpython3.11-stdlib openjdk-17-jre-headless). Builds
# into build-bench-delta/ (releases and downloads once: they are kept).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VELMAR_BENCH_DELTA_BUILD_DIR:-$root/build-bench-delta}
old_commit=${VELMAR_BENCH_DELTA_OLD:-926be91}
new_commit=${VELMAR_BENCH_DELTA_NEW:-69efba3}
rounds=${VELMAR_BENCH_ROUNDS:-5}
pairs=${VELMAR_BENCH_DELTA_PAIRS:-windows libssl3 mariadb-server-core libpython3.11-stdlib openjdk-17-jre-headless}
work=$build/bench-delta
mkdir -p "$work"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_TESTS=OFF \
  > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j2 --target pkgdelta updatebench > "$work/build.log" ||
  { cat "$work/build.log"; exit 1; }

# windows_release COMMIT FOLDER: the three programs of COMMIT as they ship
# for Windows (built as tools/windows/build-release-windows.sh builds them: the Qt
# configured for size, optimised, unused sections collected, stripped), and
# its resources/. The script of those commits cannot be used: it gave the
# build no libdeflate.
windows_release() {
  local commit=$1 folder=$2 source=$work/source-$1 sections="-ffunction-sections -fdata-sections"
  [ -f "$folder/update.exe" ] && return 0
  echo "building the Windows release of $commit (once)..."
  local qt_prefix libdeflate
  qt_prefix=$("$root/tools/windows/mingw-prefix.sh" --release qt "$work")
  libdeflate=$("$root/tools/windows/mingw-prefix.sh" libdeflate "$work")
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

# debian_release PACKAGE VERSION FOLDER: the files of the package.
debian_release() {
  local package=$1 version=$2 folder=$3 debs=$work/debs
  [ -d "$folder" ] && return 0
  mkdir -p "$debs"
  (cd "$debs" && apt-get download "$package=$version" > /dev/null 2>&1) ||
    { echo "apt-get download $package=$version failed" >&2; exit 1; }
  local deb file
  for file in "$debs/${package}_"*.deb; do
    [ "$(dpkg-deb -f "$file" Version)" = "$version" ] && deb=$file
  done
  mkdir -p "$(dirname "$folder")"
  dpkg-deb -x "$deb" "$folder.tmp"
  find "$folder.tmp" -type l -delete
  mv "$folder.tmp" "$folder"
}

# shellcheck source=bench/diskplace.sh
. "$root/bench/diskplace.sh"
declare -A outs
bench_places delta "$work"
results=$work/results.txt sizes=$work/sizes.txt
: > "$results"
: > "$sizes"

# measured COMMAND...: "wall user+sys peak-RSS-KiB" of COMMAND, its
# standard output dropped; fails with it. The peak is time(1)'s: a process
# started from Python would count Python's own memory in its peak (Linux
# keeps the peak across exec), time(1) is small. Times are in microseconds
# (time(1)'s hundredths are a fifth of a small package's update) and take
# in time(1)'s own, well under a millisecond.
measured() {
  python3 - "$work/peak.txt" "$@" <<'PY'
import os, subprocess, sys, time
peak, command = sys.argv[1], sys.argv[2:]
start = time.perf_counter()
process = subprocess.Popen(["/usr/bin/time", "-o", peak, "-f", "%M"] + command,
                           stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(process.pid, 0)
wall = time.perf_counter() - start
if status:
    sys.exit(f"{command[0]} failed: {status}")
rss = open(peak).read().split()[-1]
print(f"{wall:.6f} {usage.ru_utime + usage.ru_stime:.6f} {rss}")
PY
}

# private PACKAGE MACHINE: the peak of updatebench's private memory in KiB.
private_peak() {
  python3 - "$build/bin/updatebench" "$1" <<'PY'
import subprocess, sys, time
process = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
peak = 0
while process.poll() is None:
    try:
        with open(f"/proc/{process.pid}/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    peak = max(peak, int(line.split()[1]))
    except OSError:
        pass
    time.sleep(0.001)
sys.exit(f"updatebench failed: {process.returncode}") if process.returncode else print(peak)
PY
}

# apply PAIR PLACE NAME PACKAGE OLD NEW [private]: one update of an
# installation of OLD with PACKAGE, checked to give NEW.
apply() {
  local pair=$1 place=$2 name=$3 package=$4 old=$5 new=$6 mode=${7:-}
  local machine=${outs[$place]}/machine
  rm -rf "$machine"
  mkdir -p "$machine/Users/Public/Documents/velmar"
  cp -r "$old" "$machine/app"
  cp "$package" "$machine/Users/Public/Documents/velmar/update.zip"
  sync
  if [ "$mode" = private ]; then
    echo "$pair $place $name-private $(private_peak "$machine")" >> "$results"
  else
    local run
    run=$(measured "$build/bin/updatebench" "$machine" 2> /dev/null) ||
      { echo "$pair: $name failed to apply in $place" >&2; exit 1; }
    echo "$pair $place $name $run" >> "$results"
  fi
  # The journal stays: updatebench leaves out the hand-over to reseat.
  diff -r -x '~velmar-update.*' "$new" "$machine/app" > /dev/null ||
    { echo "$pair: $name did not make the new release in $place" >&2; exit 1; }
  rm -rf "$machine"
  sync
}

# What pkgdelta holds whatever the files: making a package of one file of
# 1,000 bytes with a few changed.
fixed=$work/fixed
rm -rf "$fixed"
mkdir -p "$fixed/old" "$fixed/new"
head -c 1000 /dev/urandom > "$fixed/old/file"
{ head -c 500 "$fixed/old/file"; echo changed; tail -c 500 "$fixed/old/file"; } > "$fixed/new/file"
read -r _ _ fixed_rss < <(measured "$build/bin/pkgdelta" make "$fixed/old" "$fixed/new" \
  "$fixed/p.zip" 2> /dev/null)

for pair in $pairs; do
  echo "load: $(uptime)"
  if [ "$pair" = windows ]; then
    old=$work/release-$old_commit new=$work/release-$new_commit
    windows_release "$old_commit" "$old"
    windows_release "$new_commit" "$new"
  else
    mapfile -t versions < <(apt-cache madison "$pair" | awk '!seen[$3]++ {print $3}' | head -2)
    if [ "${#versions[@]}" -lt 2 ]; then
      echo "$pair: apt knows fewer than two versions (apt-get update?); left out" >&2
      continue
    fi
    old=$work/debian/$pair-${versions[1]} new=$work/debian/$pair-${versions[0]}
    debian_release "$pair" "${versions[1]}" "$old"
    debian_release "$pair" "${versions[0]}" "$new"
  fi
  echo "$pair: $(basename "$old") -> $(basename "$new")"
  whole=$work/$pair-whole.zip delta=$work/$pair-delta.zip
  rm -f "$whole" "$delta"
  (cd "$new" && zip -qr -6 "$whole" .)
  made=$(measured "$build/bin/pkgdelta" make "$old" "$new" "$delta" 2> "$work/$pair-make.log") ||
    { cat "$work/$pair-make.log"; exit 1; }
  xdelta_sum=0 bsdiff_sum=0 largest=0 base_largest=0
  while IFS= read -r -d '' file; do
    name=${file#"$new"/}
    if [ -f "$old/$name" ] && ! cmp -s "$old/$name" "$file"; then
      xdelta3 -9 -S djw -e -f -s "$old/$name" "$file" "$work/patch.xd3"
      bsdiff "$old/$name" "$file" "$work/patch.bsdiff"
      xdelta_sum=$((xdelta_sum + $(stat -c %s "$work/patch.xd3")))
      bsdiff_sum=$((bsdiff_sum + $(stat -c %s "$work/patch.bsdiff")))
      size=$(stat -c %s "$file") base_size=$(stat -c %s "$old/$name")
      [ "$size" -gt "$largest" ] && largest=$size
      [ "$base_size" -gt "$base_largest" ] && base_largest=$base_size
    fi
  done < <(find "$new" -type f -print0 | sort -z)
  echo "$pair $(stat -c %s "$whole") $(stat -c %s "$delta") $xdelta_sum $bsdiff_sum $largest" \
    "$base_largest $made $fixed_rss" >> "$sizes"
  for place in $places; do
    for round in $(seq "$rounds"); do
      echo "  $place: round $round of $rounds..."
      if [ $((round % 2)) = 1 ]; then
        apply "$pair" "$place" whole "$whole" "$old" "$new"
        apply "$pair" "$place" delta "$delta" "$old" "$new"
      else
        apply "$pair" "$place" delta "$delta" "$old" "$new"
        apply "$pair" "$place" whole "$whole" "$old" "$new"
      fi
    done
    apply "$pair" "$place" whole "$whole" "$old" "$new" private
    apply "$pair" "$place" delta "$delta" "$old" "$new" private
  done
done

echo "load: $(uptime)"
python3 - "$sizes" "$results" <<'PY'
import statistics, sys
sizes, results = sys.argv[1:]
mib = lambda kib: kib / 1024
print(f"\n{'pair':22} {'whole':>11} {'delta':>10} {'xdelta3 -9':>11} {'bsdiff':>10}"
      f" {'largest':>11} {'make s':>7} {'cpu s':>6} {'MiB':>6} {'net MiB':>7} {'x largest':>9}")
for line in open(sizes):
    pair, whole, delta, xdelta, bsdiff, largest, base, wall, cpu, rss, fixed = line.split()
    whole, delta, xdelta, bsdiff, largest, rss, fixed = map(
        int, (whole, delta, xdelta, bsdiff, largest, rss, fixed))
    marks = ("" if delta <= xdelta else " >xdelta3") + ("" if delta <= bsdiff else " >bsdiff")
    print(f"{pair:22} {whole:11,} {delta:10,} {xdelta:11,} {bsdiff:10,} {largest:11,}"
          f" {float(wall):7.1f} {float(cpu):6.1f} {mib(rss):6.1f} {mib(rss - fixed):7.1f}"
          f" {(rss - fixed) * 1024 / largest:9.1f}{marks}")
print(f"(net: less {mib(fixed):.1f} MiB, what pkgdelta holds making a package of one small file)")
runs = {}
for line in open(results):
    pair, place, name, *values = line.split()
    runs.setdefault((pair, place), {}).setdefault(name, []).append(list(map(float, values)))
print(f"\n{'applying (medians)':30} {'whole s':>8} {'delta s':>8} {'d / w':>6} {'whole cpu':>9}"
      f" {'delta cpu':>9} {'d / w':>6} {'RSS whole':>9} {'RSS delta':>9} {'private w':>9}"
      f" {'private d':>9}")
for (pair, place), named in runs.items():
    median = lambda name, k: statistics.median(v[k] for v in named[name])
    ratio = lambda k: statistics.median(d[k] / w[k] for w, d in zip(named["whole"], named["delta"]))
    print(f"{pair + ' on ' + place:30} {median('whole', 0):8.3f} {median('delta', 0):8.3f}"
          f" {ratio(0):6.2f} {median('whole', 1):9.3f} {median('delta', 1):9.3f} {ratio(1):6.2f}"
          f" {mib(median('whole', 2)):9.1f} {mib(median('delta', 2)):9.1f}"
          f" {mib(named['whole-private'][0][0]):9.1f} {mib(named['delta-private'][0][0]):9.1f}")
PY
