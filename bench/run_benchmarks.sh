#!/usr/bin/env bash
# run_benchmarks.sh - the project's benchmarks in one command.
#
# Builds what it needs in build-bench (RelWithDebInfo, as users build) and
# generates the sample runs: the medium and wide presets, and two variants of
# wide with 10 and 160 groups holding the same number of values (wide has 40).
# It then runs the compared programs interleaved REPEAT times - per preset the
# floor, the migration with the no-op store and the migration into the
# embedded store, and the no-op migration of the two group variants - so that
# the noise of a shared machine hits all of them alike, and prints medians and
# ratios. The normalized-ID table and the plain-SQLite-rows figures come from
# their own Google Benchmark programs (bench_norm_id, bench_store).
#
# usage: bench/run_benchmarks.sh          (REPEAT=5 by default)
# needs: /usr/bin/time (Debian package "time") for the peak memory.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
REPEAT=${REPEAT:-5}
TESTRUN=1
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "run_benchmarks.sh: $TIME is missing (apt-get install time)" >&2; exit 1; }

WORK=$(mktemp -d /tmp/vzu_bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

echo "== building in $BUILD"
. "$ROOT/bench/build_kit.sh"
bench_build "$ROOT" "$BUILD" make_sample_run floor_read vira_zedazad_uvoz_izu orvtsdb orvtsdb_cli \
  orvtsdb_noop bench_norm_id bench_store
BIN="$BUILD/bin"

# The runs: name, preset, and for the group variants the group, vector and
# packet counts that keep wide's number of values (20.4 million) and series.
RUNS=(medium wide g10 g160)
declare -A PRESET=([medium]=medium [wide]=wide [g10]=wide [g160]=wide)
declare -A SHAPE=([medium]="" [wide]="" [g10]="10 108 222" [g160]="160 6 176")

# gen_args NAME: the make_sample_run options of a run.
gen_args() {
  local shape=(${SHAPE[$1]})
  echo "--preset ${PRESET[$1]}"
  [ ${#shape[@]} -eq 3 ] && echo "--groups ${shape[0]} --vectors ${shape[1]} --packets ${shape[2]}"
  return 0
}

for r in "${RUNS[@]}"; do
  echo "== generating $r: make_sample_run $(gen_args "$r" | tr '\n' ' ')"
  mkdir -p "$WORK/$r"
  # shellcheck disable=SC2046
  "$BIN/make_sample_run" --wdir "$WORK/$r" --testrun $TESTRUN $(gen_args "$r") >"$WORK/$r/gen.txt"
  sed -n '4,5p' "$WORK/$r/gen.txt"
  RUN="$WORK/$r/logs/TR$TESTRUN"
  ls "$RUN" >"$WORK/$r/partitions"
  cp "$RUN/summary.top" "$WORK/$r/summary.top.orig"
done

# field NAME WORD: the number after WORD in the generator's report of a run.
field() { grep -o "$2  *[0-9]*" "$WORK/$1/gen.txt" | head -1 | grep -o '[0-9]*$'; }

# Puts a run back as generated: no store, no partition folders of earlier
# migrations, the original summary.top.
reset_run() {
  local run="$WORK/$1/logs/TR$TESTRUN"
  rm -rf "$run/tsdb" "$run/.pidfiles" "$run/debug_zevi_zazozoz.log"
  for d in "$run"/*/; do
    d=$(basename "$d")
    grep -qx "$d" "$WORK/$1/partitions" || rm -rf "${run:?}/$d"
  done
  cp "$WORK/$1/summary.top.orig" "$run/summary.top"
}

# measure FILE CMD...: appends "wall cpu maxrss_kb" of one run to $WORK/FILE.
# Wall and CPU (user + system) come from the shell's `time` in milliseconds
# (/usr/bin/time prints hundredths, too coarse for a 0.05 s floor), the peak
# memory from /usr/bin/time.
measure() {
  local name=$1 TIMEFORMAT="%3R %3U %3S"
  shift
  { time "$TIME" -f "%M" -o "$WORK/rss.txt" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err"; } \
    2>"$WORK/time.txt" || { echo "$name failed:"; tail -5 "$WORK/$name.err"; exit 1; }
  awk -v rss="$(cat "$WORK/rss.txt")" '{ printf "%s %.3f %s\n", $1, $2 + $3, rss }' \
    "$WORK/time.txt" >>"$WORK/$name"
}

# tool_cmd NAME [VAR=VALUE...]: sets CMD to the tool as a user runs it on the
# run NAME (the store found through its RUNPATH), with the extra environment.
tool_cmd() {
  local r=$1
  shift
  CMD=(env -u LD_LIBRARY_PATH -u ORVTSDB_RUN_DIR -u ORVTSDB_URL TW_WDIR="$WORK/$r" "$@"
    "$BIN/vira_zedazad_uvoz_izu" -t $TESTRUN)
}
# measure_noop / measure_store NAME: one migration of the run NAME.
measure_noop() {
  reset_run "$1"
  tool_cmd "$1" LD_LIBRARY_PATH="$BUILD/doubles/noop"
  measure "$1.noop" "${CMD[@]}"
}
measure_store() {
  reset_run "$1"
  tool_cmd "$1"
  measure "$1.store" "${CMD[@]}"
}

echo "== $REPEAT interleaved rounds: floor, no-op store, embedded store per preset; no-op per group count"
for i in $(seq "$REPEAT"); do
  for r in medium wide; do
    measure "$r.floor" "$BIN/floor_read" "$WORK/$r" $TESTRUN "${PRESET[$r]}"
    measure_noop "$r"
    measure_store "$r"
  done
  for r in g10 g160; do measure_noop "$r"; done
  echo "   round $i done"
done

echo "== bench_norm_id, bench_store"
"$BIN/bench_norm_id" --benchmark_repetitions=3 --benchmark_color=false >"$WORK/norm_id.txt" 2>&1
"$BIN/bench_store" --benchmark_color=false >"$WORK/store.txt" 2>&1

# median FILE COLUMN
median() { awk -v c="$2" '{ print $c }' "$WORK/$1" | sort -g | awk '{ v[NR] = $1 } END {
  print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.1f M/s", n / s / 1e6 }'; }
per_value() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.1f ns/value", s / n * 1e9 }'; }
mib() { echo $(($1 / 1048576)); }
norm_ratio() { grep -o "ratio $1 norm/unordered = [0-9.]*" "$WORK/norm_id.txt" | awk '{ print $NF }'; }

echo
echo "Machine: $(nproc) x $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/ { print $2 }') GiB, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Medians of $REPEAT interleaved rounds; wall and CPU (user + system) seconds"
for r in medium wide; do
  RUN="$WORK/$r/logs/TR$TESTRUN"
  values=$("$BIN/orvtsdb" sql "$RUN" "SELECT value_count FROM migrations" | tail -1)
  largest=$(grep -o 'largest [0-9]* bytes' "$WORK/$r/gen.txt" | grep -o '[0-9]*')
  FW=$(median "$r.floor" 1) FC=$(median "$r.floor" 2)
  NW=$(median "$r.noop" 1) NC=$(median "$r.noop" 2) NM=$(median "$r.noop" 3)
  SW=$(median "$r.store" 1) SC=$(median "$r.store" 2) SM=$(median "$r.store" 3)
  echo
  echo "Preset $r, $values values stored:"
  sed -n '3,5p' "$WORK/$r/gen.txt"
  printf "%-46s %8s %8s  %s\n" "benchmark" "wall s" "cpu s" "ratio / figure (goal)"
  printf "%-46s %8s %8s  %s\n" "1 floor: read + widen every element" "$FW" "$FC" "1.00"
  printf "%-46s %8s %8s  %s\n" "2 migration, no-op store" "$NW" "$NC" \
    "$(ratio "$NW" "$FW")x floor wall, $(ratio "$NC" "$FC")x cpu (<= 2)"
  printf "%-46s %8s %8s  %s\n" "3 migration, embedded store" "$SW" "$SC" \
    "$(rate "$values" "$SW") wall, $(rate "$values" "$SC") cpu (>= 20 M/s)"
  printf "%-46s %8s %8s  %s\n" "5 peak memory, embedded store (max RSS)" "" "" \
    "$((SM / 1024)) MiB = largest file $(mib "$largest") MiB + $(((SM * 1024 - largest) / 1048576)) MiB (<= +96)"
  printf "%-46s %8s %8s  %s\n" "  peak memory, no-op store (max RSS)" "" "" \
    "$((NM / 1024)) MiB = largest file + $(((NM * 1024 - largest) / 1048576)) MiB"
done

echo
echo "No-op migration against the number of groups, same values (wide shape):"
printf "%-10s %10s %8s %8s  %s\n" "groups" "values" "wall s" "cpu s" "cpu per value"
for r in g10 wide g160; do
  v=$(field "$r" values)
  printf "%-10s %10s %8s %8s  %s\n" "$(field "$r" groups)" "$v" "$(median "$r.noop" 1)" \
    "$(median "$r.noop" 2)" "$(per_value "$v" "$(median "$r.noop" 2)")"
done

echo
printf "%-46s %s\n" "4 normalized-ID table / unordered_map" \
  "$(norm_ratio lookup) lookup (<= 1.0), $(norm_ratio insert) insert; without the hash pass: $(norm_ratio lookup-without-hash) lookup"
printf "%-46s %s\n" "  500 names in 16384 buckets (in cache)" "$(norm_ratio lookup-few) lookup"
printf "%-46s %s\n" "  plain SQLite rows (bench_store)" \
  "$(grep 'plain SQLite rows, load' "$WORK/store.txt" | awk '{ print $(NF-3), $(NF-2), "wall,", $(NF-1), $NF, "cpu" }')"
printf "%-46s %s\n" "  embedded store ingest (bench_store)" \
  "$(grep 'ingest through the nine' "$WORK/store.txt" | awk '{ print $6, $7, "wall,", $8, $9, "cpu" }')"
