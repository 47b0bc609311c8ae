#!/usr/bin/env bash
# read_speed.sh - how fast the readers of a store are: values per CPU second
# of every export format, of `sql` over the samples table (every row printed
# as CSV, and only summed: `select sum(value)`) and of `compare`,
# this tree against BASE_COMMIT, on the medium and wide presets.
#
# It builds this tree in build-bench and BASE_COMMIT (default: the merge-base
# with main) from `git archive` in build-bench-read-base (kept for the next
# time), generates each preset twice (noise seeds 1 and 2, so that compare
# has two runs of one system), migrates each once with this tree, checks
# that both builds write the same bytes for every reader (CHECK=0 skips
# it), and then runs every reader of both builds interleaved, REPEAT
# rounds, with /usr/bin/time. It prints per preset and reader the medians
# of CPU time (user + system) and wall time and the values per CPU second of
# both builds, and their ratio. Outputs go to /dev/null, except compare's
# text report (small).
#
# Values: export's and sql's are the values of the run with noise seed 1 (as
# export counts them, and a row of `select * from samples` is one); compare's
# are those of both runs, which it reads whole.
#
# usage: bench/read_speed.sh [BASE_COMMIT]   (REPEAT=3 PRESETS="medium wide" CHECK=1)
#        BASE_BIN=DIR bench/read_speed.sh     the base build's bin/ already built
# needs: /usr/bin/time (Debian package "time"), sha256sum, awk.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
BASE_BUILD=$ROOT/build-bench-read-base
REPEAT=${REPEAT:-3}
PRESETS=(${PRESETS:-medium wide})
CHECK=${CHECK:-1}
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "read_speed.sh: $TIME is missing (apt-get install time)" >&2; exit 1; }
BASE=${1:-$(git -C "$ROOT" merge-base HEAD main)}
BASE=$(git -C "$ROOT" rev-parse "$BASE")

WORK=$(mktemp -d /tmp/vzu_read_speed.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

. "$ROOT/bench/build_kit.sh"

echo "== building this tree in $BUILD and $BASE in $BASE_BUILD"
bench_build "$ROOT" "$BUILD" make_sample_run vira_zedazad_uvoz_izu orvtsdb orvtsdb_cli
if [ -z "${BASE_BIN:-}" ]; then
  bench_build_commit "$ROOT" "$BASE" "$BASE_BUILD" orvtsdb orvtsdb_cli
  BASE_BIN=$BASE_BUILD/build/bin
fi
declare -A CMD=([base]="$BASE_BIN/orvtsdb" [tree]="$BUILD/bin/orvtsdb")
READERS=(csv json jsonl openmetrics sql sql-sum compare)

echo "== generating and migrating ${PRESETS[*]}"
for p in "${PRESETS[@]}"; do
  for n in 1 2; do
    "$BUILD/bin/make_sample_run" --wdir "$WORK/$p$n" --testrun 1 --preset "$p" --noise-seed "$n" \
      >/dev/null
    env -u LD_LIBRARY_PATH -u ORVTSDB_RUN_DIR -u ORVTSDB_URL TW_WDIR="$WORK/$p$n" \
      "$BUILD/bin/vira_zedazad_uvoz_izu" -t 1 >/dev/null 2>&1
  done
  values=$("${CMD[tree]}" export "$WORK/${p}1/logs/TR1" --format csv 2>&1 >/dev/null |
    sed -n 's/.*samples (\([0-9]*\) values).*/\1/p')
  values2=$("${CMD[tree]}" export "$WORK/${p}2/logs/TR1" --format csv 2>&1 >/dev/null |
    sed -n 's/.*samples (\([0-9]*\) values).*/\1/p')
  echo "$values" >"$WORK/$p.values"
  echo "$((values + values2))" >"$WORK/$p.compare_values"
done

# command_of BUILD PRESET READER: the reader's command line, in ARGS.
command_of() {
  local bin=${CMD[$1]} a=$WORK/${2}1/logs/TR1 b=$WORK/${2}2/logs/TR1
  case $3 in
    sql) ARGS=("$bin" sql "$a" "select * from samples" --format csv) ;;
    sql-sum) ARGS=("$bin" sql "$a" "select sum(value) from samples" --format csv) ;;
    compare) ARGS=("$bin" compare "$a" "$b") ;;
    *) ARGS=("$bin" export "$a" --format "$3") ;;
  esac
}

if [ "$CHECK" = 1 ]; then
  echo "== the same bytes from both builds (sha256 of standard output and the exit status)"
  for p in "${PRESETS[@]}"; do
    for r in "${READERS[@]}"; do
      for b in base tree; do
        command_of "$b" "$p" "$r"
        set +e
        sum=$("${ARGS[@]}" 2>/dev/null | sha256sum)
        status=${PIPESTATUS[0]}
        set -e
        echo "$sum $status" >"$WORK/$p.$r.$b.sum"
      done
      if cmp -s "$WORK/$p.$r.base.sum" "$WORK/$p.$r.tree.sum"; then same=same; else same=DIFFERENT; fi
      printf '%-7s %-12s %s\n' "$p" "$r" "$same"
    done
  done
fi

echo "== timing, $REPEAT interleaved rounds"
for i in $(seq "$REPEAT"); do
  for p in "${PRESETS[@]}"; do
    for r in "${READERS[@]}"; do
      for b in base tree; do
        command_of "$b" "$p" "$r"
        "$TIME" -f "%U %S %e" -o "$WORK/time" "${ARGS[@]}" >/dev/null 2>&1 || true
        tail -1 "$WORK/time" | awk '{print $1 + $2, $3}' >>"$WORK/$p.$r.$b.t"
      done
    done
  done
done

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

printf '\n%-7s %-12s | %-24s | %-24s | %s\n' preset reader "base CPU s / wall s" \
  "this tree CPU s / wall s" "M values per CPU second: base -> this tree"
for p in "${PRESETS[@]}"; do
  for r in "${READERS[@]}"; do
    v=$(cat "$WORK/$p.values")
    [ "$r" = compare ] && v=$(cat "$WORK/$p.compare_values")
    bc=$(cut -d' ' -f1 "$WORK/$p.$r.base.t" | median) bw=$(cut -d' ' -f2 "$WORK/$p.$r.base.t" | median)
    tc=$(cut -d' ' -f1 "$WORK/$p.$r.tree.t" | median) tw=$(cut -d' ' -f2 "$WORK/$p.$r.tree.t" | median)
    awk -v p="$p" -v r="$r" -v v="$v" -v bc="$bc" -v bw="$bw" -v tc="$tc" -v tw="$tw" 'BEGIN {
      printf "%-7s %-12s | %8.2f / %8.2f      | %8.2f / %8.2f      | %6.2f -> %6.2f  (x%.2f)\n",
        p, r, bc, bw, tc, tw, v / bc / 1e6, v / tc / 1e6, bc / tc }'
  done
done
echo "(values: export and sql read $(for p in "${PRESETS[@]}"; do printf '%s %s, ' "$p" "$(cat "$WORK/$p.values")"; done)compare both runs)"
