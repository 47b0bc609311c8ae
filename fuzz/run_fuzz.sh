#!/usr/bin/env bash
# Builds the fuzz harnesses (clang, libFuzzer, ASan + UBSan) in build-fuzz and
# runs each one for a bounded time on a working copy of its seed corpus.
#
#   fuzz/run_fuzz.sh [--seconds N] [--campaign] [--coverage] [harness...]
#
#   --seconds N   run each harness N seconds (default 60)
#   --campaign    keep going after findings (each one is still saved), and
#                 drop inputs that walk the store's clock past its bound
#                 instead of stopping at them
#   --coverage    afterwards, replay the working corpora in a coverage build
#                 (build-fuzz-cov) and print the line coverage of the tool's
#                 readers and decoder
#
# Inputs are bounded (-max_len), every input has a time limit (-timeout) and
# the process a memory limit (-rss_limit_mb), so a hang or a blow-up is
# reported, not waited on. A harness holds about 70 MiB and stays there; the
# limit of 512 MiB makes memory that grows from input to input a finding. Findings are written to build-fuzz/findings/ and
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
((${#harnesses[@]})) || harnesses=(fuzz_graph_definitions fuzz_raw_samples fuzz_chunk_decoder)

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

# A small quarantine keeps the freed blocks of one input findable by ASan
# while the next inputs reuse warm pages (the default 256 MiB costs a third of
# the speed in page faults).
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16}"

status=0
for h in "${harnesses[@]}"; do
  corpus="$build/corpus/$h"
  findings="$build/findings/$h"
  mkdir -p "$corpus" "$findings"
  cp -n fuzz/corpus/"$h"/* "$corpus"/ 2>/dev/null || true
  # Inputs that once hung the tool run again first, so a regression shows.
  cp -n fuzz/findings/"$h"/* "$corpus"/ 2>/dev/null || true
  args=(-max_total_time="$seconds" -max_len="$(max_len "$h")" -timeout=5 -rss_limit_mb=512
        -report_slow_units=1 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$findings/")
  [[ -f fuzz/$h.dict ]] && args+=(-dict="fuzz/$h.dict")
  env=()
  if ((campaign)); then
    args+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
    env=(VZU_FUZZ_TOLERATE_CLOCK=1)
  fi
  log="$build/$h.log"
  marker="$build/$h.started"
  touch "$marker"
  echo "== $h: ${seconds}s"
  rc=0
  env "${env[@]}" "$build/bin/$h" "${args[@]}" "$corpus" >"$log" 2>&1 || rc=$?
  grep -E '^#[0-9]+:? +(DONE|pulse|cov:)|stat::number_of_executed_units|stat::average_exec_per_sec' \
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
  rm -f "$cov"/*.profraw
  for h in "${harnesses[@]}"; do
    LLVM_PROFILE_FILE="$cov/$h.%p.profraw" VZU_FUZZ_TOLERATE_CLOCK=1 \
      "$cov/bin/$h" -runs=0 -close_fd_mask=3 "$build/corpus/$h" >/dev/null 2>&1 || true
  done
  llvm-profdata merge -sparse "$cov"/*.profraw -o "$cov/fuzz.profdata"
  objects=("$cov/bin/${harnesses[0]}")
  for h in "${harnesses[@]:1}"; do objects+=(-object "$cov/bin/$h"); done
  echo "== line coverage of the readers and the decoder by the working corpora"
  llvm-cov report "${objects[@]}" -instr-profile="$cov/fuzz.profdata" \
    tools/vira_zedazad_uvoz_izu/{gdf_reader,graph_model,vector_list,rtg_reader,packet_walk,sample_decode,sample_convert,sample_merge,sample_plan,sample_dump,store_writer,tables}.cpp |
    sed 's|.*tools/vira_zedazad_uvoz_izu/||'
fi
exit "$status"
