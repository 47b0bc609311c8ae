#!/usr/bin/env bash
# ensure_deps.sh [build|test] - installs the Debian packages this tree needs,
# only those missing. "build" (the default) is what `make demo` needs: the
# compiler, CMake and the -dev libraries. "test" adds what the tests run:
# the engines, the browser, clang for the fuzz targets and clang-format.
#
# Everything present: one dpkg-query, no apt call, exit 0 (this runs on every
# make). Otherwise one `apt-get update` and one `apt-get install` of what is
# missing, as root or through a non-interactive sudo; without either, one
# message naming the exact command to run, and exit 1.
set -euo pipefail

build_packages=(cmake make g++ pkg-config binutils libgtest-dev libgmock-dev libbenchmark-dev
                libsqlite3-dev libzstd-dev libxxhash-dev libcurl4-openssl-dev libsnappy-dev
                libprotobuf-dev protobuf-compiler libcli11-dev nlohmann-json3-dev libdragonbox-dev
                libjs-dygraphs zlib1g-dev libpng-dev libgsl-dev)
# chromium runs headless without its recommended packages: its fontconfig
# dependency already brings a font.
test_packages=(victoria-metrics prometheus chromium clang libclang-rt-14-dev clang-format time)

case "${1:-build}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [build|test]" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null; then
  echo "ensure_deps: no dpkg-query (not Debian?); make sure these are installed: ${wanted[*]}" >&2
  exit 0
fi

# One dpkg-query for all: a known package prints "name status", an unknown
# one only a complaint on stderr (and a non-zero exit).
declare -A installed=()
while read -r pkg status; do
  if [[ $status == installed ]]; then installed[$pkg]=1; fi
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${wanted[@]}" 2>/dev/null || true)
missing=()
for pkg in "${wanted[@]}"; do
  [[ -n ${installed[$pkg]:-} ]] || missing+=("$pkg")
done
((${#missing[@]})) || exit 0

install_cmd="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) == 0 ]]; then
  as_root=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  as_root=(sudo -n)
else
  echo "ensure_deps: missing ${missing[*]}; install them as root with: $install_cmd" >&2
  exit 1
fi

echo "ensure_deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
