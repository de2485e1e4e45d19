#!/usr/bin/env bash
# Builds the modules of one or more platform descriptions with EDK II, for
# one or more architectures, and copies each module's UEFI image into the
# folder named for its architecture.
#
#   build-efi.sh [-b DEBUG|RELEASE] -p DSC [-p DSC]... EDK2_DIR WS ARCH=DEST...
#
#   -b       build target (DEBUG by default)
#   -p DSC   platform description, relative to the top of this tree
#   WS       the EDK II workspace (Conf files and Build/); the EDK II tree
#            itself is only read
#   ARCH=DEST  X64 or AARCH64, and the folder its images are copied into,
#            e.g. X64=build AARCH64=build/aarch64
#
# The tool chain tag is the one the tree offers: GCC in recent trees, GCC5 in
# older ones. The AArch64 cross compiler is Debian's aarch64-linux-gnu-gcc
# unless GCC5_AARCH64_PREFIX or GCC_AARCH64_PREFIX say otherwise. Trees whose
# entry-point libraries need the stack check library classes get them mapped
# to their Null instances (HAVE_STACK_CHECK_LIBS). The version of ctlflash,
# VERSION_STRING of CtlFlash.inf, is passed on as CTLFLASH_VERSION.
#
# RELEASE images do not depend on the folder they are built in: two builds of
# the same sources in two folders give the same bytes (see the end).
#
#  SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=DEBUG
dscs=()
while getopts "b:p:" option; do
  case $option in
    b) target=$OPTARG ;;
    p) dscs+=("$OPTARG") ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -lt 3 ] || [ ${#dscs[@]} -eq 0 ]; then
  echo "usage: build-efi.sh [-b DEBUG|RELEASE] -p DSC... EDK2_DIR WS ARCH=DEST..." >&2
  exit 2
fi
case $target in
  DEBUG|RELEASE) ;;
  *) echo "build target $target: DEBUG or RELEASE" >&2; exit 2 ;;
esac

edk2=$(cd "$1" && pwd)
mkdir -p "$2"
ws=$(cd "$2" && pwd)
shift 2

archs=()
declare -A dest
for pair in "$@"; do
  arch=${pair%%=*}
  folder=${pair#*=}
  case $arch in
    X64|AARCH64) ;;
    *) echo "architecture $arch: X64 or AARCH64" >&2; exit 2 ;;
  esac
  mkdir -p "$folder"
  archs+=("$arch")
  dest[$arch]=$(cd "$folder" && pwd)
done

# The tool chain tag: GCC5 was renamed GCC in the tool definitions of recent
# trees, and the old name is gone from them.
template="$edk2/BaseTools/Conf/tools_def.template"
if grep -qE '^\*_GCC_\*_\*_FAMILY' "$template"; then
  tag=GCC
elif grep -qE '^\*_GCC5_\*_\*_FAMILY' "$template"; then
  tag=GCC5
else
  echo "$template offers neither the GCC nor the GCC5 tool chain" >&2
  exit 1
fi

# The value of one [Defines] entry of a DSC or INF file.
define_of() {
  sed -n "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*\([^[:space:]#]*\).*/\1/p" "$2" | head -n 1
}

version=$(define_of VERSION_STRING "$root/CtlFlash.inf")
if [ -z "$version" ]; then
  echo "$root/CtlFlash.inf has no VERSION_STRING" >&2
  exit 1
fi
defines=(-D "CTLFLASH_VERSION=$version")
if [ -f "$edk2/MdePkg/Library/StackCheckLibNull/StackCheckLibNull.inf" ] &&
   [ -f "$edk2/MdePkg/Library/StackCheckFailureHookLibNull/StackCheckFailureHookLibNull.inf" ]; then
  defines+=(-D HAVE_STACK_CHECK_LIBS=TRUE)
fi

# GCC emits calls of memcpy and memset on AArch64 whatever the flags; the
# library that provides them moved from ArmPkg to MdePkg over the years.
for intrinsics in MdePkg/Library/CompilerIntrinsicsLib/CompilerIntrinsicsLib.inf \
                  ArmPkg/Library/CompilerIntrinsicsLib/CompilerIntrinsicsLib.inf; do
  if [ -f "$edk2/$intrinsics" ]; then
    defines+=(-D "COMPILER_INTRINSICS_LIB=$intrinsics")
    break
  fi
done

