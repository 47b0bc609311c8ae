#!/usr/bin/env bash
# compare_calibration.sh - whether `orvtsdb compare` says what is true, on
# generated runs whose truth is known: pairs of runs of one system (one
# --seed) that differ by autocorrelated noise alone (other --noise-seed),
# the same pairs with every transaction made slower (x1.02, x1.05, x1.10,
# x1.30), and pairs whose transactions slow down late in the run.
#
# For every preset and window (the whole run, and --until 20m) it prints:
#   - coverage: the share of 95 % intervals that hold the true change (0, or
#     factor - 1 for a slowed response time), per data type;
#   - false alarms: the share of noise-only metrics called changed, and of
#     noise-only pairs on which --fail-on-regression fires;
#   - detection: the share of slowed response times called slower, per factor,
#     and of slowed pairs the gate fails;
#   - onset: how far the "since" of a late slowdown is from its true start,
#     in percent of the run's length.
#
# Each run is generated and migrated once and reused across windows and
# pairs (a baseline serves the noise-only pair and every slowed pair). Runs
# are kept in WORK between calls, so a second call only compares.
#
# usage: bench/compare_calibration.sh
#   PAIRS=20 PRESETS="small medium" GRID_PAIRS=$PAIRS LATE_PAIRS=5
#   FACTORS="1.02 1.05 1.10 1.30" WORK=/tmp/compare_calibration BUILD_DIR=build
#   JOBS=1 (runs generated at once)
# needs: python3.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${BUILD_DIR:-$ROOT/build}/bin
PAIRS=${PAIRS:-20}
GRID_PAIRS=${GRID_PAIRS:-$PAIRS}
LATE_PAIRS=${LATE_PAIRS:-5}
PRESETS=${PRESETS:-small medium}
FACTORS=${FACTORS-1.02 1.05 1.10 1.30}
WORK=${WORK:-/tmp/compare_calibration}
TXNS="Login Browse AddToCart Checkout"  # in every preset
mkdir -p "$WORK"

# run PRESET NAME NOISE [generator options...]: the run folder, made once.
run() {
  local preset=$1 name=$2 noise=$3
  shift 3
  local dir=$WORK/$preset/$name
  if [ ! -f "$dir/done" ]; then
    rm -rf "$dir"
    "$BIN/make_sample_run" --wdir "$dir" --testrun 1 --preset "$preset" --seed 1 \
      --noise-seed "$noise" "$@" >/dev/null || { echo "make_sample_run $dir failed" >&2; exit 1; }
    TW_WDIR="$dir" "$BIN/vira_zedazad_uvoz_izu" -t 1 >/dev/null 2>&1 ||
      { echo "migration of $dir failed" >&2; exit 1; }
    # Only the store is read from here on.
    find "$dir/logs/TR1" -mindepth 1 -maxdepth 1 ! -name tsdb -exec rm -rf {} +
    touch "$dir/done"
  fi
  echo "$dir/logs/TR1"
}
set -o errtrace
shopt -s inherit_errexit

slowdowns() {  # FACTOR[@SECONDS] -> --slowdown options for every transaction
  local out=""
  for t in $TXNS; do out="$out --slowdown $t=$1"; done
  echo "${out# }"  # no trailing blank: xargs -L would join the next line
}

# compare PRESET KIND FACTOR ONSET PAIR BASE CAND: one JSON per window.
compare() {
  local out=$WORK/$1/json
  mkdir -p "$out"
  for window in whole 20m; do
    local f=$out/$2-$3-$5-$window.json
    [ -s "$f" ] && continue
    local args=()
    [ "$window" = 20m ] && args=(--until 20m)
    local status=0
    "$BIN/orvtsdb" compare "$6" "$7" --format json --all "${args[@]}" >"$f.tmp" || status=$?
    [ "$status" = 0 ] || { echo "compare $6 $7 failed ($status)" >&2; exit 1; }
    python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); d["calibration"]={"preset":sys.argv[2],"kind":sys.argv[3],"factor":float(sys.argv[4]),"onset":float(sys.argv[5]),"window":sys.argv[6]}; json.dump(d,open(sys.argv[1],"w"))' \
      "$f.tmp" "$1" "$2" "$3" "$4" "$window"
    mv "$f.tmp" "$f"
  done
}

# The runs first, JOBS at a time: "PRESET NAME NOISE [options]" lines.
runs_of() {
  local preset=$1
  for i in $(seq 1 "$PAIRS"); do
    echo "$preset base$i $((100 + i))"
    echo "$preset null$i $((200 + i))"
  done
  for factor in $FACTORS; do
    for i in $(seq 1 "$GRID_PAIRS"); do echo "$preset slow$factor-$i $((200 + i)) $(slowdowns "$factor")"; done
  done
}
if [ "${1:-}" = --make ]; then
  shift
  run "$@" >/dev/null
  exit
fi
for preset in $PRESETS; do
  echo "== $preset: generating" >&2
  runs_of "$preset" | xargs -P "${JOBS:-1}" -L 1 "$0" --make
  echo "== $preset: comparing" >&2
  for i in $(seq 1 "$PAIRS"); do
    base=$(run "$preset" "base$i" $((100 + i)))
    compare "$preset" noise 1 0 "$i" "$base" "$(run "$preset" "null$i" $((200 + i)))"
  done
  for factor in $FACTORS; do
    for i in $(seq 1 "$GRID_PAIRS"); do
      base=$(run "$preset" "base$i" $((100 + i)))
      # shellcheck disable=SC2046
      cand=$(run "$preset" "slow$factor-$i" $((200 + i)) $(slowdowns "$factor"))
      compare "$preset" slowed "$factor" 0 "$i" "$base" "$cand"
    done
  done
  # The late slowdown starts at 60 % of the run.
  length=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["baseline"]["last_sample_s"] + 1)' \
    "$WORK/$preset/json/noise-1-1-whole.json")
  onset=$((length * 6 / 10))
  for i in $(seq 1 "$LATE_PAIRS"); do
    base=$(run "$preset" "base$i" $((100 + i)))
    # shellcheck disable=SC2046
    cand=$(run "$preset" "late-$i" $((200 + i)) $(slowdowns "1.5@$onset"))
    compare "$preset" late 1.5 "$onset" "$i" "$base" "$cand"
  done
done

python3 "$ROOT/bench/compare_calibration.py" "${TXNS// /,}" "$WORK"/*/json/*.json
