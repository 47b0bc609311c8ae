#!/usr/bin/env bash
# push_vs_import.sh - getting a migrated run into a local VictoriaMetrics:
# `orvtsdb push` (remote write) against the text path (`orvtsdb export
# --format openmetrics` piped into the import at /api/v1/import/prometheus,
# so both run at once and no file of gigabytes is written), with the
# engine's own native import (its export of the same data, imported into a
# fresh engine) as the ceiling.
#
# Each path starts with an empty engine on a free port and ends when the
# engine has flushed (/internal/force_flush), so every figure covers the
# whole way from the store to searchable data. Runs REPEAT rounds
# interleaved and prints the medians of wall time and of CPU time (the
# sending side's user + system from /usr/bin/time plus the engine's from
# /proc; steadier than wall time on a loaded machine), samples per second
# and the ratios.
#
# usage: bench/push_vs_import.sh          (REPEAT=3 PRESET=medium by default)
# needs: victoria-metrics, curl, python3, /usr/bin/time.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
REPEAT=${REPEAT:-3}
PRESET=${PRESET:-medium}
TESTRUN=1
command -v victoria-metrics >/dev/null ||
  { echo "push_vs_import.sh: victoria-metrics is not installed" >&2; exit 1; }
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "push_vs_import.sh: $TIME is missing (apt-get install time)" >&2; exit 1; }
TICK=$(getconf CLK_TCK)

WORK=$(mktemp -d /tmp/vzu_push_bench.XXXXXX)
VM_PID=
stop_vm() {
  if [ -n "$VM_PID" ]; then kill "$VM_PID" 2>/dev/null || true; wait "$VM_PID" 2>/dev/null || true; fi
  VM_PID=
}
trap 'stop_vm; rm -rf "$WORK"' EXIT
RUN="$WORK/logs/TR$TESTRUN"

echo "== building in $BUILD"
. "$ROOT/bench/build_kit.sh"
bench_build "$ROOT" "$BUILD" make_sample_run vira_zedazad_uvoz_izu orvtsdb orvtsdb_cli
BIN="$BUILD/bin"

echo "== generating and migrating the $PRESET sample run"
"$BIN/make_sample_run" --wdir "$WORK" --testrun $TESTRUN --preset "$PRESET" >/dev/null
TW_WDIR="$WORK" "$BIN/vira_zedazad_uvoz_izu" -t $TESTRUN >"$WORK/migrate.log" 2>&1
SAMPLES=$("$BIN/orvtsdb" sql "$RUN" "SELECT count(*) FROM samples WHERE value IS NOT NULL" | tail -1)
echo "store: $(du -k "$RUN/tsdb/metrics.sqlite" | cut -f1) KB, $SAMPLES samples"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_vm: an empty engine; sets URL.
start_vm() {
  local port dir
  port=$(free_port)
  dir="$WORK/vm.$port"
  victoria-metrics -httpListenAddr=127.0.0.1:$port -storageDataPath="$dir" \
    -retentionPeriod=100y -dedup.minScrapeInterval=1ms >"$dir.log" 2>&1 &
  VM_PID=$!
  URL=http://127.0.0.1:$port
  for _ in $(seq 300); do curl -sf "$URL/health" >/dev/null && return; sleep 0.1; done
  echo "victoria-metrics did not start:"; tail -5 "$dir.log"; exit 1
}

now() { date +%s.%N; }
# CPU seconds the engine used so far (user + system).
engine_cpu() { awk -v t="$TICK" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$VM_PID/stat"; }
# timed NAME FUNCTION: appends "wall cpu" of FUNCTION plus the engine's flush
# to $WORK/NAME.
timed() {
  local name=$1 t0 e0
  t0=$(now)
  e0=$(engine_cpu)
  "$TIME" -f "%U %S" -o "$WORK/time.txt" bash -c "$(declare -f "$2"); $2"
  curl -sf "$URL/internal/force_flush" >/dev/null
  echo "$(now) $t0 $(engine_cpu) $e0 $(cat "$WORK/time.txt")" |
    awk '{ printf "%.3f %.2f\n", $1 - $2, $3 - $4 + $5 + $6 }' >>"$WORK/$name"
}

push() { "$BIN/orvtsdb" push "$RUN" --url "$URL/api/v1/write" >"$WORK/push.out"; }
# curl -T streams the body instead of reading it into memory first.
export_import() {
  "$BIN/orvtsdb" export "$RUN" --format openmetrics |
    curl -sf -X POST -T - "$URL/api/v1/import/prometheus"
}
native_import() { curl -sf -X POST -T "$WORK/run.native" "$URL/api/v1/import/native"; }

export BIN RUN WORK
for i in $(seq "$REPEAT"); do
  echo "== round $i of $REPEAT"
  start_vm
  export URL
  timed push push
  tail -1 "$WORK/push.out"
  # The engine's own format of the same data, for the ceiling below.
  [ -f "$WORK/run.native" ] ||
    curl -sf "$URL/api/v1/export/native" -d 'match[]={__name__!=""}' -d start=0 >"$WORK/run.native"
  stop_vm
  start_vm
  export URL
  timed export_import export_import
  stop_vm
  start_vm
  export URL
  timed native native_import
  stop_vm
done

median() { sort -n -k"$2" "$WORK/$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'; }
rate() { awk -v n="$SAMPLES" -v s="$1" 'BEGIN { printf "%.0f", n / s }'; }
echo
echo "== medians of $REPEAT rounds, $SAMPLES samples ($PRESET preset)"
printf "%-36s %9s %12s %9s %12s\n" "" "wall s" "samples/s" "CPU s" "samples/CPU s"
row() {
  local w c
  w=$(median "$2" 1)
  c=$(median "$2" 2)
  printf "%-36s %9s %12s %9s %12s\n" "$1" "$w" "$(rate "$w")" "$c" "$(rate "$c")"
}
row "orvtsdb push (remote write)" push
row "export openmetrics | import" export_import
row "engine's native import (ceiling)" native
awk -v a="$(median export_import 1)" -v b="$(median push 1)" -v c="$(median native 1)" \
    -v ac="$(median export_import 2)" -v bc="$(median push 2)" -v cc="$(median native 2)" 'BEGIN {
  printf "push against export | import: %.1fx in wall time, %.1fx in CPU time\n", a / b, ac / bc
  printf "push against the native import: %.2fx in wall time, %.2fx in CPU time\n", c / b, cc / bc }'
