# build_kit.sh - sourced by the benchmark scripts: builds of this tree and of
# an earlier commit, RelWithDebInfo, through ccache when it is installed. The
# build's output goes to $WORK (the sourcing script's scratch folder) and is
# shown only when the build fails.

# bench_build SOURCE_DIR BUILD_DIR TARGET...: configures and builds.
bench_build() {
  local src=$1 dir=$2 launcher
  shift 2
  launcher=$(command -v ccache || true)
  cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER_LAUNCHER="$launcher" -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" >"$WORK/cmake.log" 2>&1 ||
    { cat "$WORK/cmake.log"; exit 1; }
  cmake --build "$dir" -j2 --target "$@" >"$WORK/build.log" 2>&1 || { tail -40 "$WORK/build.log"; exit 1; }
}

# bench_build_commit ROOT COMMIT DIR TARGET...: COMMIT's tree (from git
# archive, into DIR/src) built in DIR/build; DIR is kept for the next call
# and made anew only when DIR/commit names another commit. Its bin folder is
# DIR/build/bin.
bench_build_commit() {
  local root=$1 commit=$2 dir=$3
  shift 3
  if [ "$(cat "$dir/commit" 2>/dev/null)" != "$commit" ]; then
    rm -rf "$dir"
    mkdir -p "$dir/src"
    git -C "$root" archive "$commit" | tar -x -C "$dir/src"
  fi
  bench_build "$dir/src" "$dir/build" "$@"
  echo "$commit" >"$dir/commit"
}
