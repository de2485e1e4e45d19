#!/usr/bin/env bash
# Builds every module of CtlFlash.dsc with EDK II and copies the resulting
# UEFI images (ctlflash.efi and, when present, the simulator's driver and
# control application) into OUT.
#
#   build-efi.sh EDK2_DIR OUT [DEBUG|RELEASE]
#
# The EDK II workspace and its Conf files live in OUT/ws, so the EDK II tree
# itself is only read.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
edk2=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
target=${3:-DEBUG}

ws="$out/ws"
conf="$ws/Conf"
# Conf files copied from another EDK II tree would not match this one.
if [ -f "$conf/.edk2-tree" ] && [ "$(cat "$conf/.edk2-tree")" != "$edk2" ]; then
  rm -rf "$conf"
fi
mkdir -p "$conf"
echo "$edk2" > "$conf/.edk2-tree"

export WORKSPACE="$ws" CONF_PATH="$conf" PACKAGES_PATH="$edk2:$root" EDK_TOOLS_PATH="$edk2/BaseTools"
cd "$edk2"
# edksetup.sh is written for an interactive shell (no -e, -u or pipefail)
# and reads the positional parameters as its own options.
set --
set +euo pipefail
# shellcheck disable=SC1091
. ./edksetup.sh >/dev/null
setup=$?
set -euo pipefail
if [ $setup -ne 0 ] || ! command -v build >/dev/null; then
  echo "edksetup.sh in $edk2 failed" >&2
  exit 1
fi

log="$out/efi-build.log"
echo "Building CtlFlash.dsc ($target, GCC5, X64); log in $log"
if ! build -a X64 -t GCC5 -b "$target" -p CtlFlash.dsc -n 2 >"$log" 2>&1; then
  grep -E 'error|Error|ERROR' "$log" | head -n 40 >&2 || true
  tail -n 20 "$log" >&2
  echo "EDK II build failed; the whole log is $log" >&2
  exit 1
fi

images="$ws/Build/CtlFlash/${target}_GCC5/X64"
copied=()
for efi in "$images"/*.efi; do
  [ -f "$efi" ] || continue
  cp "$efi" "$out/"
  copied+=("$(basename "$efi")")
done
echo "Built into $out: ${copied[*]}"
