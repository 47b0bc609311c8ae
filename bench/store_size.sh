#!/usr/bin/env bash
# store_size.sh - what a value costs in the store, chunk blobs of format 2
# against this tree's, and how fast each is written and read.
#
# For the small, medium and wide presets and wide with --full-doubles 0.35 it
# migrates one generated run twice: with the code of OLD_COMMIT (the last one
# writing format 2 blobs; built from `git archive` in build-bench-v2, kept for
# the next time) and with this tree (build-bench). It prints per run the bytes
# a value of the whole store file and of the chunk blobs alone, what packing
# each chunk column at its best exponent and predictor would take
# (bench/value_floor.cpp), a Gorilla XOR encoding of the same samples
# (bench/store_bytes.cpp), and Prometheus blocks
# made by `promtool tsdb create-blocks-from openmetrics` from the export when
# promtool is on PATH and the run holds at most PROMTOOL_MAX_VALUES values
# (default 1,000,000: the OpenMetrics text of the medium preset alone is
# 7.5 GB), and VictoriaMetrics' data and index of the same values when
# victoria-metrics is on PATH (the OpenMetrics export streamed into an empty
# engine's import, flushed and merged; `this/VM` is the store file against
# it); then the migration's values per wall and per CPU second, the CSV
# export's values per CPU second and the peak RSS, medians of REPEAT
# interleaved runs, this tree over format 2.
#
# usage: bench/store_size.sh [OLD_COMMIT]     (REPEAT=3, RUNS="small medium wide wide35")
#        OLD_BIN=DIR bench/store_size.sh     binaries of the old code already built
# needs: /usr/bin/time (Debian package "time"); curl and python3 for the
# VictoriaMetrics column.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
OLD_BUILD=$ROOT/build-bench-v2
REPEAT=${REPEAT:-3}
RUNS=(${RUNS:-small medium wide wide35})
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "store_size.sh: $TIME is missing (apt-get install time)" >&2; exit 1; }
# The commit before the one that gave chunk blobs their own format number.
OLD=${1:-$(git -C "$ROOT" log -1 --format=%H -S CHUNK_BLOB_FORMAT -- liborvtsdb/src/store_format.h)^}
OLD=$(git -C "$ROOT" rev-parse "$OLD")

WORK=$(mktemp -d /tmp/vzu_store_size.XXXXXX)
VM_PID=
stop_vm() {
  if [ -n "$VM_PID" ]; then kill "$VM_PID" 2>/dev/null || true; wait "$VM_PID" 2>/dev/null || true; fi
  VM_PID=
}
trap 'stop_vm; rm -rf "$WORK"' EXIT

. "$ROOT/bench/build_kit.sh"

echo "== building this tree in $BUILD and $OLD in $OLD_BUILD"
bench_build "$ROOT" "$BUILD" make_sample_run vira_zedazad_uvoz_izu orvtsdb orvtsdb_cli store_bytes \
  value_floor
if [ -z "${OLD_BIN:-}" ]; then
  bench_build_commit "$ROOT" "$OLD" "$OLD_BUILD" vira_zedazad_uvoz_izu orvtsdb orvtsdb_cli
  OLD_BIN=$OLD_BUILD/build/bin
fi
declare -A BIN=([2]="$OLD_BIN" [3]="$BUILD/bin")

gen_args() {
  case "$1" in
    wide35) echo "--preset wide --full-doubles 0.35" ;;
    *) echo "--preset $1" ;;
  esac
}

# migrate RUN FORMAT: a fresh copy of the run, migrated; prints "cpu_seconds peak_kib
# wall_seconds" (CPU time, user + system: on a shared machine the steadier figure).
migrate() {
  local dir="$WORK/$1.$2"
  rm -rf "$dir"
  cp -r "$WORK/$1" "$dir"
  env -u LD_LIBRARY_PATH -u ORVTSDB_RUN_DIR -u ORVTSDB_URL TW_WDIR="$dir" \
    "$TIME" -f "%U %S %M %e" -o "$WORK/time" "${BIN[$2]}/vira_zedazad_uvoz_izu" -t 1 >/dev/null 2>&1
  awk '{print $1 + $2, $3, $4}' "$WORK/time"
}

# export_time RUN FORMAT: CPU seconds of a CSV export of the whole store.
export_time() {
  "$TIME" -f "%U %S" -o "$WORK/time" "${BIN[$2]}/orvtsdb" export \
    "$WORK/$1.$2/logs/TR1/tsdb/metrics.sqlite" --format csv >/dev/null
  awk '{print $1 + $2}' "$WORK/time"
}

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# vm_bytes STORE: sets VM_SIZE to the bytes of VictoriaMetrics' data and
# index once the store's values are imported into an empty engine (the
# OpenMetrics export streamed into its text import), flushed and merged; "-"
# when the engine is not installed or does not start. (Not in a subshell:
# the trap must see the engine's pid.)
vm_bytes() {
  VM_SIZE=-
  command -v victoria-metrics >/dev/null && command -v curl >/dev/null || return 0
  local port dir url size last
  port=$(free_port)
  dir="$WORK/vm.$port"
  victoria-metrics -httpListenAddr=127.0.0.1:$port -storageDataPath="$dir" -retentionPeriod=100y \
    >"$dir.log" 2>&1 &
  VM_PID=$!
  url=http://127.0.0.1:$port
  for _ in $(seq 300); do curl -sf "$url/health" >/dev/null && break; sleep 0.1; done
  if ! curl -sf "$url/health" >/dev/null; then
    stop_vm
    return 0
  fi
  "${BIN[3]}/orvtsdb" export "$1" --format openmetrics |
    curl -sf -X POST -T - "$url/api/v1/import/prometheus"
  curl -sf "$url/internal/force_flush" >/dev/null
  curl -sf "$url/internal/force_merge" >/dev/null
  # Merges finish in the background: wait until the size holds for 5 s (at most 10 minutes).
  last=-1
  for _ in $(seq 120); do
    size=$(du -sb "$dir/data" "$dir/indexdb" | awk '{s += $1} END {print s}')
    [ "$size" = "$last" ] && break
    last=$size
    sleep 5
  done
  stop_vm
  rm -rf "$dir"
  VM_SIZE=$size
}

