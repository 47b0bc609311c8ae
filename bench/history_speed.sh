#!/usr/bin/env bash
# history_speed.sh - `orvtsdb history` over many runs of one system, each in
# its own run folder of one work folder (logs/TR<n>/tsdb/metrics.sqlite),
# reading the summaries the migrations kept, against its baseline in the same
# script: the same history over copies of the first SAMPLE stores without
# their summary table, which summarises every run from its samples (that
# time scaled to RUNS runs). Prints wall time and peak memory of both.
#
# usage: bench/history_speed.sh WORK      (RUNS=100 SEEDS=5 SAMPLE=5 PRESET=medium JOBS=2 REPEAT=3)
#   WORK keeps the generated runs and stores between calls (a medium store is
#   some 56 MB; RUNS of them are made once). SEEDS distinct runs are generated,
#   each migrated RUNS / SEEDS times as runs of their own (each copy given a
#   run id of its own).
# needs: /usr/bin/time, python3; builds nothing: BUILD_DIR (default build).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${BUILD_DIR:-$ROOT/build}/bin
WORK=${1:?usage: bench/history_speed.sh WORK}
RUNS=${RUNS:-100} SEEDS=${SEEDS:-5} SAMPLE=${SAMPLE:-5} PRESET=${PRESET:-medium} JOBS=${JOBS:-2}
mkdir -p "$WORK/gen" "$WORK/team/logs" "$WORK/plain/logs"

for s in $(seq "$SEEDS"); do
  [ -e "$WORK/gen/$s.done" ] && continue
  rm -rf "$WORK/gen/$s"
  "$BIN/make_sample_run" --wdir "$WORK/gen/$s" --testrun 1 --preset "$PRESET" --seed 1 \
    --noise-seed "$s" --start $((1760000000 + s * 86400)) >/dev/null
  touch "$WORK/gen/$s.done"
done

# Run n: a copy of generated run ((n - 1) % SEEDS + 1), its files linked, not copied.
migrate() {
  local n=$1 s=$(( ($1 - 1) % SEEDS + 1 )) dir="$WORK/team/logs/TR$1"
  [ -e "$dir/tsdb/metrics.sqlite" ] && [ -e "$dir/.done" ] && return 0
  rm -rf "$dir" && cp -al "$WORK/gen/$s/logs/TR1" "$dir"
  # A run is known by its content: each copy is given an id of its own.
  mkdir -p "$dir/tsdb" && printf '%032x\n' "$1" >"$dir/tsdb/run.id"
  TW_WDIR="$WORK/team" ORVTSDB_RUN_LABELS="build=1.$n" "$BIN/vira_zedazad_uvoz_izu" -t "$n" \
    >/dev/null 2>&1
  touch "$dir/.done"
}
export -f migrate && export WORK SEEDS BIN
seq "$RUNS" | xargs -P "$JOBS" -I{} bash -c 'migrate {}'

# The baseline: SAMPLE stores as a store written before summaries holds them.
for n in $(seq "$SAMPLE"); do
  mkdir -p "$WORK/plain/logs/TR$n/tsdb"
  cp "$WORK/team/logs/TR$n/tsdb/metrics.sqlite" "$WORK/plain/logs/TR$n/tsdb/"
  python3 -c "import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); \
c.execute('DROP TABLE IF EXISTS run_summaries'); c.commit()" \
    "$WORK/plain/logs/TR$n/tsdb/metrics.sqlite"
done

# One timed command: "seconds kilobytes"; REPEAT rounds interleaved, medians.
timed() { /usr/bin/time -f "%e %M" -o "$WORK/t" "$@" >/dev/null 2>&1; cat "$WORK/t"; }
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
: >"$WORK/kept" && : >"$WORK/plain.t"
for _ in $(seq "${REPEAT:-3}"); do
  timed "$BIN/orvtsdb" history "$WORK/team" --format json >>"$WORK/kept"
  timed "$BIN/orvtsdb" history "$WORK/plain" --format json >>"$WORK/plain.t"
done
ks=$(cut -d' ' -f1 "$WORK/kept" | median) km=$(cut -d' ' -f2 "$WORK/kept" | median)
ps=$(cut -d' ' -f1 "$WORK/plain.t" | median) pm=$(cut -d' ' -f2 "$WORK/plain.t" | median)
awk -v r="$RUNS" -v n="$SAMPLE" -v p="$PRESET" -v ks="$ks" -v km="$km" -v ps="$ps" -v pm="$pm" \
  'BEGIN {
  printf "history of %d %s runs, kept summaries    %7.2f s  %6.1f MiB\n", r, p, ks, km / 1024
  printf "history of %d %s runs, from samples      %7.2f s  %6.1f MiB\n", n, p, ps, pm / 1024
  printf "  scaled to %d runs                         %7.2f s\n", r, ps * r / n
  printf "ratio kept / from samples (per run)        %7.4f\n", (ks / r) / (ps / n) }'
