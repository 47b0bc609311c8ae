#!/usr/bin/env bash
# compare_vs_export.sh - `orvtsdb compare` of two medium runs of one system
# (noise seeds 1 and 2) against its floor in the same script: a CSV export of
# both stores, which reads and decodes the same chunks once each. Both run on
# one core (taskset -c 0); REPEAT rounds interleaved; prints the medians of
# wall time and peak memory and the ratio compare / export.
#
# usage: bench/compare_vs_export.sh     (REPEAT=3 PRESET=medium by default)
# needs: /usr/bin/time, taskset, awk; builds nothing: BUILD_DIR (default build).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${BUILD_DIR:-$ROOT/build}/bin
REPEAT=${REPEAT:-3}
PRESET=${PRESET:-medium}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

for n in 1 2; do
  "$BIN/make_sample_run" --wdir "$WORK/r$n" --testrun 1 --preset "$PRESET" --noise-seed "$n" >/dev/null
  TW_WDIR="$WORK/r$n" "$BIN/vira_zedazad_uvoz_izu" -t 1 >/dev/null 2>&1
done
A=$WORK/r1/logs/TR1 B=$WORK/r2/logs/TR1

# One timed command: "seconds kilobytes".
timed() { /usr/bin/time -f "%e %M" -o "$WORK/t" taskset -c 0 "$@" >/dev/null; cat "$WORK/t"; }
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

: >"$WORK/compare" && : >"$WORK/export"
for _ in $(seq "$REPEAT"); do
  timed "$BIN/orvtsdb" compare "$A" "$B" >>"$WORK/compare"
  timed sh -c "'$BIN/orvtsdb' export '$A' --format csv; '$BIN/orvtsdb' export '$B' --format csv" \
    >>"$WORK/export"
done
cs=$(cut -d' ' -f1 "$WORK/compare" | median) ck=$(cut -d' ' -f2 "$WORK/compare" | median)
es=$(cut -d' ' -f1 "$WORK/export" | median) ek=$(cut -d' ' -f2 "$WORK/export" | median)
awk -v p="$PRESET" -v cs="$cs" -v ck="$ck" -v es="$es" -v ek="$ek" 'BEGIN {
  printf "compare of two %s runs   %6.2f s  %6.1f MiB\n", p, cs, ck / 1024
  printf "export of both (floor)    %6.2f s  %6.1f MiB\n", es, ek / 1024
  printf "ratio compare / export    %6.2f\n", cs / es }'