printf '\n%-7s %9s | %-21s | %-21s | %-9s | %-9s | %8s | %-21s\n' run values "format 2 file/chunks" \
  "this tree file/chunks" "floor" gorilla promtool "VictoriaMetrics, this/VM"
for r in "${RUNS[@]}"; do
  mkdir -p "$WORK/$r"
  # shellcheck disable=SC2046
  "${BIN[3]}/make_sample_run" --wdir "$WORK/$r" --testrun 1 $(gen_args "$r") >/dev/null
  for i in $(seq "$REPEAT"); do
    for f in 2 3; do
      migrate "$r" "$f" >>"$WORK/$r.mig$f"
      export_time "$r" "$f" >>"$WORK/$r.exp$f"
    done
  done
  for f in 2 3; do
    "${BIN[3]}/store_bytes" "$WORK/$r.$f/logs/TR1/tsdb/metrics.sqlite" >"$WORK/$r.bytes$f"
  done
  read -r values file2 chunk2 gorilla chunks2 <"$WORK/$r.bytes2"
  read -r _ file3 chunk3 _ chunks3 <"$WORK/$r.bytes3"
  read -r _ _ floor <<<"$("${BIN[3]}/value_floor" "$WORK/$r.3/logs/TR1/tsdb/metrics.sqlite")"
  prom=-
  if command -v promtool >/dev/null && ((values <= ${PROMTOOL_MAX_VALUES:-1000000})); then
    "${BIN[3]}/orvtsdb" export "$WORK/$r.3/logs/TR1/tsdb/metrics.sqlite" --format openmetrics \
      >"$WORK/$r.om"
    promtool tsdb create-blocks-from openmetrics "$WORK/$r.om" "$WORK/$r.blocks" >/dev/null 2>&1 &&
      prom=$(awk -v b="$(du -sb "$WORK/$r.blocks" | cut -f1)" -v v="$values" 'BEGIN {printf "%.2f", b / v}')
    rm -rf "$WORK/$r.om" "$WORK/$r.blocks"
  fi
  vm_bytes "$WORK/$r.3/logs/TR1/tsdb/metrics.sqlite"
  awk -v r="$r" -v v="$values" -v f2="$file2" -v c2="$chunk2" -v f3="$file3" -v c3="$chunk3" \
    -v fl="$floor" -v g="$gorilla" -v p="$prom" -v n2="$chunks2" -v n3="$chunks3" -v vm="$VM_SIZE" 'BEGIN {
      vmt = vm == "-" ? "-" : sprintf("%5.2f B/v, x%.2f", vm / v, f3 / vm)
      printf "%-7s %9d | %5.2f / %5.2f B/value | %5.2f / %5.2f B/value | %5.2f B/v | %5.2f B/v | %8s | %-21s  (chunks %d -> %d)\n",
        r, v, f2 / v, c2 / v, f3 / v, c3 / v, fl / v, g / v, p, vmt, n2, n3 }'
  rm -rf "$WORK/$r.2" "$WORK/$r.3" "$WORK/$r"
  echo "$r $values" >>"$WORK/values"
done

printf '\n%-7s | %-30s | %-30s | %-30s | %s\n' run "migration M values/wall s" \
  "migration M values/CPU s" "CSV export M values/CPU s" "peak RSS MiB"
while read -r r values; do
  m2=$(cut -d' ' -f1 "$WORK/$r.mig2" | median)
  m3=$(cut -d' ' -f1 "$WORK/$r.mig3" | median)
  k2=$(cut -d' ' -f2 "$WORK/$r.mig2" | median)
  k3=$(cut -d' ' -f2 "$WORK/$r.mig3" | median)
  w2=$(cut -d' ' -f3 "$WORK/$r.mig2" | median)
  w3=$(cut -d' ' -f3 "$WORK/$r.mig3" | median)
  e2=$(median <"$WORK/$r.exp2")
  e3=$(median <"$WORK/$r.exp3")
  awk -v r="$r" -v v="$values" -v m2="$m2" -v m3="$m3" -v w2="$w2" -v w3="$w3" -v e2="$e2" \
    -v e3="$e3" -v k2="$k2" -v k3="$k3" 'BEGIN {
    printf "%-7s | %6.1f -> %6.1f  (x%.2f)      | %6.1f -> %6.1f  (x%.2f)      | %6.1f -> %6.1f  (x%.2f)      | %d -> %d\n",
      r, v / w2 / 1e6, v / w3 / 1e6, w2 / w3, v / m2 / 1e6, v / m3 / 1e6, m2 / m3,
      v / e2 / 1e6, v / e3 / 1e6, e2 / e3, k2 / 1024, k3 / 1024 }'
done <"$WORK/values"
