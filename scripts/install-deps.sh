#!/usr/bin/env bash
# Installs the Debian packages that building and testing ctlflash needs,
# when they are missing. Safe to run again: when every package is installed
# it calls no package manager at all (no apt-get, no sudo), so it works
# offline and without root.
#
# Every name below is a real package, never a virtual one: dpkg reports a
# virtual package (iasl, provided by acpica-tools) as not installed even when
# its provider is.
#
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

PACKAGES=(build-essential g++ cmake make nasm acpica-tools uuid-dev python3 python3-setuptools
          qemu-system-x86 ovmf mtools dosfstools
          gcc-aarch64-linux-gnu g++-aarch64-linux-gnu qemu-system-arm qemu-efi-aarch64
          googletest libgtest-dev libbenchmark-dev clang libclang-rt-14-dev dpkg-dev
          uncrustify)

if ! command -v dpkg-query >/dev/null; then
  echo "install-deps.sh: no dpkg-query: not a Debian machine; install these yourself: ${PACKAGES[*]}" >&2
  exit 0
fi

missing=()
for p in "${PACKAGES[@]}"; do
  # One line per installed architecture of the package (libgtest-dev:amd64).
  status=$(dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null || true)
  grep -qx installed <<<"$status" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps.sh: installing ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; }; then
  echo "install-deps.sh: could not install ${missing[*]} (offline, or no root and no sudo?)" >&2
  exit 1
fi
