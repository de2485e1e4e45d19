# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The end-to-end cases: what ctlflash.efi prints in the UEFI Shell of OVMF,
byte for byte, and the exit status it hands back to the shell.

A row is Case(name, scenario, steps, files=(), timeout=60):
  name      the CTest name is "e2e." + name
  scenario  simulator scenario file (path beside this file), or None for a
            machine without the simulator: those cases run before the
            simulator's driver is loaded. Each case starts from its scenario
            freshly loaded ("ctlsimctl load").
  steps     (command line, expected output[, expected %lasterror%]) in order;
            the expected output is the exact text with "\\n" line ends, a
            Regex(...) for the whole output, or None when it is not looked
            at. %lasterror% defaults to "0x0" (EFI_SUCCESS).
  files     extra files the volume holds at its root (image files): a path
            beside this file, "@build/NAME" for a file of the build
            directory, Payload(name, size) for deterministic bytes, or
            Made(name, words...) for a file made by a host command such as
            the image tool (see CaseTypes.py). Made files are made once per
            run, in the order the cases name them.
  timeout   seconds one step may run before the boot is given up.

Command lines are UEFI Shell script lines: '#' starts a comment and '^'
escapes, so neither may appear unescaped in an argument.
"""

import os
import re
import struct
import tempfile
import zlib

from CaseTypes import Against, Case, Made, Payload, Regex, Slow

TWO_CONTROLLERS = "Scenarios/TwoControllers.cfg"

INVALID_ARGUMENTS = "\nInvalid arguments .."
# The line after it that names what was wrong.
WRONG_COUNT = INVALID_ARGUMENTS + (
    "\nExpected: ctlflash.efi FwFile idx|SSSS:BB:DD.F|BB:DD.F|all [force|check] [-sfo]")


def wrong_target(word):
    return INVALID_ARGUMENTS + (
        '\nNot a controller index, a PCI location (SSSS:BB:DD.F or BB:DD.F) or all: "%s"' % word)


def wrong_mode(word):
    return INVALID_ARGUMENTS + '\nThe third word must be force or check, not "%s"' % word

# %lasterror% as the shell shows each exit status of ctlflash.efi: the
# EFI_STATUS with its error bit cleared.
LOAD_ERROR = "0x1"
INVALID_PARAMETER = "0x2"
UNSUPPORTED = "0x3"
DEVICE_ERROR = "0x7"
NOT_FOUND = "0xE"
NO_RESPONSE = "0x10"


# A PCI location as the messages show it.
LOCATION = r"[0-9A-F]{4}:[0-9A-F]{2}:[0-9A-F]{2}\.[0-7]"


def result_line(word, idx, status):
    """The pattern of the result line of a run on controller idx."""
    return re.escape("\nctlflash result: %s, controller %d at " % (word, idx)) + LOCATION + re.escape(
        ", exit status %s\n" % status)


def journal(*controllers):
    """What "ctlsimctl journal" must print: per controller, the exact frame
    lines given, then its summary line, whose first counter is the number of
    frames (the other counters are not looked at)."""
    pattern = ""
    for number, frames in enumerate(controllers):
        for line in frames:
            pattern += re.escape("ctl %d frame %s\n" % (number, line))
        pattern += r"ctl %d summary frames %d [^\n]*\n" % (number, len(frames))
    return Regex(pattern)


# The inventory's four requests to one controller, as the journal shows them.
INVENTORY_FRAMES = [
    "0 op 01010000 mb 00000000 00000000 00000000 dir 2 sge 1 len 2048 status 00",
    "1 op 05010000 mb 00000000 00000000 00000000 dir 2 sge 1 len 64 status 00",
    "2 op 05030000 mb 00000000 00000000 00000000 dir 2 sge 1 len 64 status 00",
    "3 op 05070200 mb 00000000 00000000 00000000 dir 2 sge 1 len 64 status 00",
]

CASES = [
    # Without a supported controller nothing is printed but the result line
    # of an update or check command line (which the rig checks and takes
    # off); the exit status still says what happened.
    Case("no-controller.silent", None, [
        ("ctlflash.efi", ""),
        ("ctlflash.efi fw.img", "", INVALID_PARAMETER),
        ("ctlflash.efi fw.img 0", "", NOT_FOUND),
        ("ctlflash.efi fw.img 0 force", "", NOT_FOUND),
        ("ctlflash.efi fw.img 0 check", "", NOT_FOUND),
        ("ctlflash.efi fw.img x Force extra words", "", INVALID_PARAMETER),
    ]),

    # Refused command lines with two controllers present: no request at all
    # reaches a controller.
    Case("args.refused", TWO_CONTROLLERS, [
        ("ctlflash.efi fw.img", WRONG_COUNT, INVALID_PARAMETER),
        ("ctlflash.efi fw.img 0 force extra", WRONG_COUNT, INVALID_PARAMETER),
        ("ctlflash.efi fw.img 0 force extra words", WRONG_COUNT, INVALID_PARAMETER),
        ("ctlflash.efi fw.img a", wrong_target("a"), INVALID_PARAMETER),
        ("ctlflash.efi fw.img -1", wrong_target("-1"), INVALID_PARAMETER),
        ('ctlflash.efi fw.img " 1"', wrong_target(" 1"), INVALID_PARAMETER),
        ('ctlflash.efi fw.img ""', wrong_target(""), INVALID_PARAMETER),
        ("ctlflash.efi fw.img 0 Force", wrong_mode("Force"), INVALID_PARAMETER),
        ("ctlflash.efi fw.img 0 FORCE", wrong_mode("FORCE"), INVALID_PARAMETER),
        ("ctlsimctl journal", journal([], [])),
    ]),

    # An index not below the controller count is refused after the
    # inventory has run, and nothing is flashed.
    Case("args.index-out-of-range", TWO_CONTROLLERS, [
        ("ctlflash.efi fw.img 2", "\nInvalid controller index (idx = 2) !", NOT_FOUND),
        ("ctlsimctl journal", journal(INVENTORY_FRAMES, INVENTORY_FRAMES)),
        ("ctlflash.efi fw.img 2 force", "\nInvalid controller index (idx = 2) !", NOT_FOUND),
        ("ctlflash.efi fw.img 007", "\nInvalid controller index (idx = 7) !", NOT_FOUND),
    ]),
]

#
# Firmware updates. Every case loads Scenarios/Update.cfg, whose controllers
# (all of one model and subsystem) each fail in their own way; the idx on the
# command line picks the controller. The image files are made before the
# boot by the image tool from deterministic payloads.
#
UPDATE = "Scenarios/Update.cfg"
UPDATE_SUPPORT = "1F3A:0C31:1F3A:0101"
UPDATE_FAMILY = "TQ30"
APP_PAYLOAD = Payload("upd-app.bin", 40000, 11)
CTLR_PAYLOAD = Payload("upd-ctlr.bin", 1000, 12)
BIOS_PAYLOAD = Payload("upd-bios.bin", 69000, 13)
ONE_PAYLOAD = Payload("upd-one.bin", 70000 - 1084, 14)
UPDATE_FILES = [APP_PAYLOAD, CTLR_PAYLOAD, BIOS_PAYLOAD, ONE_PAYLOAD,
    # Three components (41084, 2084 and 70084 bytes) with filler between.
    Made("upd-three.img", "{ctlimage}", "build", "-o", "{out}", "--support", UPDATE_SUPPORT,
         "--component", UPDATE_FAMILY + ":APP:{files}/upd-app.bin", "--filler", "8",
         "--component", UPDATE_FAMILY + ":CTLR:{files}/upd-ctlr.bin",
         "--component", UPDATE_FAMILY + ":BIOS:{files}/upd-bios.bin"),
    # One "APP " component of 70,000 bytes: pieces of 32768, 32768 and 4464.
    Made("upd-app.img", "{ctlimage}", "build", "-o", "{out}", "--support", UPDATE_SUPPORT,
         "--component", UPDATE_FAMILY + ":APP:{files}/upd-one.bin"),
    # Listing only another subsystem of the same model.
    Made("upd-other.img", "{ctlimage}", "build", "-o", "{out}", "--support", "1F3A:0C31:1F3A:0202",
         "--component", UPDATE_FAMILY + ":APP:{files}/upd-app.bin"),
    # The controller is listed, but the component area holds filler only.
    Made("upd-filler.img", "{ctlimage}", "build", "--allow-unflashable", "-o", "{out}", "--support", UPDATE_SUPPORT,
         "--filler", "4096", "--filler", "4096:0x5A"),
    # No signature: bytes of a payload.
    Payload("upd-nosig.img", 5000, 15),
]

HEADER_SIZE = 1084
PIECE_SIZE = 32768

SUCCESS = "\nSuccessfully updated firmware..\n"
FAILED = "\nUpdated failed.."
NOT_SUPPORTED = "\nFirmware image doesn't support this controller.."
LIST_FAILED = "\nError getting ld list..\n\nFailed to get LD List..\nError getting LD information.."


def wb_to_wt(*drives):
    """The switch's output for drives that were in write-back."""
    return "\n" + "".join("\nModifying write cache policy for VD(%d) WB->WT." % d for d in drives) + "\n"


