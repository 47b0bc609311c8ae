#!/usr/bin/env bash
# demo.sh BUILD_DIR - the main job in one go, on a built tree: generates the
# small sample run in a scratch work directory, migrates it into the embedded
# store, shows what the store holds, and ends by writing the run's chart
# report (one HTML page) and printing its path. The work directory is kept so
# that its files, its store and the report can be looked at afterwards.
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
BIN="$BUILD/bin"
WDIR=$(mktemp -d /tmp/vzu_demo.XXXXXX)
TR=1
RUN="$WDIR/logs/TR$TR"

echo "== make_sample_run --preset small (work directory $WDIR)"
"$BIN/make_sample_run" --preset small --wdir "$WDIR" --testrun $TR

echo
echo "== TW_WDIR=$WDIR vira_zedazad_uvoz_izu -t $TR"
# The store is found through the tool's RUNPATH; stderr carries the partition
# switch reports ("Vector Deleted ..."), stdout the totals and closing lines.
env -u LD_LIBRARY_PATH -u ORVTSDB_RUN_DIR -u ORVTSDB_URL TW_WDIR="$WDIR" \
  "$BIN/vira_zedazad_uvoz_izu" -t $TR

echo
echo "== orvtsdb info $RUN"
"$BIN/orvtsdb" info "$RUN"

echo
echo "== orvtsdb export $RUN --format csv --group 'Transaction Stats' --graph 'Transaction Time (ms)' (first rows)"
"$BIN/orvtsdb" export "$RUN" --format csv --group "Transaction Stats" \
  --graph "Transaction Time (ms)" | head -9 || true

echo
echo "The run and its store stay in $WDIR (store: $RUN/tsdb/metrics.sqlite)."

echo
echo "== orvtsdb report $RUN -o $WDIR/report.html"
REPORT=$("$BIN/orvtsdb" report "$RUN" -o "$WDIR/report.html")
echo "Report (open it in a browser): $REPORT"
