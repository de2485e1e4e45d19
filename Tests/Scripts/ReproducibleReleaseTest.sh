#!/usr/bin/env bash
# Builds the release twice from this tree's files, copied into two folders
# of different names and depths, and checks that both give the same images,
# bundle and SHA256SUMS, byte for byte, and that no image holds its folder's
# path.
#
#   EDK2_DIR=/path/to/edk2 ReproducibleReleaseTest.sh
#
#  SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
: "${EDK2_DIR:?EDK2_DIR names the EDK II tree}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The make that runs the tests must not hand its job server and options down.
unset MAKEFLAGS MFLAGS MAKELEVEL

# copy DEST: the tree's files (tracked and new, not ignored), without build/.
copy() {
  mkdir -p "$1"
  if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$root" && git ls-files -z -co --exclude-standard |
       while IFS= read -r -d '' f; do if [ -e "$f" ]; then printf '%s\0' "$f"; fi; done |
       tar --null -T - -cf -) | tar -xf - -C "$1"
  else
    tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$1"
  fi
}

one="$work/a/ctlflash"
two="$work/another-folder/one-level-deeper/ctlflash-copy"
for tree in "$one" "$two"; do
  copy "$tree"
  echo "make release in $tree"
  if ! make -C "$tree" release EDK2_DIR="$EDK2_DIR" >"$tree.log" 2>&1; then
    tail -n 40 "$tree.log"
    echo "FAIL: make release in $tree"
    exit 1
  fi
done

version=$(sed -n 's/^[[:space:]]*VERSION_STRING[[:space:]]*=[[:space:]]*\([^[:space:]#]*\).*/\1/p' "$root/CtlFlash.inf")
failures=0
for file in SHA256SUMS x64/ctlflash.efi aarch64/ctlflash.efi "ctlflash-$version.zip"; do
  if [ ! -f "$one/build/release/$file" ]; then
    echo "FAIL: the release holds no $file"
    failures=$((failures + 1))
  elif ! cmp "$one/build/release/$file" "$two/build/release/$file"; then
    echo "FAIL: $file differs between the two folders"
    failures=$((failures + 1))
  else
    echo "ok   $file is the same"
  fi
done

for tree in "$one" "$two"; do
  for image in x64/ctlflash.efi aarch64/ctlflash.efi; do
    if grep -qaF "$work" "$tree/build/release/$image"; then
      echo "FAIL: $tree/build/release/$image holds the path of its build folder"
      failures=$((failures + 1))
    fi
  done
done

members=$(python3 -c 'import sys, zipfile; print(" ".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
          "$one/build/release/ctlflash-$version.zip")
want="CHANGELOG.md EFI/tools/AA64/ctlflash.efi EFI/tools/X64/ctlflash.efi LICENSE SHA256SUMS startup.nsh"
if [ "$members" != "$want" ]; then
  echo "FAIL: the bundle holds \"$members\", not \"$want\""
  failures=$((failures + 1))
fi
if ! (cd "$one/build/release/ctlflash-$version" && sha256sum --quiet --strict -c SHA256SUMS); then
  echo "FAIL: the bundle's SHA256SUMS does not match its files"
  failures=$((failures + 1))
fi

[ $failures -eq 0 ]
