#!/usr/bin/env bash
# Installs the Debian packages that building and testing ctlflash needs,
# when they are missing. Safe to run again; does nothing when all is there.
set -euo pipefail

PACKAGES=(build-essential g++ cmake make nasm iasl uuid-dev python3 python3-setuptools
          qemu-system-x86 ovmf mtools dosfstools
          gcc-aarch64-linux-gnu g++-aarch64-linux-gnu qemu-system-arm qemu-efi-aarch64
          googletest libgtest-dev libbenchmark-dev clang libclang-rt-14-dev dpkg-dev)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
