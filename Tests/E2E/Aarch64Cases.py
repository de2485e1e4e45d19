# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The cases of Cases.py that also run on AArch64: make test boots AAVMF
(qemu-system-aarch64 -M virt) once for them, beside the OVMF boot that runs
every case. Each becomes the CTest test "e2e-aarch64." + name.

Names only: a case is written once, in Cases.py, and means the same on both
machines. A name that Cases.py does not define stops the configuration (and
RunE2E.py list --arch aarch64) with an error, so a renamed case cannot drop
out of the AArch64 run unnoticed. The list is chosen to cover each path of
the tool once while keeping the slower emulated boot short; add a case here
when it shows something that the others do not.
"""

NAMES = [
    # The listing of two controllers.
    "listing.two-controllers",
    # A three-component update, checked against the controller's journal and
    # its drives' cache policies afterwards.
    "update.success",
    # An image that is refused before any flash request.
    "update.wrong-signature",
    # A flash request that the controller fails.
    "update.download-failure",
    # The exit status of every outcome of an update.
    "status.update-outcomes",
    # An index that is not all decimal digits is refused.
    "args.strict-index",
    # The dry run, passing and failing: no set or flash request is sent.
    "check.passes",
    "check.fails",
    # A register window behind a 64-bit BAR, as the PCI bus driver numbers it.
    "controller.window-behind-64bit-bar",
    # The controller chosen by PCI location, all at once, and the records of
    # -sfo read back with parse.
    "targets.location",
    "targets.all",
    "sfo.parse",
    # A listing and an update on a platform that lets the controller reach
    # only mapped memory, with bus mastering off at the start.
    "dma.protected",
    # An I/O window at address 0 (where the virt board's PCI I/O space
    # begins) listed and updated, and a memory window behind address
    # translation.
    "controller.platform-windows",
    # Failed requests and an update on a platform that bounces DMA.
    "dma.bounce",
    # The window resolution on QEMU's own PCI functions, against the shell.
    "probe.windows",
]
