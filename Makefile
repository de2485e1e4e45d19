# @file
#  Build and test entry points of ctlflash. On a fresh Debian 12 machine:
#
#    make demo     boots QEMU with two simulated controllers and shows a run
#                  (ARCH=aarch64: on QEMU's AArch64 virt board with AAVMF)
#    make test     builds everything and runs every test
#    make release  RELEASE images of ctlflash alone, for x86-64 and AArch64,
#                  and the release bundle ctlflash-VERSION.zip, with their
#                  checksums, in build/release
#
#  EDK2_DIR=/path/to/edk2 names an existing EDK II tree; without it Debian's
#  edk2 source package is fetched once into build/edk2.
#
#  Every path is derived from this file's own location, so the tree may sit
#  in any folder.
#
#  SPDX-License-Identifier: BSD-2-Clause-Patent

SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
.SHELLFLAGS := -eu -o pipefail -c

ROOT  := $(patsubst %/,%,$(dir $(abspath $(lastword $(MAKEFILE_LIST)))))
BUILD := $(ROOT)/build

ifeq ($(strip $(EDK2_DIR)),)
  EDK2_DIR  := $(BUILD)/edk2/src
  EDK2_MODE := fetch
else
  override EDK2_DIR := $(abspath $(EDK2_DIR))
  EDK2_MODE := use
endif
export EDK2_DIR

# DEBUG keeps the libraries' assertions on the console, where the
# end-to-end tests see them.
BUILD_TARGET ?= DEBUG
JOBS         ?= 2
# The machine of make demo and make shell: x64 or aarch64.
ARCH         ?= x64

ifeq ($(ARCH),x64)
  ARCH_EFI_DIR := $(BUILD)
else ifeq ($(ARCH),aarch64)
  ARCH_EFI_DIR := $(BUILD)/aarch64
else
  $(error ARCH=$(ARCH): x64 or aarch64)
endif

# The version of ctlflash: VERSION_STRING of CtlFlash.inf, its one place.
VERSION := $(shell sed -n 's/^[[:space:]]*VERSION_STRING[[:space:]]*=[[:space:]]*\([^[:space:]\#]*\).*/\1/p' $(ROOT)/CtlFlash.inf)
ifeq ($(strip $(VERSION)),)
  $(error CtlFlash.inf has no VERSION_STRING)
endif

IMAGE_TOOL := $(BUILD)/host/Tools/ImageTool/ctlimage
BUILD_EFI  := $(ROOT)/scripts/build-efi.sh

CMAKE_HOST := cmake -S $(ROOT) -B $(BUILD)/host -DEDK2_DIR=$(EDK2_DIR) -DCTL_EFI_DIR=$(BUILD)

.PHONY: all deps edk2 efi release host-build image-tool host-test e2e-test test demo shell fuzz-smoke fuzz bench format-check format-fix clean distclean

all: efi

deps:
	@$(ROOT)/scripts/install-deps.sh

edk2: deps
	@$(ROOT)/scripts/get-edk2.sh $(EDK2_MODE) $(EDK2_DIR)

# The application and the simulator's driver and control application, for
# x86-64 into build/ and for AArch64 into build/aarch64.
efi: edk2
	@$(BUILD_EFI) -b $(BUILD_TARGET) -p CtlFlash.dsc -p Simulator/CtlSim.dsc $(EDK2_DIR) $(BUILD)/ws \
	  X64=$(BUILD) AARCH64=$(BUILD)/aarch64

# RELEASE images of the application alone (CtlFlash.dsc holds no simulator)
# into build/release/x64 and build/release/aarch64, the release bundle
# build/release/ctlflash-$(VERSION).zip (unpacked beside it), and the SHA-256
# sums of the images and the bundle in build/release/SHA256SUMS. The same
# sources give the same bytes in any folder.
release: edk2
	@rm -rf $(BUILD)/release
	@$(BUILD_EFI) -b RELEASE -p CtlFlash.dsc $(EDK2_DIR) $(BUILD)/ws \
	  X64=$(BUILD)/release/x64 AARCH64=$(BUILD)/release/aarch64
	@python3 $(ROOT)/scripts/release/bundle.py $(ROOT) $(BUILD)/release $(VERSION)
	@echo "ctlflash $(VERSION): release images, bundle and SHA256SUMS in $(BUILD)/release:" && \
	  cat $(BUILD)/release/SHA256SUMS

