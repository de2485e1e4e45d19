#!/usr/bin/env bash
# Tests of scripts/install-deps.sh with stand-ins for the package tools in
# front of PATH. Every stand-in writes its command line to a log, so a case
# also shows which tools were called.
#
#   InstallDepsTest.sh   exit 0 when every case passes
#
#  SPDX-License-Identifier: BSD-2-Clause-Patent
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
script="$root/scripts/install-deps.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# as_user UID: an id that answers -u with UID (not logged).
as_user() {
  printf '#!/bin/sh\necho %s\n' "$1" >"$bin/id"
  chmod +x "$bin/id"
}

# stand_in NAME EXIT: a command that logs its arguments and exits with EXIT.
stand_in() {
  cat >"$bin/$1" <<STUB
#!/usr/bin/env bash
echo "$1 \$*" >>"$work/calls"
exit $2
STUB
  chmod +x "$bin/$1"
}

# A dpkg-query that reports every package installed (twice for
# libgtest-dev, as for a package of two architectures) except those named in
# $work/absent.
fake_dpkg() {
  cat >"$bin/dpkg-query" <<STUB
#!/usr/bin/env bash
package=\${!#}
if grep -qx "\$package" "$work/absent" 2>/dev/null; then
  printf 'not-installed\n'
elif [ "\$package" = libgtest-dev ]; then
  printf 'installed\ninstalled\n'
else
  printf 'installed\n'
fi
STUB
  chmod +x "$bin/dpkg-query"
}

# check NAME EXPECTED_EXIT EXPECTED_CALLS: runs the script and compares its
# exit status and the stand-ins' log ("" for no call at all).
check() {
  local name=$1 want_exit=$2 want_calls=$3 got_exit got_calls
  PATH="$bin:$PATH" "$script" >"$work/out" 2>&1 </dev/null
  got_exit=$?
  got_calls=$(cat "$work/calls" 2>/dev/null || true)
  if [ "$got_exit" != "$want_exit" ] || [ "$got_calls" != "$want_calls" ]; then
    echo "FAIL $name: exit $got_exit (want $want_exit); calls:"
    echo "${got_calls:-  (none)}"
    echo "want:"
    echo "${want_calls:-  (none)}"
    echo "output:"
    cat "$work/out"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

reset() {
  bin="$work/bin.$1"
  mkdir -p "$bin"
  rm -f "$work/calls" "$work/absent"
  stand_in apt-get 100
  stand_in sudo 1
}

# This machine's own dpkg: it has everything that built these tests, so
# neither apt-get nor sudo may be called, and both fail if they are.
reset real
check "everything installed (this machine's dpkg)" 0 ""

reset all
fake_dpkg
check "everything installed, two architectures of one package" 0 ""

reset nonroot
fake_dpkg
as_user 1000
echo nasm >"$work/absent"
check "nasm missing, not root, sudo fails" 1 "sudo apt-get update -qq"

reset root
fake_dpkg
as_user 0
stand_in apt-get 0
printf 'nasm\nmtools\n' >"$work/absent"
check "nasm and mtools missing, root: only they are installed" 0 \
  "apt-get update -qq
apt-get install -y -qq --no-install-recommends nasm mtools"

reset offline
fake_dpkg
as_user 0
echo ovmf >"$work/absent"
check "ovmf missing, root, apt-get fails (offline)" 1 "apt-get update -qq"

if [ $failures -ne 0 ]; then
  echo "$failures case(s) failed"
  exit 1
fi
