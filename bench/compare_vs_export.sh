#!/usr/bin/env bash
# compare_vs_export.sh - `orvtsdb compare` of two medium runs of one system
# (noise seeds 1 and 2) against its floor in the same script: a CSV export of
# one of them. Compare reads both runs, one in each of two threads; the
# export reads one. REPEAT rounds interleaved, outputs to /dev/null; prints
# the medians of wall time, CPU time (user + system) and peak memory, and
# the ratios compare / export.
#
# usage: bench/compare_vs_export.sh     (REPEAT=5 PRESET=medium by default)
# needs: /usr/bin/time, awk; builds nothing: BUILD_DIR (default build).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${BUILD_DIR:-$ROOT/build}/bin
REPEAT=${REPEAT:-5}
PRESET=${PRESET:-medium}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

for n in 1 2; do
  "$BIN/make_sample_run" --wdir "$WORK/r$n" --testrun 1 --preset "$PRESET" --noise-seed "$n" >/dev/null
  TW_WDIR="$WORK/r$n" "$BIN/vira_zedazad_uvoz_izu" -t 1 >/dev/null 2>&1
done
A=$WORK/r1/logs/TR1 B=$WORK/r2/logs/TR1

# One timed command: "wall_seconds cpu_seconds kilobytes".
timed() {
  /usr/bin/time -f "%e %U %S %M" -o "$WORK/t" "$@" >/dev/null 2>&1
  awk '{print $1, $2 + $3, $4}' "$WORK/t"
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

: >"$WORK/compare" && : >"$WORK/export"
for _ in $(seq "$REPEAT"); do
  timed "$BIN/orvtsdb" compare "$A" "$B" >>"$WORK/compare"
  timed "$BIN/orvtsdb" export "$A" --format csv >>"$WORK/export"
done
col() { cut -d' ' -f"$2" "$WORK/$1" | median; }
awk -v p="$PRESET" -v cw="$(col compare 1)" -v cc="$(col compare 2)" -v ck="$(col compare 3)" \
  -v ew="$(col export 1)" -v ec="$(col export 2)" -v ek="$(col export 3)" 'BEGIN {
  printf "%-32s %8s %8s %10s\n", "", "wall s", "CPU s", "peak MiB"
  printf "%-32s %8.2f %8.2f %10.1f\n", "compare of two " p " runs", cw, cc, ck / 1024
  printf "%-32s %8.2f %8.2f %10.1f\n", "CSV export of one (floor)", ew, ec, ek / 1024
  printf "%-32s %8.2f %8.2f\n", "ratio compare / export", cw / ew, cc / ec }'
