#!/usr/bin/env bash
# Builds the fuzz harnesses (clang, libFuzzer, ASan + UBSan) in build-fuzz and
# runs each one for a bounded time on a working copy of its seed corpus.
#
#   fuzz/run_fuzz.sh [--seconds N] [--campaign] [--coverage] [harness...]
#
#   --seconds N   run each harness N seconds (default 60)
#   --campaign    keep going after findings (each one is still saved), and
#                 drop inputs that walk the store's clock past its bound
#                 instead of stopping at them; leaks are not checked per input
#   --coverage    afterwards, replay each working corpus in a coverage build
#                 (build-fuzz-cov) and print the line coverage of the tool
#
# Inputs are bounded (-max_len), every input has a time limit (-timeout) and
# the process a memory limit (-rss_limit_mb), so a hang or a blow-up is
# reported, not waited on. Findings are written to build-fuzz/findings/ and
# fail the run (exit 1) unless --campaign was given. The working corpora stay
# in build-fuzz/corpus/ and grow from run to run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
campaign=0
coverage=0
harnesses=()
while (($#)); do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --campaign) campaign=1; shift ;;
    --coverage) coverage=1; shift ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) harnesses+=("$1"); shift ;;
  esac
done
((${#harnesses[@]})) || harnesses=(fuzz_graph_definitions fuzz_raw_samples)

for tool in clang clang++; do
  command -v "$tool" >/dev/null || { echo "run_fuzz.sh: $tool not found (packages clang, libclang-rt-14-dev)" >&2; exit 1; }
done

build=build-fuzz
configure() {  # dir, extra flags
  local dir="$1"; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVZU_FUZZ=ON -DVZU_BUILD_TESTS=OFF \
    -DVZU_BUILD_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "$@" >/dev/null
  cmake --build "$dir" -j"${JOBS:-2}" --target "${harnesses[@]}" >/dev/null
}
configure "$build"

max_len() {
  case "$1" in
    fuzz_graph_definitions) echo 8192 ;;
    *) echo 20000 ;;
  esac
}

status=0
for h in "${harnesses[@]}"; do
  corpus="$build/corpus/$h"
  findings="$build/findings/$h"
  mkdir -p "$corpus" "$findings"
  cp -n fuzz/corpus/"$h"/* "$corpus"/ 2>/dev/null || true
  args=(-max_total_time="$seconds" -max_len="$(max_len "$h")" -timeout=5 -rss_limit_mb=2048
        -report_slow_units=1 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$findings/")
  [[ -f fuzz/$h.dict ]] && args+=(-dict="fuzz/$h.dict")
  env=()
  if ((campaign)); then
    args+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 -detect_leaks=0)
    env=(VZU_FUZZ_TOLERATE_CLOCK=1 LSAN_OPTIONS=suppressions=$PWD/fuzz/tolerate_clock.supp)
  fi
  log="$build/$h.log"
  marker="$build/$h.started"
  touch "$marker"
  echo "== $h: ${seconds}s"
  rc=0
  env "${env[@]}" "$build/bin/$h" "${args[@]}" "$corpus" >"$log" 2>&1 || rc=$?
  grep -E '^#[0-9]+ +(DONE|pulse)|^Done|stat::number_of_executed_units|stat::average_exec_per_sec' \
    "$log" | tail -3 || true
  found=$(find "$findings" -type f -newer "$marker" | wc -l)
  if ((rc != 0)) || ((found)); then
    grep -E 'ERROR: |SUMMARY: |store double:' "$log" | head -5 || true
    echo "   findings in $findings (log $log)"
    ((campaign)) || status=1
  fi
done

if ((coverage)); then
  cov=build-fuzz-cov
  configure "$cov" -DCMAKE_C_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
    -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping"
  for h in "${harnesses[@]}"; do
    rm -f "$cov/$h".*.profraw
    LLVM_PROFILE_FILE="$cov/$h.%p.profraw" VZU_FUZZ_TOLERATE_CLOCK=1 \
      LSAN_OPTIONS=suppressions=$PWD/fuzz/tolerate_clock.supp \
      "$cov/bin/$h" -runs=0 -close_fd_mask=3 -detect_leaks=0 "$build/corpus/$h" >/dev/null 2>&1 || true
    llvm-profdata merge -sparse "$cov/$h".*.profraw -o "$cov/$h.profdata"
    echo "== line coverage of the tool's sources by $h's corpus"
    llvm-cov report "$cov/bin/$h" -instr-profile="$cov/$h.profdata" \
      tools/vira_zedazad_uvoz_izu/*.cpp | sed 's|.*tools/vira_zedazad_uvoz_izu/||'
  done
fi
exit "$status"
