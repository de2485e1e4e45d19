#!/usr/bin/env bash
# Checks (or applies) the formatting of this tree's C and C++ sources with
# uncrustify and EDK II's own configuration, taken from the EDK II tree in
# use: EDK2_DIR/.pytool/Plugin/UncrustifyCheck/uncrustify.cfg.
#
#   format-check.sh EDK2_DIR            exit 0 when no file would change;
#                                       else the differences, then exit 1
#   format-check.sh --fix EDK2_DIR      rewrite every file that would change
#   format-check.sh --list EDK2_DIR     only the names of those files
#
# EDK II formats its code with its own build of uncrustify, which knows a
# few options that the released uncrustify (Debian's package) does not. The
# configuration is therefore used as it is, with two changes written into a
# copy in a temporary folder:
#  - every option that the installed uncrustify reports as unknown is left
#    out (it would be ignored anyway; leaving it out keeps the run quiet);
#  - newlines = lf: EDK II's files end their lines with CR LF, this tree's
#    with LF, and the check is about layout, not line ends.
# See FORMAT_OVERRIDES below for the few settings that stand in for the
# left-out options.
#
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

mode=check
case "${1:-}" in
  --fix)  mode=fix;  shift ;;
  --list) mode=list; shift ;;
esac
if [ $# -ne 1 ]; then
  echo "usage: format-check.sh [--fix | --list] EDK2_DIR" >&2
  exit 2
fi
edk2=$1
config="$edk2/.pytool/Plugin/UncrustifyCheck/uncrustify.cfg"
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if ! command -v uncrustify >/dev/null; then
  echo "format-check.sh: uncrustify is not installed (make deps installs it)" >&2
  exit 2
fi
if [ ! -f "$config" ]; then
  echo "format-check.sh: $config: no such file (EDK2_DIR holds no EDK II tree with its uncrustify configuration)" >&2
  exit 2
fi

# The released uncrustify's stand-ins for options of EDK II's own build:
# indent_func_call_edk2_style puts the arguments of a call split over lines
# one indent level in from the line of the call, which is what
# indent_func_call_param does for the common case.
FORMAT_OVERRIDES=(
  "newlines = lf"
  "indent_func_call_param = true"
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Options unknown to this uncrustify: it names them on stderr
# ("...uncrustify.cfg:79: unknown option 'name'").
unknown=$( { uncrustify -c "$config" -f /dev/null -q 2>&1 >/dev/null || true; } |
          sed -n "s/.*unknown option '\([A-Za-z0-9_]*\)'.*/\1/p" | sort -u)
{
  if [ -n "$unknown" ]; then
    grep -v -E "^[[:space:]]*($(paste -sd'|' <<<"$unknown"))[[:space:]]*=" "$config"
  else
    cat "$config"
  fi
  printf '%s\n' "${FORMAT_OVERRIDES[@]}"
} >"$work/uncrustify.cfg"

# Every C and C++ source and header that git tracks (build outputs and the
# fetched EDK II tree are not tracked).
mapfile -t files < <(git -C "$root" ls-files -- '*.c' '*.h' '*.cpp')

changed=()
for f in "${files[@]}"; do
  lang=C
  case "$f" in *.cpp|*.h) lang=CPP ;; esac
  out="$work/out"
  if ! uncrustify -q -l "$lang" -c "$work/uncrustify.cfg" -f "$root/$f" -o "$out" 2>"$work/err"; then
    echo "format-check.sh: uncrustify failed on $f:" >&2
    cat "$work/err" >&2
    exit 2
  fi
  if ! cmp -s "$root/$f" "$out"; then
    changed+=("$f")
    case "$mode" in
      check) diff -u --label "a/$f" --label "b/$f" "$root/$f" "$out" || true ;;
      fix)   cp "$out" "$root/$f" ;;
    esac
  fi
done

case "$mode" in
  list)
    printf '%s\n' "${changed[@]+"${changed[@]}"}" ;;
  fix)
    echo "format-check.sh: ${#changed[@]} of ${#files[@]} files reformatted" ;;
  check)
    if [ ${#changed[@]} -ne 0 ]; then
      echo "format-check.sh: ${#changed[@]} of ${#files[@]} files are not formatted; make format-fix rewrites them" >&2
      exit 1
    fi
    echo "format-check.sh: all ${#files[@]} files formatted" ;;
esac
