# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Power-cut cases: each runs two boots of one machine that share a single
copy of the firmware's variable store. The first boot cuts the power (the
rig kills QEMU) as soon as the console shows a given text; the second boot
runs on a volume whose startup.nsh and ctlsim.cfg are replaced.

A boot is a scenario (the driver's ctlsim.cfg), its steps as in Cases.py,
and for a boot that is cut off the text at which the power goes; the step
that is running then is judged on what it printed so far (its Regex must
match that, and it has no status)."""

import re

from CaseTypes import Regex, Step
from Cases import (SUCCESS, UPDATE_FILES, wb_to_wt, wt_to_wb)

LOCATION = "0000:41:00.0"
RECORD_GUID = "D5F4878A-D9FF-40D5-A1D9-871F6793F5C3"
KEEP_POWER_ON = "Keep the power on."
WAITING = "Waiting for the controller at " + LOCATION
# A cut text is the end of a notice, so that the whole notice is on record.

class Boot:
    def __init__(self, scenario, steps, cut_at=None):
        self.scenario = scenario
        self.steps = [s if isinstance(s, Step) else Step(*s) for s in steps]
        self.cut_at = cut_at


class PowerCutCase:
    def __init__(self, name, boots, files=(), timeout=400):
        if not re.fullmatch(r"[A-Za-z0-9_.-]+", name):
            raise ValueError("case name %r: letters, digits, '.', '_' and '-' only" % name)
        self.name = name
        self.boots = boots
        self.files = list(files)
        self.timeout = timeout


def note(date_and_drives):
    return re.escape("\nController 0 at %s: an update was cut off on " % LOCATION) \
        + r"\d{4}-\d\d-\d\d \d\d:\d\d" + re.escape("; " + date_and_drives + " held in write-through.")


TAKE_OVER = r"\nWrite-back saved by the update cut off on \d{4}-\d\d-\d\d \d\d:\d\d for VD\(0\) VD\(2\): "

# The second boot: listing, check and update name and finish the cut-off
# update; then the drives are in write-back, the record is gone, and a
# listing says nothing more.
SECOND_BOOT = Boot("Scenarios/PowerCutHealthy.cfg", [
    ("ctlflash.efi", Regex(r".*" + note("VD(0) VD(2)") + r"\n\nCommand for Firmware update:.*")),
    ("ctlflash.efi upd-three.img 0 check", Regex(
        r".*" + note("VD(0) VD(2)") + r".*" + TAKE_OVER + re.escape("the update would put it back at the end.")
        + r".*\nCheck passed: the update would go ahead\.\.\n")),
    ("ctlflash.efi upd-three.img 0", Regex(
        r"\n" + TAKE_OVER + re.escape("it is put back at the end.") + r"\n.*"
        + re.escape("(BIOS) Firmware updated.." + wt_to_wb(0, 2) + SUCCESS))),
    ("ctlsimctl drives 0", Regex(r".*tid 0 ref 00000000 policy 01\n.*tid 1 ref 00000001 policy 00\n.*tid 2 ref 00000002 policy 11\n")),
    ("ctlflash.efi", Regex(r"(?!.*cut off).*\nCommand for Firmware update:.*")),
    ("ctlflash.efi forget " + LOCATION, "\nNo update record for %s." % LOCATION, "0xE"),
])

CASES = [
    # The power goes while the first download waits for its answer.
    PowerCutCase("powercut.first-download", [
        Boot("Scenarios/PowerCutDownload.cfg", [
            ("ctlflash.efi upd-three.img 0", Regex(
                re.escape(wb_to_wt(0, 2) + "\nDownloading image (APP ).") + r"\n" + re.escape(WAITING) + r".*")),
        ], cut_at=KEEP_POWER_ON),
        SECOND_BOOT,
    ], files=UPDATE_FILES),
    # The power goes after the last commit, while the restore reads the
    # drive list.
    PowerCutCase("powercut.before-restore", [
        Boot("Scenarios/PowerCutRestore.cfg", [
            ("ctlflash.efi upd-three.img 0", Regex(
                re.escape(wb_to_wt(0, 2)) + r".*" + re.escape("(BIOS) Firmware updated..") + r"\n"
                + re.escape(WAITING + " to answer (logical drive list)") + r".*")),
        ], cut_at="at most 180 s."),
        SECOND_BOOT,
    ], files=UPDATE_FILES),
]