host-build: edk2
	@$(CMAKE_HOST) >/dev/null
	@cmake --build $(BUILD)/host -j$(JOBS)

# The image tool alone (the end-to-end cases and the demo make their image
# files with it).
image-tool: edk2
	@$(CMAKE_HOST) >/dev/null
	@cmake --build $(BUILD)/host -j$(JOBS) --target ctlimage

# The host tests only: unit tests against the host libraries.
host-test: host-build
	@ctest --test-dir $(BUILD)/host -LE e2e --output-on-failure -j$(JOBS)

# The QEMU tests only, from their own small CMake tree.
e2e-test: efi image-tool
	@cmake -S $(ROOT)/Tests/E2E -B $(BUILD)/e2e -DCTL_EFI_DIR=$(BUILD) \
	  -DCTL_IMAGE_TOOL=$(IMAGE_TOOL) >/dev/null
	@ctest --test-dir $(BUILD)/e2e --output-on-failure

# A bounded fuzz run first, then every host and end-to-end test in one CTest
# run whose summary closes the output.
test: efi fuzz-smoke host-build
	@ctest --test-dir $(BUILD)/host --output-on-failure -j$(JOBS)

demo: efi image-tool
	@python3 $(ROOT)/Tests/E2E/RunE2E.py demo --arch $(ARCH) --efi-dir $(ARCH_EFI_DIR) \
	  --image-tool $(IMAGE_TOOL) --out $(BUILD)/demo$(if $(filter aarch64,$(ARCH)),-aarch64)

# An interactive UEFI Shell on the serial console with the test volume
# (Ctrl-A X leaves QEMU).
shell: efi image-tool
	@python3 $(ROOT)/Tests/E2E/RunE2E.py shell --arch $(ARCH) --efi-dir $(ARCH_EFI_DIR) \
	  --image-tool $(IMAGE_TOOL) --out $(BUILD)/shell$(if $(filter aarch64,$(ARCH)),-aarch64)

FUZZ_CMAKE := cmake -S $(ROOT) -B $(BUILD)/fuzz -DEDK2_DIR=$(EDK2_DIR) \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCTL_SANITIZE=OFF -DCTL_EFI_DIR=$(BUILD)

# A short bounded run of each fuzzer (a fixed number of inputs).
fuzz-smoke: edk2
	@$(FUZZ_CMAKE) >/dev/null
	@cmake --build $(BUILD)/fuzz -j$(JOBS) --target ctl_fuzz_image ctl_fuzz_controller
	@ctest --test-dir $(BUILD)/fuzz -R 'FuzzShort$$' --output-on-failure

# Ten minutes of fuzzing for each fuzzer, on corpora kept in build/fuzz.
fuzz: edk2
	@$(FUZZ_CMAKE) >/dev/null
	@cmake --build $(BUILD)/fuzz -j$(JOBS) --target fuzz-image
	@cmake --build $(BUILD)/fuzz -j$(JOBS) --target fuzz-controller

# The benchmarks (tests labelled "bench", registered only in a Release tree
# without sanitizers), built in build/bench; their output is shown in full.
bench: edk2
	@cmake -S $(ROOT) -B $(BUILD)/bench -DEDK2_DIR=$(EDK2_DIR) \
	  -DCMAKE_BUILD_TYPE=Release -DCTL_SANITIZE=OFF -DCTL_EFI_DIR=$(BUILD) >/dev/null
	@cmake --build $(BUILD)/bench -j$(JOBS) --target ctl_benchmarks
	@ctest --test-dir $(BUILD)/bench -L bench -V

# The formatting of the C and C++ sources, against uncrustify with the
# configuration of the EDK II tree in use (scripts/format-check.sh says how
# the released uncrustify stands in for EDK II's own build of it);
# format-fix rewrites the files that format-check reports.
format-check: edk2
	@$(ROOT)/scripts/format-check.sh $(EDK2_DIR)

format-fix: edk2
	@$(ROOT)/scripts/format-check.sh --fix $(EDK2_DIR)

# Everything built, but not the fetched EDK II tree.
clean:
	@if [ -d $(BUILD) ]; then find $(BUILD) -mindepth 1 -maxdepth 1 ! -name edk2 -exec rm -rf {} +; fi

distclean:
	@rm -rf $(BUILD)
