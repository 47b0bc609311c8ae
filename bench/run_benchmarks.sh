#!/usr/bin/env bash
# run_benchmarks.sh - the project's benchmarks in one command.
#
# Builds what it needs in build-bench (RelWithDebInfo, as users build),
# generates one sample run (preset medium unless PRESET says otherwise), then
# runs the compared programs interleaved REPEAT times - floor, migration with
# the no-op store, migration into the embedded store - so that the noise of a
# shared machine hits all of them alike, and prints the medians and ratios.
# The normalized-ID table and the plain-SQLite-rows figures come from their
# own Google Benchmark programs (bench_norm_id, bench_store).
#
# usage: bench/run_benchmarks.sh          (REPEAT=5 PRESET=medium by default)
# needs: /usr/bin/time (Debian package "time") for wall, CPU and peak memory.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
REPEAT=${REPEAT:-5}
PRESET=${PRESET:-medium}
TESTRUN=1
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "run_benchmarks.sh: $TIME is missing (apt-get install time)" >&2; exit 1; }

WORK=$(mktemp -d /tmp/vzu_bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
RUN="$WORK/logs/TR$TESTRUN"

echo "== building in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$WORK/cmake.log" 2>&1 ||
  { cat "$WORK/cmake.log"; exit 1; }
cmake --build "$BUILD" -j2 --target make_sample_run floor_read vira_zedazad_uvoz_izu orvtsdb \
  orvtsdb_cli orvtsdb_noop bench_norm_id bench_store >"$WORK/build.log" 2>&1 ||
  { tail -40 "$WORK/build.log"; exit 1; }
BIN="$BUILD/bin"

echo "== generating the $PRESET sample run"
"$BIN/make_sample_run" --wdir "$WORK" --testrun $TESTRUN --preset "$PRESET" | tee "$WORK/gen.txt"
PARTITIONS=$(ls "$RUN")
LARGEST=$(grep -o 'largest [0-9]* bytes' "$WORK/gen.txt" | grep -o '[0-9]*')
cp "$RUN/summary.top" "$WORK/summary.top.orig"

# Puts the run back as generated: no store, no partition folders of earlier
# migrations, the original summary.top.
reset_run() {
  rm -rf "$RUN/tsdb" "$RUN/.pidfiles" "$RUN/debug_zevi_zazozoz.log"
  for d in "$RUN"/*/; do
    d=$(basename "$d")
    grep -qx "$d" <<<"$PARTITIONS" || rm -rf "${RUN:?}/$d"
  done
  cp "$WORK/summary.top.orig" "$RUN/summary.top"
}

# measure NAME CMD...: appends "wall cpu maxrss_kb" of one run to $WORK/NAME.
measure() {
  local name=$1
  shift
  "$TIME" -f "%e %U %S %M" -o "$WORK/time.txt" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" ||
    { echo "$name failed:"; tail -5 "$WORK/$name.err"; exit 1; }
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$WORK/time.txt" >>"$WORK/$name"
}

# The tool as a user runs it: the store found through its RUNPATH.
TOOL=(env -u LD_LIBRARY_PATH -u ORVTSDB_RUN_DIR -u ORVTSDB_URL TW_WDIR="$WORK")

echo "== $REPEAT interleaved rounds: floor, no-op store, embedded store"
for i in $(seq "$REPEAT"); do
  measure floor "$BIN/floor_read" "$WORK" $TESTRUN "$PRESET"
  reset_run
  measure noop "${TOOL[@]}" LD_LIBRARY_PATH="$BUILD/doubles/noop" "$BIN/vira_zedazad_uvoz_izu" -t $TESTRUN
  reset_run
  measure store "${TOOL[@]}" "$BIN/vira_zedazad_uvoz_izu" -t $TESTRUN
  echo "   round $i done"
done
VALUES=$("$BIN/orvtsdb" sql "$RUN" "SELECT value_count FROM migrations" | tail -1)

echo "== bench_norm_id, bench_store"
"$BIN/bench_norm_id" --benchmark_color=false >"$WORK/norm_id.txt" 2>&1
"$BIN/bench_store" --benchmark_color=false >"$WORK/store.txt" 2>&1

# median FILE COLUMN
median() { awk -v c="$2" '{ print $c }' "$1" | sort -g | awk '{ v[NR] = $1 } END {
  print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.1f M/s", n / s / 1e6 }'; }

FW=$(median "$WORK/floor" 1) FC=$(median "$WORK/floor" 2)
NW=$(median "$WORK/noop" 1) NC=$(median "$WORK/noop" 2) NM=$(median "$WORK/noop" 3)
SW=$(median "$WORK/store" 1) SC=$(median "$WORK/store" 2) SM=$(median "$WORK/store" 3)

echo
echo "Machine: $(nproc) x $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/ { print $2 }') GiB, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Run: preset $PRESET, $VALUES values stored, largest rtgMessage.dat $LARGEST bytes; medians of $REPEAT rounds"
echo
printf "%-44s %10s %10s  %s\n" "benchmark" "wall s" "cpu s" "ratio / figure (goal)"
printf "%-44s %10s %10s  %s\n" "1 floor: read + widen every element" "$FW" "$FC" "1.00"
printf "%-44s %10s %10s  %s\n" "2 migration, no-op store" "$NW" "$NC" \
  "$(ratio "$NW" "$FW")x floor wall, $(ratio "$NC" "$FC")x cpu (<= 2)"
printf "%-44s %10s %10s  %s\n" "3 migration, embedded store" "$SW" "$SC" \
  "$(rate "$VALUES" "$SW") wall, $(rate "$VALUES" "$SC") cpu (>= 15 M/s)"
printf "%-44s %10s %10s  %s\n" "  plain SQLite rows (bench_store)" "" "" \
  "$(grep 'plain SQLite rows, load' "$WORK/store.txt" | awk '{ print $(NF-3), $(NF-2), "wall,", $(NF-1), $NF, "cpu" }')"
printf "%-44s %10s %10s  %s\n" "  embedded store ingest (bench_store)" "" "" \
  "$(grep 'ingest through the nine' "$WORK/store.txt" | awk '{ print $6, $7, "wall,", $8, $9, "cpu" }')"
printf "%-44s %10s %10s  %s\n" "4 normalized-ID table / unordered_map" "" "" \
  "$(grep -o 'ratio lookup norm/unordered = [0-9.]*' "$WORK/norm_id.txt" | awk '{ print $NF }') lookup, $(grep -o 'ratio insert norm/unordered = [0-9.]*' "$WORK/norm_id.txt" | awk '{ print $NF }') insert (<= 1.0)"
printf "%-44s %10s %10s  %s\n" "5 peak memory, embedded store (max RSS)" "" "" \
  "$((SM / 1024)) MiB vs largest rtgMessage.dat $((LARGEST / 1048576)) MiB: +$(((SM * 1024 - LARGEST) / 1048576)) MiB"
printf "%-44s %10s %10s  %s\n" "  peak memory, no-op store (max RSS)" "" "" \
  "$((NM / 1024)) MiB: +$(((NM * 1024 - LARGEST) / 1048576)) MiB"