def wt_to_wb(*drives):
    return "\n" + "".join("\nModifying write cache policy for VD(%d) WT->WB." % d for d in drives) + "\n"


def kept(*drives):
    """The line that names the drives left in write-through after a failed flash."""
    return "\nWrite-through kept for" + "".join(" VD(%d)" % d for d in drives) + \
        ": the flash failed; switch back by hand once the controller is updated."


def pieces(size):
    return [(offset, min(PIECE_SIZE, size - offset)) for offset in range(0, size, PIECE_SIZE)]


def flashed(label, size):
    """The output of one component that was downloaded and committed."""
    return "\nDownloading image (%-4s)" % label + "." * len(pieces(size)) + ".\n" + \
        "\n(%-4s) Firmware updated.." % label


def failed_with(label, status):
    return "\n(%-4s) Firmware updated Failed with (%d)" % (label, status)


def component_bytes(label, payload):
    """A component as the image tool writes it: the header (family at 0, type
    at 16, size at 24, zeros elsewhere) and then the payload."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, payload.name)
        payload.make(path, {})
        with open(path, "rb") as f:
            data = f.read()
    header = bytearray(HEADER_SIZE)
    header[0:4] = UPDATE_FAMILY.encode()
    header[16:20] = label.encode()
    header[24:28] = struct.pack("<I", HEADER_SIZE + len(data))
    return bytes(header) + data


class Frames:
    """The requests one controller saw, in the words of "ctlsimctl journal"."""

    def __init__(self):
        self.lines = []

    def add(self, opcode, mailbox=0, direction=0, length=0, status=0):
        self.lines.append("op %08X mb %08X 00000000 00000000 dir %d sge 1 len %d status %02X" % (
            opcode, mailbox, direction, length, status))
        return self

    def inventory(self):
        for opcode, length in ((0x01010000, 2048), (0x05010000, 64), (0x05030000, 64), (0x05070200, 64)):
            self.add(opcode, 0, 2, length)
        return self

    def list(self, status=0):
        return self.add(0x03010000, 0, 2, 4104, status)

    def get(self, target, status=0):
        return self.add(0x03030000, target, 2, 32, status)

    def set(self, ref, status=0):
        return self.add(0x03040000, ref, 2, 32, status)

    def guard(self, drives):
        """A read of the list and every drive, and a set of every drive."""
        self.list()
        for drive in drives:
            self.get(drive)
        for drive in drives:
            self.set(drive)
        return self

    def close(self):
        return self.add(0x010F0400)

    def open(self, size, status=0):
        return self.add(0x010F0100, size, 0, 0, status)

    def download(self, offset, length, status=0):
        return self.add(0x010F0200, offset, 1, length, status)

    def commit(self, status=0):
        return self.add(0x010F0300, 0, 0, 0, status)

    def component(self, size):
        """A component flashed without a failure."""
        self.close().open(size)
        for offset, length in pieces(size):
            self.download(offset, length)
        return self.commit()


def journal_of(controller, frames, commits=()):
    """What "ctlsimctl journal N" must print: the frames, the committed
    components (with zlib's CRC-32 of their bytes) and the summary line, whose
    counters after the frame count are not looked at."""
    text = "".join("ctl %d frame %d %s\n" % (controller, n, line) for n, line in enumerate(frames.lines))
    for n, (label, payload) in enumerate(commits):
        data = component_bytes(label, payload)
        text += "ctl %d commit %d size %d crc32 %08X\n" % (controller, n, len(data), zlib.crc32(data))
    return Regex(re.escape(text) + r"ctl %d summary frames %d [^\n]*\n" % (controller, len(frames.lines)))


def drives(controller, *policies):
    """What "ctlsimctl drives N" must print for drives 0, 1, ... (target id =
    reference) with the given cache-policy bytes."""
    return "".join("ctl %d drive %d tid %d ref %08X policy %02X\n" % (controller, n, n, n, policy)
                   for n, policy in enumerate(policies))


# The components of upd-three.img: (label, payload); 41084, 2084 and 70084
# bytes with their headers.
THREE = [("APP ", APP_PAYLOAD), ("CTLR", CTLR_PAYLOAD), ("BIOS", BIOS_PAYLOAD)]
ALL_THREE = "".join(flashed(label, HEADER_SIZE + payload.size) for label, payload in THREE)


def three_components(frames):
    for _, payload in THREE:
        frames.component(HEADER_SIZE + payload.size)
    return frames


CASES += [
    # Three components into controller 0: the write-back drive is switched
    # to write-through and back around the flash, both drives are sent each
    # time, and the controller holds the file's components afterwards.
    Case("update.success", UPDATE, [
        ("ctlflash.efi upd-three.img 0", wb_to_wt(0) + ALL_THREE + wt_to_wb(0) + SUCCESS),
        ("ctlsimctl journal 0", journal_of(
            0, three_components(Frames().inventory().guard([0, 1])).guard([0, 1]), THREE)),
        ("ctlsimctl drives 0", drives(0, 0x01, 0x00)),
    ], files=UPDATE_FILES),

    # The same with "force": the drives are left alone.
    Case("update.force", UPDATE, [
        ("ctlflash.efi upd-three.img 0 force", "\nIgnoring VD write policy.." + ALL_THREE + SUCCESS),
        ("ctlsimctl journal 0", journal_of(
            0, three_components(Frames().inventory()), THREE)),
        ("ctlsimctl drives 0", drives(0, 0x01, 0x00)),
    ], files=UPDATE_FILES),

    # Images that are refused before any request: nothing but the inventory
    # reaches the controller.
    Case("update.other-controller", UPDATE, [
        ("ctlflash.efi upd-other.img 0", NOT_SUPPORTED + FAILED, UNSUPPORTED),
        ("ctlsimctl journal 0", journal_of(0, Frames().inventory())),
    ], files=UPDATE_FILES),
    Case("update.wrong-signature", UPDATE, [
        ("ctlflash.efi upd-nosig.img 0", NOT_SUPPORTED + FAILED, UNSUPPORTED),
        ("ctlsimctl journal 0", journal_of(0, Frames().inventory())),
    ], files=UPDATE_FILES),
    Case("update.no-component", UPDATE, [
        ("ctlflash.efi upd-filler.img 0", "\nNot a valid firmware image.." + FAILED, UNSUPPORTED),
        ("ctlsimctl journal 0", journal_of(0, Frames().inventory())),
    ], files=UPDATE_FILES),

    # The cache switch fails: no flash request follows.
    Case("update.list-failure", UPDATE, [
        ("ctlflash.efi upd-three.img 7", LIST_FAILED + FAILED, DEVICE_ERROR),
        ("ctlsimctl journal 7", journal_of(7, Frames().inventory().list(status=9))),
    ], files=UPDATE_FILES),
    Case("update.get-failure", UPDATE, [
        ("ctlflash.efi upd-three.img 1",
         "\nFailed to get LD(2) properties Err(7).\n\nFailed to get LD properties..\nError getting LD information.."
         + FAILED, DEVICE_ERROR),
        ("ctlsimctl journal 1", journal_of(1, Frames().inventory().list().get(0).get(1).get(2, status=7))),
        ("ctlsimctl drives 1", drives(1, 0x01, 0x01, 0x01, 0x01, 0x01)),
    ], files=UPDATE_FILES),
    # The switch fails part-way: nothing has been flashed, so the drives
    # already switched are put back; drive 1 refuses every set and was
    # never changed.
    Case("update.set-failure", UPDATE, [
        ("ctlflash.efi upd-three.img 2",
         "\n\nModifying write cache policy for VD(0) WB->WT.\nModifying write cache policy for VD(1) WB->WT."
         "\nModifying write cache policy for VD(2) WB->WT.\nFailed to set LD(1) properties Err(45).\n"
         "\n\nModifying write cache policy for VD(0) WT->WB.\nModifying write cache policy for VD(2) WT->WB."
         "\nFailed to set LD(1) properties Err(45).\n" + FAILED, DEVICE_ERROR),
        ("ctlsimctl journal 2", journal_of(
            2, Frames().inventory().list().get(0).get(1).get(2).set(0).set(1, status=0x2D).set(2)
            .list().get(0).get(1).get(2).set(0).set(1, status=0x2D).set(2))),
        ("ctlsimctl drives 2", drives(2, 0x01, 0x01, 0x01)),
    ], files=UPDATE_FILES),

    # A flash request fails: a close follows a failed download or commit but
    # not a failed open. A failed first open has reached nothing on the
    # flash and the drive is put back; after a download it stays in
    # write-through and the user is told.
    Case("update.open-failure", UPDATE, [
        ("ctlflash.efi upd-app.img 3", wb_to_wt(0) + failed_with("APP ", 0x21) + wt_to_wb(0) + FAILED, DEVICE_ERROR),
        ("ctlsimctl journal 3", journal_of(
            3, Frames().inventory().guard([0]).close().open(70000, status=0x21).guard([0]))),
        ("ctlsimctl drives 3", drives(3, 0x01)),
    ], files=UPDATE_FILES),
    Case("update.download-failure", UPDATE, [
        ("ctlflash.efi upd-app.img 4",
         wb_to_wt(0) + "\nDownloading image (APP )..." + failed_with("APP ", 0x22) + kept(0) + FAILED, DEVICE_ERROR),
        ("ctlsimctl journal 4", journal_of(
            4, Frames().inventory().guard([0]).close().open(70000)
            .download(0, 32768).download(32768, 32768).download(65536, 4464, status=0x22).close())),
        ("ctlsimctl drives 4", drives(4, 0x00)),
    ], files=UPDATE_FILES),
    Case("update.commit-failure", UPDATE, [
        ("ctlflash.efi upd-app.img 5",
         wb_to_wt(0) + "\nDownloading image (APP )....\n" + failed_with("APP ", 0x23) + kept(0) + FAILED, DEVICE_ERROR),
        ("ctlsimctl journal 5", journal_of(
            5, Frames().inventory().guard([0]).close().open(70000)
            .download(0, 32768).download(32768, 32768).download(65536, 4464).commit(status=0x23).close())),
        ("ctlsimctl drives 5", drives(5, 0x00)),
    ], files=UPDATE_FILES),

    # The second of three components fails: the first stays committed, the
    # third is not attempted and the drive stays in write-through.
    Case("update.second-component-failure", UPDATE, [
        ("ctlflash.efi upd-three.img 6",
         wb_to_wt(0) + flashed("APP ", 41084) + failed_with("CTLR", 0x24) + kept(0) + FAILED, DEVICE_ERROR),
        ("ctlsimctl journal 6", journal_of(
            6, Frames().inventory().guard([0]).component(41084).close().open(2084, status=0x24), THREE[:1])),
        ("ctlsimctl drives 6", drives(6, 0x00)),
    ], files=UPDATE_FILES),
]

#
# Exit status, strict index, check and whole images.
#
# APP (good), a CTLR header whose size field is 0, then BIOS.
HOLE_SCRIPT = r"""
import struct, sys
def header(label, size):
    h = bytearray(1084)
    h[0:4] = b"TQ30"
    h[16:20] = label
    h[24:28] = struct.pack("<I", size)
    return bytes(h)
image = b"ORN#E60B7AA62A27429d821637AE4BE2FBE3FW\0" + struct.pack("<I", 1) + struct.pack("<4H", 0x1F3A, 0x0C31, 0x1F3A, 0x0101)
image += header(b"APP ", 1084 + 4000) + bytes(4000)
image += header(b"CTLR", 0)
image += header(b"BIOS", 1084 + 3000) + bytes(3000)
open(sys.argv[1], "wb").write(image)
"""
CHECK_FILES = UPDATE_FILES + [Made("upd-hole.img", "python3", "-c", HOLE_SCRIPT, "{out}")]
# The fragment as the README shows it, one script line per line.
SCRIPT_FRAGMENT = "\r\n".join([
    "ctlflash.efi %(image)s %(idx)d check",
    "set rc %%lasterror%%",
    "if %%rc%% ne 0 then",
    "  echo \"controller %(idx)d: check failed (%%rc%%), nothing written\"",
    "else",
    "  ctlflash.efi %(image)s %(idx)d",
    "  set rc %%lasterror%%",
    "  if %%rc%% ne 0 then",
    "    echo \"controller %(idx)d: update failed (%%rc%%)\"",
    "  endif",
    "endif",
])
CHECK_ONLY = "\nCheck only: nothing is written to the controller."
CHECK_PASSED = "\nCheck passed: the update would go ahead..\n"
CHECK_FAILED = "\nCheck failed: the update would not go ahead.."


def would_flash(label, size):
    count = len(pieces(size))
    return "\nWould flash (%-4s): %d bytes in %d %s" % (label, size, count, "piece" if count == 1 else "pieces")


CASES += [
    # A typo in the index never selects a controller.
    Case("args.strict-index", TWO_CONTROLLERS, [
        ("ctlflash.efi fw.img 0x1", wrong_target("0x1"), INVALID_PARAMETER),
        ("ctlflash.efi fw.img 1a", wrong_target("1a"), INVALID_PARAMETER),
        ("ctlflash.efi fw.img 1O", wrong_target("1O"), INVALID_PARAMETER),
        ("ctlflash.efi fw.img 31x", wrong_target("31x"), INVALID_PARAMETER),
        ("ctlflash.efi fw.img 4294967296", wrong_target("4294967296"), INVALID_PARAMETER),
        ("ctlflash.efi fw.img 0 Check", wrong_mode("Check"), INVALID_PARAMETER),
        ("ctlsimctl journal", journal([], [])),
    ]),

    # Exit statuses of updates: a file that cannot be read, a controller
    # that did not answer the inventory, a refused image, and a run whose
    # drives could not be restored after a successful flash.
    Case("status.update-outcomes", UPDATE, [
        ("ctlflash.efi missing.img 0", "\nopen failed :missing.img" + FAILED, LOAD_ERROR),
        ("ctlflash.efi upd-app.img 8", "\nController 8 did not answer; it is not updated..", NO_RESPONSE),
        ("ctlsimctl clear", None),
        ("ctlflash.efi upd-hole.img 0", "\nNot a valid firmware image.." + FAILED, UNSUPPORTED),
        ("ctlsimctl journal 0", journal_of(0, Frames().inventory())),
        ("ctlsimctl clear", None),
        ("ctlflash.efi upd-app.img 9",
         wb_to_wt(0) + flashed("APP ", 70000) + LIST_FAILED
         + "\nWrite-through kept for VD(0): restoring write-back failed; switch back by hand." + SUCCESS,
         DEVICE_ERROR),
        ("ctlsimctl drives 9", drives(9, 0x00)),
        ("ctlsimctl journal 9", journal_of(
            9, Frames().inventory().guard([0]).component(70000).list(status=9), [("APP ", ONE_PAYLOAD)])),
    ], files=CHECK_FILES),

    # The startup.nsh fragment of the README: check first, update only when
    # the check passed, and report a failure by its status. Neither set nor
    # if changes %lasterror%, so ctlflash's status is still there after it.
    Case("status.script-fragment", UPDATE, [
        (SCRIPT_FRAGMENT % {"image": "upd-app.img", "idx": 4}, Regex(
            re.escape(CHECK_ONLY + "\n\nWould switch VD(0) WB->WT." + would_flash("APP ", 70000) + CHECK_PASSED)
            + result_line("SUCCESS", 4, "0x0")
            + re.escape(wb_to_wt(0) + "\nDownloading image (APP )..." + failed_with("APP ", 0x22) + kept(0) + FAILED)
            + result_line("FAILED", 4, DEVICE_ERROR)
            + re.escape("controller 4: update failed (0x7)\n")), DEVICE_ERROR),
        (SCRIPT_FRAGMENT % {"image": "upd-other.img", "idx": 0}, Regex(
            re.escape(CHECK_ONLY + NOT_SUPPORTED + CHECK_FAILED) + result_line("FAILED", 0, UNSUPPORTED)
            + re.escape("controller 0: check failed (0x3), nothing written\n")), UNSUPPORTED),
    ], files=CHECK_FILES),

    # The check reads the image and the drives and names what the update
    # would do; no set-properties and no flash request reaches the
    # controller, and it fails exactly where the update would.
    Case("check.passes", UPDATE, [
        ("ctlflash.efi upd-three.img 0 check",
         CHECK_ONLY + "\n\nWould switch VD(0) WB->WT."
         + "".join(would_flash(label, HEADER_SIZE + payload.size) for label, payload in THREE) + CHECK_PASSED),
        ("ctlsimctl journal 0", journal_of(0, Frames().inventory().list().get(0).get(1))),
        ("ctlsimctl drives 0", drives(0, 0x01, 0x00)),
    ], files=CHECK_FILES),
    Case("check.fails", UPDATE, [
        ("ctlflash.efi upd-other.img 0 check", CHECK_ONLY + NOT_SUPPORTED + CHECK_FAILED, UNSUPPORTED),
        ("ctlflash.efi upd-hole.img 0 check", CHECK_ONLY + "\nNot a valid firmware image.." + CHECK_FAILED, UNSUPPORTED),
        ("ctlflash.efi missing.img 0 check", CHECK_ONLY + "\nopen failed :missing.img" + CHECK_FAILED, LOAD_ERROR),
        ("ctlsimctl clear", None),
        ("ctlflash.efi upd-three.img 7 check", CHECK_ONLY + LIST_FAILED + CHECK_FAILED, DEVICE_ERROR),
        ("ctlsimctl journal 7", journal_of(7, Frames().inventory().list(status=9))),
        ("ctlflash.efi upd-app.img 8 check", "\nController 8 did not answer; it is not updated..", NO_RESPONSE),
    ], files=CHECK_FILES),
]

#
# The listing. Rows are laid out by the print library's conversions:
# "%-5d", "%-13a", "%-6x" and "%-30a" pad on the right and never cut, "%x"
# is upper case without leading zeros.
#
LISTING_BANNER = "\n                   ORN TQ Firmware update tool v1.1\n"
LISTING_HEADER = "\nidx   BBU/SuperCap  vid    did    svid   sdid   Product name" + " " * 18
LISTING_SEPARATOR = "\n" + "-" * 79
LISTING_USAGE = ("\n\nCommand for Firmware update:\nctlflash.efi FwFile idx [force]\n"
                 "[force] - Ignore VD write policy, while updating the firmware\n")
MAKER = 0x1F3A


def listing(*rows):
    """The whole output of "ctlflash.efi" without arguments."""
    return LISTING_BANNER + LISTING_HEADER + LISTING_SEPARATOR + "".join(rows) + LISTING_USAGE


def row(idx, battery, did, svid, sdid, product):
    """One controller's row."""
    return "\n%-5d %-13s %-6X %-6X %-6X %-6X %-30s" % (idx, battery, MAKER, did, svid, sdid, product)


def failed_info(status):
    """The journal line of a refused controller-information request."""
    return "0 op 01010000 mb 00000000 00000000 00000000 dir 2 sge 1 len 2048 status %02X" % status


LISTING_EIGHT = row(0, "BBU", 0x0A11, 0x1F3A, 0x4D21, "TQ-8i RAID Adapter")

# The name of ListingUnterminated.cfg, repeated over all 704 bytes of its
# field. The application cuts it at the end of its record and prints it
# whole.
UNTERMINATED = ("TQ-Unterminated-" * 44)[:704]

CASES += [
    Case("listing.two-controllers", "Scenarios/ListingTwo.cfg", [
        ("ctlflash.efi", listing(
            LISTING_EIGHT,
            row(1, "Sorvik", 0x0D41, 0x2B1C, 0x0100, "TQ-16e Dual Port"))),
        ("ctlsimctl journal", journal(INVENTORY_FRAMES, INVENTORY_FRAMES)),
    ]),

    # A controller that fails its information request gets no battery
    # request and no row; the others keep their indexes.
    Case("listing.middle-disabled", "Scenarios/ListingMiddleDisabled.cfg", [
        ("ctlflash.efi", listing(
            LISTING_EIGHT,
            row(2, "Velka", 0x0C31, 0x1F3A, 0x0003, "TQ-24i"))),
        ("ctlsimctl journal", journal(INVENTORY_FRAMES, [failed_info(4)], INVENTORY_FRAMES)),
    ]),

    Case("listing.all-disabled", "Scenarios/ListingAllDisabled.cfg", [
        ("ctlflash.efi", listing()),
        ("ctlsimctl journal", journal([failed_info(1)], [failed_info(0x59)])),
    ]),

    # Every battery type code: fixed names for 0 to 4 and 5 with variant 0,
    # the controller's name otherwise (empty when it sent none).
    Case("listing.battery-types", "Scenarios/ListingBatteries.cfg", [
        ("ctlflash.efi", listing(
            row(0, "None", 0x0A11, MAKER, 1, "Type 0"),
            row(1, "Velka", 0x0A11, MAKER, 1, "Type 1"),
            row(2, "BBU", 0x0A11, MAKER, 1, "Type 2"),
            row(3, "DORNIS_OLD", 0x0A11, MAKER, 1, "Type 3"),
            row(4, "Tavesk", 0x0A11, MAKER, 1, "Type 4"),
            row(5, "Sorvik", 0x0A11, MAKER, 1, "Type 5 variant 0"),
            row(6, "Cap-Pack 5/1", 0x0A11, MAKER, 1, "Type 5 variant 1"),
            row(7, "Cap-Pack 6", 0x0A11, MAKER, 1, "Type 6"),
            row(8, "", 0x0A11, MAKER, 1, "Type 200 without a name"),
            row(9, "Cap-Pack 255", 0x0A11, MAKER, 1, "Type 255"))),
    ]),

    Case("listing.long-names", "Scenarios/ListingLongNames.cfg", [
        ("ctlflash.efi", listing(
            "\n0     Lithium-Ion 4S2P Pack 1F3A   B22    1F3A   7001   TQ-7710-8i SAS/SATA 12Gb/s RAID Controller x8",
            "\n1     Exactly13Char 1F3A   B23    1F3A   7002   Exactly-thirty-characters-long")),
    ]),

    Case("listing.short-ids", "Scenarios/ListingShortIds.cfg", [
        ("ctlflash.efi", listing(
            "\n0                   1F3A   A11    AB     0      TQ-2i" + " " * 25,
            "\n1     DORNIS_OLD    1F3A   A13    1      F      " + " " * 30)),
    ]),

    Case("listing.unterminated-name", "Scenarios/ListingUnterminated.cfg", [
        ("ctlflash.efi", listing(
            "\n0     None          1F3A   A11    1F3A   1      " + UNTERMINATED,
            row(1, "None", 0x0A12, MAKER, 1, "TQ-After"))),
    ]),
]

#
# Controller access: a register window behind a 64-bit BAR, and long waits.
# A notice counts the microseconds the tool has stalled, which in QEMU run
# behind the simulator's real-time delays, the more so on a busy machine (a
# 1 ms Stall takes longer than 1 ms there, never shorter). The late answers
# therefore come 15 s after the request, so that the stalled time passes the
# first notice at 5 s even when it lags real time by well over half, and the
# seconds of a closing line are matched loosely. The bring-up's wait counts
# polls, not real time, and is exact.
#
def wait_notice(location, waiting_for, seconds, flash=False):
    """One notice of a long wait, as a regular expression."""
    return re.escape("\nWaiting for the controller at %s to %s: %d s so far, at most 180 s.%s"
                     % (location, waiting_for, seconds, " Keep the power on." if flash else ""))


def wait_closing(location, ended):
    """The closing line of a wait that showed a notice, as a regular expression."""
    return re.escape("\nThe controller at %s %s after " % (location, ended)) + r"(?:[5-9]|1[0-5]) s\."


CASES += [
    # Both controllers are listed at once: on either platform the tool reaches
    # the window through PCI I/O BAR 1, not through the slot number 2.
    Case("controller.window-behind-64bit-bar", "Scenarios/WindowBehind64BitBar.cfg", [
        ("ctlflash.efi", listing(
            LISTING_EIGHT,
            row(1, "BBU", 0x0A11, 0x1F3A, 0x4D21, "TQ-8i RAID Adapter"))),
        ("ctlsimctl journal", journal(INVENTORY_FRAMES, INVENTORY_FRAMES)),
    ], timeout=30),

    # An answer 15 s late: the user is told what the tool waits for before
    # the listing comes; a bring-up that takes 6.6 s is shown the same way,
    # its notice at 5 s, inside a pause of state 0.
    Case("wait.visible-notice", "Scenarios/LongWaits.cfg", [
        ("ctlflash.efi", Regex(
            wait_notice("0000:42:00.0", "get ready (firmware state 0)", 5)
            + wait_closing("0000:42:00.0", "is ready")
            + wait_notice("0000:03:00.0", "answer (controller information)", 5)
            + wait_closing("0000:03:00.0", "answered")
            + re.escape(listing(
                LISTING_EIGHT,
                row(1, "BBU", 0x0A11, 0x1F3A, 0x4D21, "TQ-8i late start"))))),
    ]),

    # A flash download answered 15 s late: the notice asks to keep the power on.
    Case("wait.flash-notice", "Scenarios/FlashWait.cfg", [
        ("ctlflash.efi upd-three.img 0", Regex(
            re.escape(wb_to_wt(0) + "\nDownloading image (APP ).")
            + wait_notice("0000:41:00.0", "answer (flash download)", 5, flash=True)
            + wait_closing("0000:41:00.0", "answered")
            + re.escape("..\n\n(APP ) Firmware updated.."
                        + flashed("CTLR", HEADER_SIZE + CTLR_PAYLOAD.size)
                        + flashed("BIOS", HEADER_SIZE + BIOS_PAYLOAD.size)
                        + wt_to_wb(0) + SUCCESS))),
    ], files=UPDATE_FILES),
]

#
# make demo: the scenario, the files it needs and the commands (a command
# whose image file could not be made is left out).
#
DEMO_SCENARIO = "Scenarios/Demo.cfg"
DEMO_FILES = [
    Payload("app.bin", 70000),
    Payload("bios.bin", 20000),
    Payload("nvdata.bin", 3000),
    Made("fw.img", "{ctlimage}", "build", "-o", "{out}",
         "--support", "1F3A:0C31:1F3A:0101",
         "--component", "TQ30:APP:{files}/app.bin",
         "--component", "TQ30:BIOS:{files}/bios.bin",
         "--component", "TQ30:NVDT:{files}/nvdata.bin"),
]
DEMO_COMMANDS = [
    "ctlflash.efi",
    "ctlflash.efi fw.img 0 check",
    "ctlflash.efi fw.img 0",
    "ctlsimctl drives 0",
]

#
# DMA on a protected platform: bus mastering is off until the tool turns it
# on, Map hands out device addresses of its own (some above 4 GiB), and only
# live mappings reach memory. The journal shows every frame at its device
# address, no refused access, every mapping undone and every buffer freed,
# and the attributes back as they were (I/O and memory decoding, 0x300).
#
DMA_PROTECTED = "Scenarios/DmaProtected.cfg"
# A device address of the protected platform: below 4 GiB from 0x40000000,
# or above it from 0x800000000.
DEVICE_ADDRESS = r"(?:[4-9AB][0-9A-F]{7}|[89A-F][0-9A-F]{8})"


def protected_journal(controller, frames, commits=(), maps=None):
    """What "ctlsimctl journal N" prints for a controller on a protected
    platform: each frame at a device address, the summary, then the DMA
    line with the attributes back as they were and nothing left mapped."""
    pattern = ""
    for n, line in enumerate(frames.lines):
        pattern += re.escape("ctl %d frame %d %s at " % (controller, n, line)) + DEVICE_ADDRESS + r"\n"
    for n, (label, payload) in enumerate(commits):
        data = component_bytes(label, payload)
        pattern += re.escape("ctl %d commit %d size %d crc32 %08X\n" % (controller, n, len(data), zlib.crc32(data)))
    pattern += r"ctl %d summary frames %d [^\n]*\n" % (controller, len(frames.lines))
    if maps is None:
        pattern += (r"ctl %d dma protected attributes 300 initially 300 maps (\d+) unmaps \1 live 0 "
                    r"buffers (\d+) freed \2 high [1-9]\d*\n" % controller)
    else:
        pattern += re.escape("ctl %d dma protected attributes 300 initially 300 maps %d unmaps %d live 0 "
                             "buffers %d freed %d high 0\n" % ((controller,) + maps))
    return Regex(pattern)


CASES += [
    Case("dma.protected", DMA_PROTECTED, [
        # Before the run: bus mastering off, nothing mapped.
        ("ctlsimctl journal 0", protected_journal(0, Frames(), maps=(0, 0, 0, 0))),
        ("ctlflash.efi", listing(row(0, "None", 0x0C31, 0x1F3A, 0x0101, "TQ-8i protected"))),
        ("ctlflash.efi upd-three.img 0", wb_to_wt(0) + ALL_THREE + wt_to_wb(0) + SUCCESS),
        ("ctlsimctl journal 0", protected_journal(
            0, three_components(Frames().inventory().inventory().guard([0, 1])).guard([0, 1]), THREE)),
        ("ctlsimctl drives 0", drives(0, 0x01, 0x00)),
    ], files=UPDATE_FILES),
]

#
# Fleet use: controllers chosen by PCI location or all at once, the
# standard-format records read back with the shell's parse, and the help
# page. Scenarios/Fleet.cfg puts a left-out controller in front of two of
# one model and subsystem, and one of another subsystem behind them. The
# result line of every run is checked by the rig (take_result_line); a case
# that shows it spells it out.
#
FLEET = "Scenarios/Fleet.cfg"
FLEET_LEFT_OUT = "\nController at 0000:20:00.0 left out: firmware fault.."
FLEET_FILES = UPDATE_FILES + [
    Made("fleet.img", "{ctlimage}", "build", "-o", "{out}", "--support", UPDATE_SUPPORT,
         "--component", UPDATE_FAMILY + ":APP:{files}/upd-one.bin"),
]
FLEET_FORCED = "\nIgnoring VD write policy.." + flashed("APP ", 70000) + SUCCESS
FLEET_FLASHED = Frames().inventory().component(70000)


def fleet_controller(idx, location, body, word, status="0x0"):
    """One controller's part of an "all" run."""
    return "\n\nController %d at %s:%s\nctlflash controller: %s, controller %d at %s, status %s" % (
        idx, location, body, word, idx, location, status)


# The startup.nsh of the README: every supported controller updated, the
# records in a file, and each controller's outcome read back with parse.
SFO_SCRIPT = "\r\n".join([
    "ctlflash.efi fleet.img all force -sfo > fs0:\\result.csv",
    "set rc %lasterror%",
    "echo \"ctlflash exit status %rc%\"",
    "for %i run (1 3)",
    "  parse fs0:\\result.csv Update 3 -i %i",
    "  parse fs0:\\result.csv Update 12 -i %i",
    "endfor",
])

SFO_RECORDS = "".join([
    "ShellCommand,\"ctlflash\"\n",
    "Update,\"0\",\"0000:21:00.0\",\"1F3A\",\"0C31\",\"1F3A\",\"0101\",\"fleet.img\",\"%(crc)s\","
    "\"APP :70000\",\"\",\"updated\",\"0x0\"\n",
    "Update,\"1\",\"0000:22:00.0\",\"1F3A\",\"0C31\",\"1F3A\",\"0101\",\"fleet.img\",\"%(crc)s\","
    "\"APP :70000\",\"\",\"updated\",\"0x0\"\n",
    "Update,\"2\",\"0000:23:00.0\",\"1F3A\",\"0C31\",\"1F3A\",\"0202\",\"fleet.img\",\"%(crc)s\","
    "\"\",\"\",\"skipped\",\"0x0\"\n",
])

CASES += [
    # The same model twice: the location names the second card, whose
    # index is 1 only because the controller in front was left out; only it
    # is flashed. Locations that name no controller of the run are refused
    # before the file is read.
    Case("targets.location", FLEET, [
        ("ctlflash.efi fleet.img 0000:22:00.0 force", FLEET_LEFT_OUT + FLEET_FORCED),
        ("ctlsimctl journal 1", journal_of(1, Frames().inventory())),
        ("ctlsimctl journal 2", journal_of(2, FLEET_FLASHED, [("APP ", ONE_PAYLOAD)])),
        ("ctlsimctl clear", None),
        ("ctlflash.efi fleet.img 21:00.0 force",
         FLEET_LEFT_OUT + FLEET_FORCED + "\nctlflash result: SUCCESS, controller 0 at 0000:21:00.0, exit status 0x0\n"),
        ("ctlsimctl journal 2", journal_of(2, Frames().inventory())),
        ("ctlflash.efi fleet.img 0000:20:00.0", FLEET_LEFT_OUT
         + "\nThe controller at 0000:20:00.0 was left out at bring-up; it is not updated..", NOT_FOUND),
        ("ctlflash.efi fleet.img 30:00.0 check", FLEET_LEFT_OUT
         + "\nNo controller of this run is at 0000:30:00.0..", NOT_FOUND),
    ], files=FLEET_FILES),

    # all: both cards of the image's subsystem are flashed in index order,
    # the third is named and skipped, and one summary closes the run.
    Case("targets.all", FLEET, [
        ("ctlflash.efi fleet.img all force", FLEET_LEFT_OUT
         + fleet_controller(0, "0000:21:00.0", FLEET_FORCED, "SUCCESS")
         + fleet_controller(1, "0000:22:00.0", FLEET_FORCED, "SUCCESS")
         + fleet_controller(2, "0000:23:00.0", "\nSkipped: the image does not support this controller..", "SKIPPED")
         + "\nctlflash result: SUCCESS, all: 2 succeeded, 0 failed, 1 skipped, exit status 0x0\n"),
        ("ctlsimctl journal 1", journal_of(1, FLEET_FLASHED, [("APP ", ONE_PAYLOAD)])),
        ("ctlsimctl journal 2", journal_of(2, FLEET_FLASHED, [("APP ", ONE_PAYLOAD)])),
        ("ctlsimctl journal 3", journal_of(3, Frames().inventory())),
        ("ctlsimctl clear", None),
        ("ctlflash.efi fleet.img all check", FLEET_LEFT_OUT + CHECK_ONLY
         + fleet_controller(0, "0000:21:00.0", "\n\nWould flash (APP ): 70000 bytes in 3 pieces" + CHECK_PASSED, "SUCCESS")
         + fleet_controller(1, "0000:22:00.0", "\n\nWould flash (APP ): 70000 bytes in 3 pieces" + CHECK_PASSED, "SUCCESS")
         + fleet_controller(2, "0000:23:00.0", "\nSkipped: the image does not support this controller..", "SKIPPED")),
        ("ctlsimctl journal 3", journal_of(3, Frames().inventory())),
    ], files=FLEET_FILES),

    # -sfo into a file: the file holds the records only, the console the
    # messages, and parse reads the fields back.
    Case("sfo.parse", FLEET, [
        (SFO_SCRIPT, Regex(re.escape(FLEET_LEFT_OUT) + ".*"
                           + re.escape("\nctlflash result: SUCCESS, all: 2 succeeded, 0 failed, 1 skipped, exit status 0x0\n"
                                       "ctlflash exit status 0x0\n"
                                       "0000:21:00.0\nupdated\n0000:22:00.0\nupdated\n0000:23:00.0\nskipped\n"))),
        # The file holds the records and nothing else (type adds the last
        # line end).
        ("type fs0:\\result.csv", Regex(re.escape(SFO_RECORDS).replace("%\\(crc\\)s", "[0-9A-F]{8}") + "\n")),
        # On the console the messages (standard error) come between the
        # records (standard output).
        ("ctlflash.efi -sfo", "ShellCommand,\"ctlflash\"\n" + FLEET_LEFT_OUT +
         "Controller,\"0\",\"0000:21:00.0\",\"ready\",\"1F3A\",\"0C31\",\"1F3A\",\"0101\",\"None\",\"Simulated RAID Adapter\",\"\",\"\",\"\",\"\",\"\",\"\"\n"
         "Controller,\"1\",\"0000:22:00.0\",\"ready\",\"1F3A\",\"0C31\",\"1F3A\",\"0101\",\"None\",\"Simulated RAID Adapter\",\"\",\"\",\"\",\"\",\"\",\"\"\n"
         "Controller,\"2\",\"0000:23:00.0\",\"ready\",\"1F3A\",\"0C31\",\"1F3A\",\"0202\",\"None\",\"Simulated RAID Adapter\",\"\",\"\",\"\",\"\",\"\",\"\"\n"
         "Controller,\"\",\"0000:20:00.0\",\"left-out: firmware fault\",\"1F3A\",\"0C31\",\"1F3A\",\"0101\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"\n"),
    ], files=FLEET_FILES),

    # The help page built into the image, for -? and for the help command.
    Case("help.page", None, [
        ("ctlflash.efi -?", Regex(r".*CTLFLASH\.EFI FwFile target \[force \| check\] \[-sfo\]\n"
                                  r"CTLFLASH\.EFI forget LOCATION\n.*"
                                  r"SSSS:BB:DD\.F.*all .*-sfo .*0x10 +NO_RESPONSE.*EXAMPLES.*"
                                  r"fs0:\\result\.csv Update 12\n")),
        ("help ctlflash", Regex(r".*CTLFLASH\.EFI FwFile target \[force \| check\] \[-sfo\].*")),
    ]),
]

# ---------------------------------------------------------------------------
# Platforms other than the plain x86-64 one: windows at address 0 and behind
# address translation, DMA through bounce buffers, and the window
# resolution held against the platform's own PCI bus driver
# ---------------------------------------------------------------------------

CASES += [
    # An I/O window at address 0 is listed and updated; a memory window that
    # the platform describes at a translated host address is listed.
    Case("controller.platform-windows", "Scenarios/PlatformWindows.cfg", [
        ("ctlflash.efi", listing(
            row(0, "None", 0x0C31, 0x1F3A, 0x0101, "TQ-8i window at 0"),
            row(1, "BBU", 0x0D41, 0x1F3A, 0x0102, "TQ-16e translated"))),
        ("ctlflash.efi upd-three.img 0", wb_to_wt(0) + ALL_THREE + wt_to_wb(0) + SUCCESS),
        ("ctlsimctl drives 0", drives(0, 0x01, 0x00)),
    ], files=UPDATE_FILES),

    # Failed battery requests read as no battery, not as the bounce buffers'
    # old bytes; an update goes through bounce buffers, and the controller
    # may write the set record back.
    Case("dma.bounce", "Scenarios/DmaBounce.cfg", [
        ("ctlflash.efi", listing(row(0, "None", 0x0C31, 0x1F3A, 0x0101, "TQ-8i bounced"))),
        ("ctlflash.efi upd-three.img 0", wb_to_wt(0) + ALL_THREE + wt_to_wb(0) + SUCCESS),
        ("ctlsimctl drives 0", drives(0, 0x01, 0x00)),
        # No access of the controller went outside its mappings.
        ("ctlsimctl journal 0", Regex(r"(?!.*dma-fault).*")),
    ], files=UPDATE_FILES),
]


# The probe: ctlflash's window resolution ("ctlsimctl probe") on the PCI
# functions that QEMU emulates for it (RunE2E.py, PROBE_DEVICES), held
# against the BARs of their configuration headers as the shell's "pci ... -i"
# reads them through the root bridge. This shell explains the common header
# only, so the BARs are taken from its dump of configuration space. No
# controller and no simulator are involved.
PROBE_LINE = re.compile(r"^(\S+) [0-9A-F]{4}:[0-9A-F]{4} slot (\d): index (\d), (io|mem), "
                        r"base 0x([0-9A-F]+), length 0x([0-9A-F]+)$", re.M)
DUMP_LINE = re.compile(r"^\s*([0-9A-F]{8}): ((?:[0-9A-F]{2}[ -]){15}[0-9A-F]{2})", re.M)
ESCAPE = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def probe_windows(text, location):
    """(io|mem, base) of each window that the probe found for a function and
    that the platform described."""
    return [(m.group(4), int(m.group(5), 16)) for m in PROBE_LINE.finditer(text)
            if m.group(1) == location and int(m.group(6), 16) != 0]


def shell_bars(text):
    """(io|mem, base) of each BAR in the configuration dump of "pci BUS DEV
    FUNC -i": a slot that reads 0 is no BAR, a 64-bit memory BAR takes two."""
    space = {}
    for m in DUMP_LINE.finditer(ESCAPE.sub("", text)):
        for n, byte in enumerate(re.split(r"[ -]", m.group(2))):
            space[int(m.group(1), 16) + n] = int(byte, 16)
    if any(offset not in space for offset in range(0x10, 0x28)):
        return []

    def dword(offset):
        return sum(space[offset + n] << (8 * n) for n in range(4))

    bars, slot = [], 0
    while slot < 6:
        value, width = dword(0x10 + 4 * slot), 1
        if value & 1:
            bar = ("io", value & ~0x3)
        elif (value >> 1) & 0x3 == 0x2 and slot < 5:
            bar, width = ("mem", (value & ~0xF) | (dword(0x14 + 4 * slot) << 32)), 2
        else:
            bar = ("mem", value & ~0xF)
        if value != 0:
            bars.append(bar)
        slot += width
    return bars


def same_bars(location):
    """An expectation for "pci BUS DEV FUNC -i": the BARs of its dump are, in
    order, the windows that the probe (step 0 of the case) found for that
    function, each described by the platform."""
    def check(text, probe):
        shown, found = shell_bars(text), probe_windows(probe, location)
        if not shown:
            return "the shell shows no BAR"
        if shown != found:
            return "the shell shows %s, the probe found %s" % (
                [(k, hex(b)) for k, b in shown], [(k, hex(b)) for k, b in found])
        return None
    return Against(0, check, "the BARs of %s as the probe found them" % location)


CASES += [
    Case("probe.windows", None, [
        # The layouts: an I/O BAR first (virtio legacy); a memory BAR, an
        # I/O BAR, then a 64-bit memory BAR (the test device); a memory BAR,
        # an unused slot, then a 64-bit memory BAR (shared memory). A 64-bit
        # BAR takes one index and two slots; an unused slot takes an index.
        ("ctlsimctl probe", Regex(
            r"(?m)(?=.*^0000:00:10\.0 1AF4:1005 slot 0: index 0, io, )"
            r"(?=.*^0000:00:11\.0 1B36:0005 slot 1: index 1, io, )"
            r"(?=.*^0000:00:11\.0 1B36:0005 slot 2: index 2, mem, )"
            r"(?=.*^0000:00:12\.0 1AF4:1110 slot 2: index 2, mem, )"
            r".*")),
        ("pci 0 10 0 -i", same_bars("0000:00:10.0")),
        ("pci 0 11 0 -i", same_bars("0000:00:11.0")),
        ("pci 0 12 0 -i", same_bars("0000:00:12.0")),
    ], files=["@build/ctlsimctl.efi"], timeout=30),

]

#
# Hostile input: images with more components than the application's table
# holds or a cut header after the last one it counts, file names beyond
# Latin-1, and a complete update whose re-read of the drives fails with
# nothing to restore.
#
HOSTILE = "Scenarios/HostileInput.cfg"
# 64 small components of the update scenario's family, then either a 65th
# or a 65th header cut short by the end of the file.
MANY_SCRIPT = r"""
import struct, sys
def header(label, size):
    h = bytearray(1084)
    h[0:4] = b"TQ30"
    h[16:20] = label
    h[24:28] = struct.pack("<I", size)
    return bytes(h)
image = b"ORN#E60B7AA62A27429d821637AE4BE2FBE3FW\0" + struct.pack("<I", 1) + struct.pack("<4H", 0x1F3A, 0x0C31, 0x1F3A, 0x0101)
for n in range(64):
    image += header(b"CTLR", 1084 + 4) + bytes([n]) * 4
if sys.argv[2] == "65":
    image += header(b"BIOS", 1084 + 4) + bytes(4)
else:
    image += header(b"BIOS", 1084 + 4)[:600]
open(sys.argv[1], "wb").write(image)
"""
HOSTILE_FILES = UPDATE_FILES + [
    Made("upd-65.img", "python3", "-c", MANY_SCRIPT, "{out}", "65"),
    Made("upd-64cut.img", "python3", "-c", MANY_SCRIPT, "{out}", "cut"),
]
NOT_VALID = "\nNot a valid firmware image.."

CASES += [
    # Part of a firmware set is worse than none: nothing is flashed.
    Case("image.more-than-64-components", HOSTILE, [
        ("ctlflash.efi upd-65.img 0", NOT_VALID + FAILED, UNSUPPORTED),
        ("ctlflash.efi upd-65.img 0 force", NOT_VALID + FAILED, UNSUPPORTED),
        ("ctlflash.efi upd-65.img 0 check", CHECK_ONLY + NOT_VALID + CHECK_FAILED, UNSUPPORTED),
        ("ctlsimctl journal 0", journal_of(0, Frames().inventory().inventory().inventory())),
    ], files=HOSTILE_FILES),
    Case("image.cut-header-after-64", HOSTILE, [
        ("ctlflash.efi upd-64cut.img 0 force", NOT_VALID + FAILED, UNSUPPORTED),
        ("ctlsimctl journal 0", journal_of(0, Frames().inventory())),
    ], files=HOSTILE_FILES),

    # A name beyond Latin-1 would lose characters on its way to the file
    # layer (U+0100 would end it after "fw"): it is refused before anything
    # is opened or asked.
    Case("args.file-name-beyond-latin1", HOSTILE, [
        ("ctlflash.efi fw\u0100old.img 0",
         "\nFwFile has a character above U+00FF; such a file name cannot be opened..", INVALID_PARAMETER),
        ("ctlflash.efi upd-\u0141pp.img 0 check",
         "\nFwFile has a character above U+00FF; such a file name cannot be opened..", INVALID_PARAMETER),
        ("ctlsimctl journal 0", journal_of(0, Frames())),
    ], files=HOSTILE_FILES),

    # No drive was switched, so the failing re-read after the flash leaves
    # nothing undone: the update is reported as the success it is.
    Case("update.nothing-to-restore", HOSTILE, [
        ("ctlflash.efi upd-app.img 0", "\n\n" + flashed("APP ", 70000) + LIST_FAILED + SUCCESS),
        ("ctlsimctl journal 0", journal_of(
            0, Frames().inventory().guard([0]).component(70000).list(status=9), [("APP ", ONE_PAYLOAD)])),
    ], files=HOSTILE_FILES),
]

# An image of 8 MiB on a volume that QEMU reads at 1 MiB/s: the read passes
# 5 s, and the application says how far it has got.
SLOW_PAYLOAD = Slow(Payload("slow-app.bin", 8 << 20, 21))
SLOW_FILES = [SLOW_PAYLOAD,
              Slow(Made("slow.img", "{ctlimage}", "build", "-o", "{out}", "--support", UPDATE_SUPPORT,
                        "--component", UPDATE_FAMILY + ":APP:{files}/slow-app.bin"))]

CASES += [
    Case("read.slow-medium", HOSTILE, [
        ("ctlflash.efi %slow%slow.img 0 check", Regex(
            re.escape(CHECK_ONLY)
            + r"(\nReading fs[01]:\\slow\.img: \d+ MiB of 9 MiB so far, please wait\.)+"
            + re.escape("\n" + would_flash("APP ", HEADER_SIZE + (8 << 20)) + CHECK_PASSED))),
    ], files=SLOW_FILES, timeout=120),
]
