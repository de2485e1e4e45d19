#!/usr/bin/env bash
# Makes an EDK II tree with built BaseTools ready for the firmware build.
#
#   get-edk2.sh fetch DIR   Debian's edk2 source package (with Debian's
#                           patches applied) is unpacked into DIR unless it is
#                           there already, then its BaseTools are built once.
#   get-edk2.sh use DIR     DIR is an existing EDK II tree; its BaseTools are
#                           built only when they are not.
#
#  SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

mode=$1
dir=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if [ ! -f "$dir/edksetup.sh" ]; then
  if [ "$mode" != fetch ]; then
    echo "EDK2_DIR=$dir holds no EDK II tree (no edksetup.sh)" >&2
    exit 1
  fi
  "$here/enable-deb-src.sh"
  staging="$dir.download"
  rm -rf "$staging"
  mkdir -p "$staging"
  cd "$staging"
  echo "Fetching Debian's edk2 source package into $staging"
  # The package lists may be older than the deb-src entries: refresh once.
  if ! apt-get source -qq edk2; then
    $SUDO apt-get update -qq
    apt-get source -qq edk2
  fi
  tree=$(find . -mindepth 1 -maxdepth 1 -type d -name 'edk2-*' | head -n 1)
  if [ -z "$tree" ] || [ ! -f "$tree/edksetup.sh" ]; then
    echo "apt-get source edk2 left no EDK II tree in $staging" >&2
    exit 1
  fi
  mkdir -p "$(dirname "$dir")"
  mv "$tree" "$dir"
  cd /
  rm -rf "$staging"
fi

# The C tools are what the build needs first; GenFw is built among the last.
tools="$dir/BaseTools/Source/C/bin"
stamp="$dir/BaseTools/.ctlflash-built"
if [ "$mode" = fetch ] && [ -f "$stamp" ]; then
  exit 0
fi
if [ "$mode" = use ] && [ -x "$tools/GenFw" ] && [ -x "$tools/VfrCompile" ] && [ -x "$tools/GenFv" ]; then
  exit 0
fi
echo "Building BaseTools in $dir/BaseTools"
make -C "$dir/BaseTools" -j2 >"$dir/BaseTools/build.log" 2>&1 || {
  tail -n 40 "$dir/BaseTools/build.log" >&2
  echo "BaseTools build failed; the whole log is $dir/BaseTools/build.log" >&2
  exit 1
}
if [ "$mode" = fetch ]; then touch "$stamp"; fi
exit 0
