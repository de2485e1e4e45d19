#!/usr/bin/env bash
# Tests of scripts/format-check.sh on a small tree of its own (a copy of the
# script in a scratch git repository), with the uncrustify configuration of
# the EDK II tree in EDK2_DIR.
#
#   FormatCheckTest.sh   exit 0 when every case passes, 77 when uncrustify
#                        is not installed
#
#  SPDX-License-Identifier: BSD-2-Clause-Patent
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
edk2=${EDK2_DIR:?EDK2_DIR names the EDK II tree}
if ! command -v uncrustify >/dev/null; then
  echo "uncrustify is not installed (make deps)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# run NAME EXPECTED_EXIT ARGS...: runs the copy of the script, keeps its
# output in $work/out.
run() {
  local name=$1 want=$2 got
  shift 2
  "$work/tree/scripts/format-check.sh" "$@" >"$work/out" 2>&1
  got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL $name: exit $got (want $want); output:"
    cat "$work/out"
    failures=$((failures + 1))
    return 1
  fi
  echo "ok   $name"
}

# expect NAME TEXT: the last run printed TEXT (a fixed string).
expect() {
  if ! grep -qF -- "$2" "$work/out"; then
    echo "FAIL $1: the output lacks \"$2\":"
    cat "$work/out"
    failures=$((failures + 1))
  fi
}

mkdir -p "$work/tree/scripts" "$work/tree/Part"
cp "$root/scripts/format-check.sh" "$work/tree/scripts/"
git -C "$work/tree" init -q
# Two files out of layout (a missing space before a call's parenthesis, a
# brace on the line of the if), one untracked file that is never looked at.
cat >"$work/tree/Part/Loose.cpp" <<'EOF'
VOID
Loose (
  IN UINTN  Count
  )
{
  if (Count == 0) {
    Print(L"none\n");
  }
}
EOF
cat >"$work/tree/Part/Loose.h" <<'EOF'
#define LOOSE_LIMIT  4
UINTN
LooseLimit (
  VOID
  ){ return LOOSE_LIMIT; }
EOF
printf 'int  untracked=1;\n' >"$work/tree/Part/Untracked.cpp"
git -C "$work/tree" add Part/Loose.cpp Part/Loose.h

run "unformatted files: the check fails with their differences" 1 "$edk2"
expect "differences" "+++ b/Part/Loose.cpp"
expect "differences" "+    Print (L\"none\\n\");"
expect "summary" "2 of 2 files are not formatted"

run "--list names exactly the unformatted files" 0 --list "$edk2"
if [ "$(cat "$work/out")" != "$(printf 'Part/Loose.cpp\nPart/Loose.h')" ]; then
  echo "FAIL --list printed:"
  cat "$work/out"
  failures=$((failures + 1))
fi

run "--fix rewrites them" 0 --fix "$edk2"
expect "--fix" "2 of 2 files reformatted"
grep -qF 'Print (L"none\n");' "$work/tree/Part/Loose.cpp" ||
  { echo "FAIL --fix left Part/Loose.cpp as it was"; failures=$((failures + 1)); }
grep -qF 'int  untracked=1;' "$work/tree/Part/Untracked.cpp" ||
  { echo "FAIL --fix touched an untracked file"; failures=$((failures + 1)); }

run "after --fix the check passes" 0 "$edk2"
expect "pass" "all 2 files formatted"

run "a tree without the configuration is refused" 2 "$work"
expect "no configuration" "uncrustify.cfg: no such file"

if [ $failures -ne 0 ]; then
  echo "$failures case(s) failed"
  exit 1
fi