# A cross compiler unless the machine is an AArch64 one itself.
if [ "$(uname -m)" != aarch64 ]; then
  export GCC5_AARCH64_PREFIX=${GCC5_AARCH64_PREFIX:-aarch64-linux-gnu-}
  export GCC_AARCH64_PREFIX=${GCC_AARCH64_PREFIX:-aarch64-linux-gnu-}
fi

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

# The INF files that a DSC's [Components] section lists, relative to the
# top of this tree.
infs_of() {
  awk '/^[[:space:]]*\[/ { inside = ($0 ~ /^[[:space:]]*\[[Cc]omponents/) ; next }
       inside && $1 ~ /\.inf$/ { print $1 }' "$1"
}

# GenFw writes the name of its input, the module's .dll, into the image's
# debug directory, and the space that the name takes into the image's
# layout. The build names the .dll by its full path in the workspace, which
# a debugger uses to find the symbols of a DEBUG image; RELEASE images are
# converted again from the same .dll named by its file name alone, so that
# they hold no trace of the folder they were built in.
# pinned_image IMAGES_DIR INF BASE_NAME OUT
pinned_image() {
  local dll="$1/${2%.inf}/DEBUG/$3.dll" type
  type=$(define_of MODULE_TYPE "$root/$2")
  if [ ! -f "$dll" ]; then
    echo "the build left no $dll" >&2
    exit 1
  fi
  (cd "$(dirname "$dll")" && GenFw -e "$type" -o "$4" "$3.dll" >/dev/null)
}

arch_flags=()
for arch in "${archs[@]}"; do
  arch_flags+=(-a "$arch")
done

# Older tool definitions link AArch64 images in LTO mode against
# ArmPkg/Library/GccLto/liblto-aarch64.a of the EDK II tree, which Debian's
# tree holds only as assembler source: it is assembled into the workspace,
# whose folder the DSC adds to the library search path (LTO_LIBRARY_DIR).
lto_source="$edk2/ArmPkg/Library/GccLto/liblto-aarch64.s"
lto_dir="$ws/GccLto"
if [ -n "${dest[AARCH64]:-}" ] && grep -q -- '-llto-aarch64' "$conf/tools_def.txt" &&
   [ -f "$lto_source" ] && [ ! -f "$edk2/ArmPkg/Library/GccLto/liblto-aarch64.a" ]; then
  if [ ! -f "$lto_dir/liblto-aarch64.a" ]; then
    # A plain object under the library's name, as Debian's own build makes
    # it: the linker takes it whole, with its references to memcpy and memset.
    mkdir -p "$lto_dir"
    "${GCC5_AARCH64_PREFIX:-}gcc" -c -fpic -o "$lto_dir/liblto-aarch64.a" "$lto_source"
  fi
  defines+=(-D "LTO_LIBRARY_DIR=$lto_dir")
fi

for dsc in "${dscs[@]}"; do
  platform=$(define_of PLATFORM_NAME "$root/$dsc")
  outdir=$(define_of OUTPUT_DIRECTORY "$root/$dsc")
  log="$ws/build-$platform-$target.log"
  echo "Building $dsc ($target, $tag, ${archs[*]}); log in $log"
  if ! build "${arch_flags[@]}" -t "$tag" -b "$target" -p "$dsc" -n 2 "${defines[@]}" >"$log" 2>&1; then
    grep -E ': (fatal )?error|error [0-9A-F]{4,5}:|cannot find|undefined reference' "$log" | head -n 40 >&2 || true
    tail -n 20 "$log" >&2
    echo "EDK II build of $dsc failed; the whole log is $log" >&2
    exit 1
  fi
  for arch in "${archs[@]}"; do
    images="$ws/$outdir/${target}_${tag}/$arch"
    copied=()
    for inf in $(infs_of "$root/$dsc"); do
      module=$(define_of BASE_NAME "$root/$inf")
      if [ ! -f "$images/$module.efi" ]; then
        echo "the build of $dsc left no $images/$module.efi" >&2
        exit 1
      fi
      if [ "$target" = RELEASE ]; then
        pinned_image "$images" "$inf" "$module" "${dest[$arch]}/$module.efi"
      else
        cp "$images/$module.efi" "${dest[$arch]}/"
      fi
      copied+=("$module.efi")
    done
    echo "Built into ${dest[$arch]}: ${copied[*]}"
  done
done
