#!/usr/bin/env bash
# ensure_deps_test.sh - runs ensure_deps.sh against stand-ins for dpkg-query,
# apt-get, sudo and id placed first on PATH, and checks what it would have
# installed and how: nothing when all is there, only the missing packages,
# through sudo when not root, one message and exit 1 when it cannot.
set -euo pipefail

script="$(cd "$(dirname "$0")" && pwd)/ensure_deps.sh"
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
failures=0

# dpkg-query: the packages named in $FAKE_UNKNOWN were never seen, the ones in
# $FAKE_REMOVED are known but not installed, every other one is installed.
cat >"$fake/dpkg-query" <<'EOF'
#!/usr/bin/env bash
shift 2
rc=0
for p in "$@"; do
  if [[ " $FAKE_UNKNOWN " == *" $p "* ]]; then
    echo "dpkg-query: no packages found matching $p" >&2
    rc=1
  elif [[ " $FAKE_REMOVED " == *" $p "* ]]; then echo "$p not-installed"
  else echo "$p installed"; fi
done
exit $rc
EOF
cat >"$fake/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $* [$DEBIAN_FRONTEND]" >>"$FAKE_LOG"
[[ $1 != install || -z ${FAKE_APT_FAILS:-} ]]
EOF
cat >"$fake/id" <<'EOF'
#!/usr/bin/env bash
echo "$FAKE_UID"
EOF
# sudo: works without a password only when $FAKE_SUDO is "nopasswd".
cat >"$fake/sudo" <<'EOF'
#!/usr/bin/env bash
[[ $FAKE_SUDO == nopasswd ]] || { echo "sudo: a password is required" >&2; exit 1; }
shift
[[ $1 == true ]] || echo "sudo" >>"$FAKE_LOG"
exec "$@"
EOF
chmod +x "$fake"/*

opts="-y -q --no-install-recommends"

# check NAME ARG UID SUDO UNKNOWN REMOVED WANT_RC WANT_LOG [WANT_STDERR_PART]
check() {
  local name=$1 arg=$2 want_rc=$7 want_log=$8 want_err=${9:-} rc=0
  : >"$fake/log"
  FAKE_UID=$3 FAKE_SUDO=$4 FAKE_UNKNOWN=$5 FAKE_REMOVED=$6 FAKE_LOG="$fake/log" \
    PATH="$fake:$PATH" "$script" $arg >"$fake/out" 2>"$fake/err" || rc=$?
  local log
  log=$(cat "$fake/log")
  if [[ $rc != "$want_rc" || $log != "$want_log" || $(cat "$fake/err") != *"$want_err"* ]]; then
    echo "FAIL $name: rc $rc (want $want_rc)"
    echo "  log:  $log"
    echo "  want: $want_log"
    echo "  stderr: $(cat "$fake/err")"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

check "all there: no apt call" test 0 - "" "" 0 ""
check "build needs only the build group" build 1000 - "chromium" "time" 0 ""
check "root installs only the missing ones" test 0 - "libzstd-dev chromium" "" 0 \
"apt-get update -q [noninteractive]
apt-get install $opts libzstd-dev chromium [noninteractive]"
check "known but not installed is missing" build 0 - "" "pkg-config" 0 \
"apt-get update -q [noninteractive]
apt-get install $opts pkg-config [noninteractive]"
check "non-root goes through sudo -n" build 1000 nopasswd "cmake" "" 0 \
"sudo
apt-get update -q [noninteractive]
sudo
apt-get install $opts cmake [noninteractive]"
check "no usable sudo: one message, exit 1" test 1000 password "clang" "time" 1 "" \
"install them as root with: apt-get update && apt-get install -y --no-install-recommends clang time"
FAKE_APT_FAILS=1 check "failed install is a failure" build 0 - "g++" "" 1 \
"apt-get update -q [noninteractive]
apt-get install $opts g++ [noninteractive]"

((failures == 0))
