#!/usr/bin/env bash
# format.sh [--check] - lays out every C and C++ source of the tree as
# .clang-format says (`make format`); with --check changes nothing, names each
# file that differs with its first differing line, and exits 1 if any does
# (`make format-check`, and a test of `make test`).
#
# The files are those git tracks (a new file once added), so that sources a
# build generates are never touched; outside a git checkout, every source
# under the tree except build folders. The layout is tuned for clang-format
# 14: that version is used when installed under its own name.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
if [[ -n $mode && $mode != --check ]]; then
  echo "usage: $0 [--check]" >&2
  exit 2
fi
formatter=$(command -v clang-format-14 || command -v clang-format || true)
if [[ -z $formatter ]]; then
  echo "format: clang-format not found (scripts/ensure_deps.sh test installs it)" >&2
  exit 77  # a skip for the test that runs this check
fi

patterns=('*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- "${patterns[@]}")
else
  mapfile -t files < <(find . \( -path './build*' -o -name CMakeFiles \) -prune -o -type f \
                         \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' \
                            -o -name '*.hpp' \) -print | sort)
fi
# A file deleted but not yet staged is still listed by git.
existing=()
for f in "${files[@]}"; do
  if [[ -f $f ]]; then existing+=("$f"); fi
done
if ((${#existing[@]} == 0)); then
  echo "format: no C or C++ sources found under $PWD" >&2
  exit 1
fi

if [[ $mode != --check ]]; then
  exec "$formatter" -i "${existing[@]}"
fi
if ! report=$("$formatter" --dry-run --Werror --ferror-limit=1 "${existing[@]}" 2>&1); then
  grep ': error: ' <<<"$report" | sed 's/: error: .*/: differs from .clang-format/'
  echo "format: run \`make format\` and review the change" >&2
  exit 1
fi
