#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""End-to-end rig of ctlflash: the UEFI Shell of OVMF under QEMU runs the
cases of Cases.py from a FAT volume and the serial transcript is checked.
With --arch aarch64 the machine is QEMU's "virt" board with AAVMF, the
volume on virtio-blk-pci, and the cases are those that Aarch64Cases.py
names; --efi-dir then names the folder of the AArch64 images.

One boot runs every case. The volume holds ctlflash.efi, the simulator's
driver and control application, the scenario files, the image files and a
startup.nsh written from the case table. Each shell command of the table is
bracketed by echo markers:

    echo "@@CTL-STEP 7"
    ctlflash.efi fw.img 2
    echo "@@CTL-STATUS 7 %lasterror%"

The bytes between the two markers are exactly what the command printed: the
shell adds nothing of its own around a command while echo is off. A text that
ends without a line feed runs straight into the closing marker, so markers are
found anywhere in a line, not only at its start. The console
turns every "\\n" that the print library emits into "\\r\\n"; the rig turns
each "\\r\\n" back into "\\n" and changes nothing else, so the expected texts
of the table are the product's own texts. %lasterror% is the command's
EFI_STATUS as the shell prints it (0x0 is EFI_SUCCESS).

Commands (each takes --arch x64|aarch64, x64 by default):
  list                      print the case names, one a line
  boot  --efi-dir D --out O boot once, write O/results.json and transcripts
  check NAME --out O        judge one case against O/results.json
  run   --efi-dir D --out O boot, then judge every case
  (boot and run take --case NAME,... and --only PREFIX,... to run just
   some cases: the boot then holds only their steps and files)
  demo  --efi-dir D --out O boot the demo steps and print the transcript
  shell --efi-dir D --out O interactive shell with the same volume
  powercut NAME --efi-dir D --out O
                            run one case of PowerCutCases.py: two boots
                            sharing one variable store, the first cut off
  list-powercut             print the power-cut case names
"""

import argparse
import difflib
import json
import os
import re
import select
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import Aarch64Cases  # noqa: E402
import Cases  # noqa: E402  (the table lives beside this file)
import PowerCutCases  # noqa: E402
from CaseTypes import Against, Made, Payload, Regex, Slow, Step  # noqa: E402

APP = "ctlflash.efi"
DRIVER = "CtlSimDxe.efi"
CONTROL = "ctlsimctl.efi"
DEFAULT_CONFIG = "ctlsim.cfg"
# Deletes every update record that ctlflash.efi keeps in the variable store
# (its own vendor GUID): the cases share one store, and each starts without
# a record that an earlier case left. Its status is not judged (the shell
# answers "not found" when there is none).
WIPE_RECORDS = "dmpstore -d -guid " + PowerCutCases.RECORD_GUID

STEP_RE = re.compile(r"@@CTL-STEP (\d+)\r\n")
STATUS_RE = re.compile(r"@@CTL-STATUS (\d+) (\S*)\r\n")
DONE = "@@CTL-DONE"

OVMF_CODE_CANDIDATES = ["/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_CODE.fd"]
AAVMF_CODE_CANDIDATES = ["/usr/share/AAVMF/AAVMF_CODE.fd"]
ARCHS = ("x64", "aarch64")
SHELL_TIMEOUT = 180   # seconds from QEMU start to the first marker

# PCI functions with different BAR layouts that only the probe case looks
# at (Cases.py, "probe."): no network device, so the boot order stays as it
# is. Bus 0, devices 0x10-0x12 on both machines.
PROBE_DEVICES = [
    "-device", "virtio-rng-pci,disable-modern=on,addr=0x10",
    "-device", "pci-testdev,membar=1M,addr=0x11",
    "-object", "memory-backend-ram,id=ctlprobe,size=1M",
    "-device", "ivshmem-plain,memdev=ctlprobe,addr=0x12",
]
EXIT_GRACE = 15       # seconds for QEMU to power off after the last marker


def cases_for(arch, only=None, names=None):
    """The cases that run on a machine: all of them on x64, those that
    Aarch64Cases.py names on aarch64 (in the order of the table). A name
    that the table lacks is an error. With only (name prefixes, comma
    separated) or names (whole case names, a list of comma-separated
    strings), just the cases that one of them picks, still in table order:
    the boot then holds their steps and their files alone, and loads the
    simulator only when one of them needs it. A name that picks no case of
    the machine is an error."""
    chosen = all_cases_for(arch)
    if not only and not names:
        return chosen
    prefixes = [p for p in (only or "").split(",") if p]
    wanted = [n for group in (names or []) for n in group.split(",") if n]
    known = {c.name for c in chosen}
    unknown = [n for n in wanted if n not in known]
    if unknown:
        where = "Cases.py" if arch == "x64" else "the AArch64 run (Aarch64Cases.py)"
        raise SystemExit("no case named %s in %s; RunE2E.py list --arch %s names them" % (
            ", ".join(unknown), where, arch))
    return [c for c in chosen if c.name in wanted or any(c.name.startswith(p) for p in prefixes)]


def all_cases_for(arch):
    if arch == "x64":
        return list(Cases.CASES)
    known = {c.name for c in Cases.CASES}
    unknown = [n for n in Aarch64Cases.NAMES if n not in known]
    if unknown:
        raise SystemExit("Aarch64Cases.py names cases that Cases.py does not define: " + ", ".join(unknown))
    wanted = set(Aarch64Cases.NAMES)
    return [c for c in Cases.CASES if c.name in wanted]


def resolve(path, efi_dir):
    """A file of the table: '@build/x' lies in the build directory, any other
    relative path beside this file."""
    if path.startswith("@build/"):
        return os.path.join(efi_dir, path[len("@build/"):])
    return os.path.join(HERE, path)


# ---------------------------------------------------------------------------
# Planning: the order of the steps in the one boot
# ---------------------------------------------------------------------------

def plan(cases, efi_dir, out, tools):
    """Return (steps, volume files, skipped): steps is a list of dicts with the
    command, the owning case and what it must give; the setup steps (loading
    the driver, switching the scenario) belong to the case they prepare.
    Files that the cases make (Payload, Made) are made here, in out/files."""
    have_driver = os.path.isfile(os.path.join(efi_dir, DRIVER))
    have_control = os.path.isfile(os.path.join(efi_dir, CONTROL))
    files = {APP: os.path.join(efi_dir, APP)}
    steps = []
    skipped = {}
    made = {}

    def add(case, step, setup=False, any_status=False):
        steps.append({"id": len(steps), "case": case.name, "command": step.command,
                      "setup": setup, "any_status": any_status, "timeout": case.timeout})

    def add_file(name, path):
        if name in files and os.path.abspath(files[name]) != os.path.abspath(path):
            raise ValueError("two different files would be %s on the volume" % name)
        files[name] = path

    # Cases without the simulator run first: the driver cannot be unloaded.
    bare = [c for c in cases if c.scenario is None]
    simulated = [c for c in cases if c.scenario is not None]
    driver_loaded = False
    for case in bare + simulated:
        if case.scenario is not None and not (have_driver and have_control):
            skipped[case.name] = "the simulator (%s, %s) is not built in %s" % (DRIVER, CONTROL, efi_dir)
            continue
        try:
            for name, path in volume_files(case.files, efi_dir, out, tools, made):
                add_file(name, path)
        except (OSError, subprocess.CalledProcessError) as error:
            skipped[case.name] = "a file of the case could not be made: %s" % error
            continue
        if case.scenario is not None:
            scenario = os.path.basename(case.scenario)
            add_file(scenario, resolve(case.scenario, efi_dir))
            if not driver_loaded:
                # The driver reads ctlsim.cfg from the volume when it starts.
                add_file(DEFAULT_CONFIG, resolve(case.scenario, efi_dir))
                add_file(DRIVER, os.path.join(efi_dir, DRIVER))
                add_file(CONTROL, os.path.join(efi_dir, CONTROL))
                add(case, Step("load " + DRIVER), setup=True)
                driver_loaded = True
            # Every case starts from a freshly loaded scenario, and without
            # update records.
            add(case, Step("ctlsimctl load " + scenario), setup=True)
            add(case, Step(WIPE_RECORDS), setup=True, any_status=True)
        for step in case.steps:
            add(case, step)
    return steps, files, skipped


def volume_files(entries, efi_dir, out, tools, made):
    """(name on the volume, host path) of a case's files, making those that
    are made (each name once per run; one name, one recipe)."""
    result = []
    for entry in entries:
        if isinstance(entry, (Payload, Made, Slow)):
            path = os.path.join(out, "files", entry.name)
            if entry.name in made:
                if made[entry.name] != repr(entry):
                    raise ValueError("two recipes for %s: %s and %r" % (entry.name, made[entry.name], entry))
            else:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                entry.make(path, tools)
                made[entry.name] = repr(entry)
            # Files of the slow volume are told apart by their key.
            result.append(((SLOW_PREFIX if isinstance(entry, Slow) else "") + entry.name, path))
        else:
            result.append((os.path.basename(entry), resolve(entry, efi_dir)))
    return result


SLOW_PREFIX = "slow/"


def startup_script(commands, slow_volume=False):
    """startup.nsh for a list of command lines, markers around each. With a
    slow volume, whichever of fs0: and fs1: lacks the application is the
    slow one, and %slow% names its root."""
    lines = ["echo -off"]
    if slow_volume:
        lines += ["if exist fs0:\\%s then" % APP, "  set slow fs1:\\", "  fs0:",
                  "else", "  set slow fs0:\\", "  fs1:", "endif"]
    else:
        lines.append("fs0:")
    for i, command in enumerate(commands):
        lines.append('echo "@@CTL-STEP %d"' % i)
        lines.append(command)
        lines.append('echo "@@CTL-STATUS %d %%lasterror%%"' % i)
    lines.append('echo "%s"' % DONE)
    lines.append("reset -s")
    # UCS-2 with its byte-order mark, so that any CHAR16 reaches the shell.
    return "\ufeff" + "\r\n".join(lines) + "\r\n"


# ---------------------------------------------------------------------------
# The volume and the machine
# ---------------------------------------------------------------------------

def make_volumes(out, files, commands):
    """The volume with the files and the startup script, and the slow
    volume with the files of Slow entries (None when there are none)."""
    slow = {k[len(SLOW_PREFIX):]: v for k, v in files.items() if k.startswith(SLOW_PREFIX)}
    plain = {k: v for k, v in files.items() if not k.startswith(SLOW_PREFIX)}
    image = make_volume(out, plain, startup_script(commands, bool(slow)))
    slow_image = make_volume(out, slow, None, "slow.img", "CTLSLOW") if slow else None
    return image, slow_image


def make_volume(out, files, script, image_name="volume.img", label="CTLTEST"):
    """A FAT volume image with the given files at its root (and the startup
    script, unless it is None)."""
    for name, path in files.items():
        if not os.path.isfile(path):
            raise FileNotFoundError("%s (for %s on the volume) does not exist" % (path, name))
    payload = sum(os.path.getsize(p) for p in files.values())
    mib = max(32, (2 * payload) // (1 << 20) + 8)
    image = os.path.join(out, image_name)
    if os.path.exists(image):
        os.remove(image)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    # 64 heads x 32 sectors: one cylinder is 1 MiB.
    subprocess.run(["mformat", "-i", image, "-C", "-T", str(mib * 2048), "-h", "64", "-s", "32",
                    "-v", label, "::"], check=True, env=env)
    extra = []
    if script is not None:
        script_path = os.path.join(out, "startup.nsh")
        with open(script_path, "w", encoding="utf-16-le", newline="") as f:
            f.write(script)
        extra = [("startup.nsh", script_path)]
    for name, path in sorted(files.items()) + extra:
        subprocess.run(["mcopy", "-i", image, "-o", path, "::/" + name], check=True, env=env)
    return image


def firmware(arch):
    """(code, variable store template) of the machine's UEFI firmware."""
    if arch == "aarch64":
        code = os.environ.get("CTL_AAVMF_CODE") or next((p for p in AAVMF_CODE_CANDIDATES if os.path.isfile(p)), None)
        if code is None:
            raise FileNotFoundError("no AAVMF firmware in /usr/share/AAVMF (install the qemu-efi-aarch64 package)")
        return code, os.environ.get("CTL_AAVMF_VARS") or code.replace("AAVMF_CODE", "AAVMF_VARS")
    code = os.environ.get("CTL_OVMF_CODE") or next((p for p in OVMF_CODE_CANDIDATES if os.path.isfile(p)), None)
    if code is None:
        raise FileNotFoundError("no OVMF firmware in /usr/share/OVMF (install the ovmf package)")
    return code, os.environ.get("CTL_OVMF_VARS") or code.replace("OVMF_CODE", "OVMF_VARS")


def qemu_command(out, image, arch="x64", interactive=False, vars_file=None,
                 slow_image=None):
    """The QEMU command line. The variable store is a fresh copy of the
    firmware's template in OUT, or vars_file when given (a power-cut case
    hands the same copy to both of its boots)."""
    code, vars_template = firmware(arch)
    if vars_file is None:
        vars_copy = os.path.join(out, "vars.fd")
        shutil.copyfile(vars_template, vars_copy)
    else:
        vars_copy = vars_file
    if arch == "aarch64":
        # No acceleration (TCG), as on the x86-64 machine.
        machine = [os.environ.get("CTL_QEMU_AARCH64", "qemu-system-aarch64"),
                   "-machine", "virt", "-cpu", "max", "-m", "512", "-smp", "1"]
        disk = ["-drive", "if=none,format=raw,id=volume,file=" + image,
                "-device", "virtio-blk-pci,drive=volume"]
        if slow_image:
            disk += ["-drive", "if=none,format=raw,id=slow,file=%s,throttling.bps-read=%d" % (
                         slow_image, Slow.SLOW_BYTES_PER_SECOND),
                     "-device", "virtio-blk-pci,drive=slow"]
    else:
        machine = [os.environ.get("CTL_QEMU", "qemu-system-x86_64"),
                   "-machine", "q35", "-m", "256", "-smp", "1"]
        disk = ["-drive", "format=raw,if=ide,file=" + image]
        if slow_image:
            disk += ["-drive", "format=raw,if=ide,index=1,file=%s,throttling.bps-read=%d" % (
                slow_image, Slow.SLOW_BYTES_PER_SECOND)]
    command = machine + [
        "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + code,
        "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy,
    ] + disk + PROBE_DEVICES + [
        "-net", "none", "-vga", "none", "-display", "none", "-no-reboot",
    ]
    if interactive:
        return command + ["-serial", "mon:stdio"]
    return command + ["-serial", "stdio", "-monitor", "none", "-parallel", "none"]


def boot(out, image, steps, arch="x64", vars_file=None, cut_at=None, slow_image=None):
    """Run QEMU until the last marker, a hung step or a time-out; with
    cut_at, kill it (the power cut) as soon as the console shows that text
    after the first step began.

    Returns (raw transcript as str, outcome dict)."""
    command = qemu_command(out, image, arch, vars_file=vars_file, slow_image=slow_image)
    started = time.monotonic()
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    raw = bytearray()
    key_sent = False
    outcome = {"error": None, "hung_step": None, "seconds": None, "boot_seconds": None, "cut": False}
    step_started = None   # (id, time) of the step that has not returned yet
    done_at = None
    try:
        while True:
            now = time.monotonic()
            ready, _, _ = select.select([proc.stdout], [], [], 0.5)
            if ready:
                chunk = os.read(proc.stdout.fileno(), 65536)
                if not chunk:
                    break
                raw.extend(chunk)
            text = raw.decode("latin-1")
            # Any key but Esc skips the shell's five-second countdown.
            if not key_sent and "any other key" in text:
                proc.stdin.write(b" ")
                proc.stdin.flush()
                key_sent = True
            begun = [int(m.group(1)) for m in STEP_RE.finditer(text)]
            ended = {int(m.group(1)) for m in STATUS_RE.finditer(text)}
            if cut_at is not None and begun and cut_at in text[STEP_RE.search(text).end():]:
                proc.kill()
                outcome["cut"] = True
                break
            if begun and outcome["boot_seconds"] is None:
                outcome["boot_seconds"] = round(now - started, 1)
            open_steps = [i for i in begun if i not in ended]
            if open_steps:
                if step_started is None or step_started[0] != open_steps[-1]:
                    step_started = (open_steps[-1], now)
                if now - step_started[1] > steps[step_started[0]]["timeout"]:
                    outcome["hung_step"] = step_started[0]
                    outcome["error"] = "step %d (%s: %s) did not return within %d s" % (
                        step_started[0], steps[step_started[0]]["case"],
                        steps[step_started[0]]["command"], steps[step_started[0]]["timeout"])
                    break
            else:
                step_started = None
            if DONE in text:
                if done_at is None:
                    done_at = now
                if proc.poll() is not None or now - done_at > EXIT_GRACE:
                    break
            elif not begun and now - started > SHELL_TIMEOUT:
                outcome["error"] = "the shell ran no step within %d s" % SHELL_TIMEOUT
                break
            if proc.poll() is not None and not ready:
                break
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        rest = proc.stdout.read()
        if rest:
            raw.extend(rest)
        stderr = proc.stderr.read().decode(errors="replace")
    outcome["seconds"] = round(time.monotonic() - started, 1)
    text = raw.decode("latin-1")
    if outcome["error"] is None and DONE not in text and not outcome["cut"]:
        outcome["error"] = "QEMU stopped before the last step (exit code %s)%s" % (
            proc.returncode, (": " + stderr.strip()) if stderr.strip() else "")
    return text, outcome


def split(text, count):
    """Per step: its output (CR LF made LF) and status, or nothing when the
    step never returned."""
    results = {}
    for m in STEP_RE.finditer(text):
        i = int(m.group(1))
        if i >= count:
            continue
        end = re.compile(r"@@CTL-STATUS %d (\S*)\r\n" % i).search(text, m.end())
        if end is None:
            results[i] = {"output": normalise(text[m.end():]), "status": None}
        else:
            results[i] = {"output": normalise(text[m.end():end.start()]), "status": end.group(1)}
    return results


def normalise(text):
    return text.replace("\r\n", "\n")


# ---------------------------------------------------------------------------
# Commands
# ---------------------------------------------------------------------------

def cmd_boot(args):
    os.makedirs(args.out, exist_ok=True)
    cases = cases_for(args.arch, getattr(args, "only", None), getattr(args, "case", None))
    results_path = os.path.join(args.out, "results.json")
    if os.path.exists(results_path):
        os.remove(results_path)
    shutil.rmtree(os.path.join(args.out, "files"), ignore_errors=True)
    steps, files, skipped = plan(cases, args.efi_dir, args.out, tools(args))
    image, slow_image = make_volumes(args.out, files, [s["command"] for s in steps])
    print("Booting %s with %d steps of %d cases" % (
        "AAVMF" if args.arch == "aarch64" else "OVMF", len(steps), len(cases)), flush=True)
    text, outcome = boot(args.out, image, steps, args.arch, slow_image=slow_image)
    with open(os.path.join(args.out, "transcript.raw"), "w", encoding="latin-1", newline="") as f:
        f.write(text)
    with open(os.path.join(args.out, "transcript.txt"), "w", encoding="latin-1", newline="") as f:
        f.write(normalise(text))
    per_step = split(text, len(steps))
    for step in steps:
        step.update(per_step.get(step["id"], {"output": None, "status": None}))
    with open(results_path, "w") as f:
        json.dump({"steps": steps, "skipped": skipped, "outcome": outcome}, f, indent=1)
    print("Shell reached after %s s; whole run %s s" % (outcome["boot_seconds"], outcome["seconds"]))
    for case in cases:
        print("  %-50s %s" % (case.name, judge(case, steps, skipped, outcome)[0]))
    if outcome["error"]:
        print("Run stopped early: " + outcome["error"])
    # A hung step fails its case; only a rig that never reached the shell
    # fails here.
    if outcome["boot_seconds"] is None:
        print("The UEFI Shell never ran the script; transcript in " + os.path.join(args.out, "transcript.txt"))
        return 1
    return 0


RESULT_PREFIX = "\nctlflash result: "


def owes_result_line(command):
    """TRUE for an update or check command line of ctlflash.efi: any word
    after the program name besides -sfo, up to a redirection ("-?" is the
    shell's help, which never starts the program). None for a script of
    several lines, which is not looked at here: its expectation shows its
    result lines."""
    if "\n" in command:
        return None
    words = command.split()
    if not words or words[0].lower() != APP:
        return False
    rest = []
    for word in words[1:]:
        if word.startswith(">") or word.startswith("1>") or word.startswith("2>") or word == "|":
            break
        rest.append(word)
    if "-?" in rest:
        return False
    words = [w for w in rest if w != "-sfo"]
    if len(words) == 2 and words[0].lower() == "forget":
        return False
    return bool(words)


def take_result_line(command, output, status):
    """(output without its result line, problems). Every update or check run
    must end with its result line, which says SUCCESS exactly when the exit
    status is 0x0 and names the exit status as %lasterror% does; a listing
    prints none."""
    found = output.rfind(RESULT_PREFIX)
    owed = owes_result_line(command)
    if owed is None:
        return output, []
    if not owed:
        if found >= 0:
            return output, ["  a result line where none is due"]
        return output, []
    if found < 0 or not output.endswith("\n") or output.find("\n", found + 1) != len(output) - 1:
        return output, ["  the output does not end with a result line"]
    line = output[found + 1:-1]
    problems = []
    word = "SUCCESS" if status == "0x0" else "FAILED"
    if not line.startswith("ctlflash result: %s, " % word) or not line.endswith(", exit status %s" % status):
        problems.append("  result line %r does not agree with lasterror %s" % (line, status))
    return output[:found], problems


def judge(case, steps, skipped, outcome):
    """(verdict word, explanation) of one case against the recorded steps."""
    if case.name in skipped:
        return "FAILED", "not run: " + skipped[case.name]
    mine = [s for s in steps if s["case"] == case.name]
    if not mine:
        return "FAILED", "the case has no steps in the recorded run (run boot again)"
    wanted = iter(case.steps)
    report = []
    failed = False
    outputs = []   # of the case's own steps so far, for Against
    for s in mine:
        if s["setup"]:
            expected = Step(s["command"], status=None if s.get("any_status") else "0x0")
        else:
            expected = next(wanted)
        if expected.command != s["command"]:
            return "FAILED", "the recorded run is older than the table (run boot again)"
        shown = "Shell> " + s["command"]
        if s["output"] is None:
            reason = outcome.get("error") or "the run ended before it"
            report.append("%s\n  not run: %s" % (shown, reason))
            failed = True
            break
        if s["status"] is None:
            report.append("%s\n  did not return (%s); output so far:\n%s" % (
                shown, outcome.get("error"), indent(s["output"])))
            failed = True
            break
        problems = []
        if expected.status is not None and s["status"] != expected.status:
            problems.append("  lasterror %s, expected %s" % (s["status"], expected.status))
        # An expectation that shows the result line itself is compared with
        # the whole output; any other with the output before that line.
        output = s["output"]
        if not s["setup"]:
            stripped, line_problems = take_result_line(s["command"], output, s["status"])
            problems += line_problems
            shows_line = "ctlflash result: " in (expected.expect if isinstance(expected.expect, str) else
                                                 expected.expect.pattern if isinstance(expected.expect, Regex) else "")
            if not shows_line:
                output = stripped
        if isinstance(expected.expect, str) and output != expected.expect:
            problems.append(diff(expected.expect, output))
        elif isinstance(expected.expect, Regex) and not expected.expect.matches(output):
            problems.append("  output does not match %r:\n%s" % (expected.expect, indent(output)))
        elif isinstance(expected.expect, Against):
            problem = expected.expect.judge(s["output"], outputs)
            if problem:
                problems.append("  %s:\n%s" % (problem, indent(s["output"])))
        if not s["setup"]:
            outputs.append(s["output"])
        if problems:
            failed = True
            report.append(shown + "\n" + "\n".join(problems))
        else:
            report.append("%s\n  ok, lasterror %s, output %r" % (shown, s["status"], s["output"]))
    return ("FAILED" if failed else "passed"), "\n".join(report)


def indent(text):
    return "\n".join("    | " + line for line in text.split("\n"))


def diff(expected, actual):
    lines = ["  output differs (expected, then actual, as Python literals):",
             "    " + repr(expected), "    " + repr(actual)]
    udiff = difflib.unified_diff(expected.split("\n"), actual.split("\n"), "expected", "actual", lineterm="")
    lines += ["    " + line for line in udiff]
    return "\n".join(lines)


def load_results(out):
    path = os.path.join(out, "results.json")
    if not os.path.isfile(path):
        return None
    with open(path) as f:
        return json.load(f)


def cmd_check(args):
    case = next((c for c in cases_for(args.arch) if c.name == args.name), None)
    if case is None:
        print("no case named " + args.name)
        return 1
    results = load_results(args.out)
    if results is None:
        print("no recorded run in %s (the boot step failed or did not run)" % args.out)
        return 1
    verdict, report = judge(case, results["steps"], results["skipped"], results["outcome"])
    print(report)
    print(verdict)
    return 0 if verdict == "passed" else 1


def cmd_run(args):
    rc = cmd_boot(args)
    results = load_results(args.out)
    if results is None:
        return 1
    passed = failed = 0
    for case in cases_for(args.arch, getattr(args, "only", None), getattr(args, "case", None)):
        verdict, report = judge(case, results["steps"], results["skipped"], results["outcome"])
        if verdict == "passed":
            passed += 1
        else:
            failed += 1
            print("\n--- %s\n%s" % (case.name, report))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or rc else 0


def cmd_list(args):
    for case in cases_for(args.arch):
        print(case.name)
    return 0


def demo_plan(args):
    """The demo's commands and volume files: the simulator with the demo
    scenario when it is built, ctlflash.efi alone otherwise; a command that
    names a file that could not be made is left out."""
    efi_dir = args.efi_dir
    files = {APP: os.path.join(efi_dir, APP)}
    commands = []
    have_sim = all(os.path.isfile(os.path.join(efi_dir, n)) for n in (DRIVER, CONTROL))
    if have_sim:
        files[DEFAULT_CONFIG] = resolve(Cases.DEMO_SCENARIO, efi_dir)
        files[DRIVER] = os.path.join(efi_dir, DRIVER)
        files[CONTROL] = os.path.join(efi_dir, CONTROL)
        commands.append("load " + DRIVER)
    shutil.rmtree(os.path.join(args.out, "files"), ignore_errors=True)
    made = {}
    for entry in Cases.DEMO_FILES:
        try:
            for name, path in volume_files([entry], efi_dir, args.out, tools(args), made):
                files[name] = path
        except (OSError, subprocess.CalledProcessError) as error:
            print("(%s left out: %s)" % (getattr(entry, "name", entry), error))
    for command in Cases.DEMO_COMMANDS:
        words = command.split()
        if len(words) >= 3 and words[0] == APP and words[1] not in files:
            continue
        commands.append(command)
    return commands, files, have_sim


def tools(args):
    """Host tools that made files may use. Without --image-tool, ctlimage is
    looked for below the EFI directory, then in the tree's own build/host
    (where make image-tool puts it, also when --efi-dir names build/aarch64)."""
    tool = args.image_tool
    if tool is None:
        candidates = [os.path.join(d, "host", "Tools", "ImageTool", "ctlimage")
                      for d in (args.efi_dir, os.path.normpath(os.path.join(HERE, "..", "..", "build")))]
        tool = next((c for c in candidates if os.path.isfile(c)), candidates[0])
    return {"ctlimage": tool if os.path.isfile(tool) else None}


def cmd_demo(args):
    os.makedirs(args.out, exist_ok=True)
    commands, files, have_sim = demo_plan(args)
    if not have_sim:
        print("(the simulator is not built: %s runs with no controller and prints nothing)" % APP)
    image = make_volume(args.out, files, startup_script(commands))
    steps = [{"id": i, "case": "demo", "command": c, "timeout": 120} for i, c in enumerate(commands)]
    print("Booting QEMU (%s, UEFI Shell on the serial console) ..." % (
        "AAVMF on the virt board" if args.arch == "aarch64" else "OVMF"), flush=True)
    text, outcome = boot(args.out, image, steps, args.arch)
    with open(os.path.join(args.out, "transcript.raw"), "w", encoding="latin-1", newline="") as f:
        f.write(text)
    per_step = split(text, len(steps))
    print("UEFI Shell reached after %s s\n" % outcome["boot_seconds"])
    for step in steps:
        got = per_step.get(step["id"])
        print("FS0:\\> " + step["command"])
        if got is None:
            print("  (not run)")
            continue
        print(got["output"].rstrip("\n"))
        print("[lasterror %s]\n" % got["status"])
    print("Whole run %s s" % outcome["seconds"])
    if outcome["error"]:
        print("Run stopped early: " + outcome["error"])
        return 1
    return 0


def cmd_shell(args):
    os.makedirs(args.out, exist_ok=True)
    commands, files, _ = demo_plan(args)
    for case in cases_for(args.arch):
        if case.scenario:
            files.setdefault(os.path.basename(case.scenario), resolve(case.scenario, args.efi_dir))
    files = {n: p for n, p in files.items() if os.path.isfile(p)}
    setup = [c for c in commands if c.startswith("load ")]
    script = "\ufeff" + "\r\n".join(["fs0:"] + setup) + "\r\n"
    image = make_volume(args.out, files, script)
    print("UEFI Shell on this terminal; Ctrl-A X leaves QEMU.", flush=True)
    return subprocess.call(qemu_command(args.out, image, args.arch, interactive=True))


# ---------------------------------------------------------------------------
# Power-cut cases: two boots, one variable store
# ---------------------------------------------------------------------------

def powercut_boot_steps(case, index, one_boot):
    steps = [{"id": 0, "case": case.name, "command": "load " + DRIVER, "setup": True, "timeout": 60}]
    for step in one_boot.steps:
        steps.append({"id": len(steps), "case": case.name, "command": step.command, "setup": False,
                      "timeout": case.timeout})
    return steps


def judge_powercut_boot(one_boot, steps, outcome):
    """(failed, report) of one boot of a power-cut case."""
    report = []
    failed = False
    expected_steps = iter(one_boot.steps)
    for s in steps:
        expected = Step(s["command"]) if s["setup"] else next(expected_steps)
        shown = "Shell> " + s["command"]
        if s["output"] is None:
            report.append("%s\n  not run: %s" % (shown, outcome.get("error") or "the run ended before it"))
            return True, report
        problems = []
        cut_here = s["status"] is None and outcome["cut"] and not s["setup"]
        if s["status"] is None and not cut_here:
            report.append("%s\n  did not return (%s); output so far:\n%s" % (
                shown, outcome.get("error"), indent(s["output"])))
            return True, report
        if not cut_here and s["status"] != expected.status:
            problems.append("  lasterror %s, expected %s" % (s["status"], expected.status))
        output = s["output"]
        if not s["setup"] and not cut_here:
            output, line_problems = take_result_line(s["command"], output, s["status"])
            problems += line_problems
        if isinstance(expected.expect, str) and output != expected.expect:
            problems.append(diff(expected.expect, output))
        elif isinstance(expected.expect, Regex) and not expected.expect.matches(output):
            problems.append("  output does not match %r:\n%s" % (expected.expect, indent(output)))
        if problems:
            failed = True
            report.append(shown + "\n" + "\n".join(problems))
        else:
            report.append("%s\n  ok%s, output %r" % (
                shown, " (power cut here)" if cut_here else ", lasterror " + s["status"], s["output"]))
        if cut_here:
            break
    if one_boot.cut_at is not None and not outcome["cut"]:
        failed = True
        report.append("  the power was never cut: %r did not appear" % one_boot.cut_at)
    return failed, report


def cmd_powercut(args):
    case = next((c for c in PowerCutCases.CASES if c.name == args.name), None)
    if case is None:
        print("no power-cut case named " + args.name)
        return 1
    if not all(os.path.isfile(os.path.join(args.efi_dir, n)) for n in (APP, DRIVER, CONTROL)):
        print("FAILED: %s, %s and %s must be built in %s" % (APP, DRIVER, CONTROL, args.efi_dir))
        return 1
    out = os.path.join(args.out, case.name)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    _, vars_template = firmware(args.arch)
    vars_file = os.path.join(out, "vars.fd")
    shutil.copyfile(vars_template, vars_file)
    made = {}
    shared = {APP: os.path.join(args.efi_dir, APP), DRIVER: os.path.join(args.efi_dir, DRIVER),
              CONTROL: os.path.join(args.efi_dir, CONTROL)}
    try:
        for name, path in volume_files(case.files, args.efi_dir, out, tools(args), made):
            shared[name] = path
    except (OSError, subprocess.CalledProcessError) as error:
        print("FAILED: a file of the case could not be made: %s" % error)
        return 1
    failed = False
    for index, one_boot in enumerate(case.boots):
        boot_dir = os.path.join(out, "boot%d" % (index + 1))
        os.makedirs(boot_dir)
        files = dict(shared)
        files[DEFAULT_CONFIG] = resolve(one_boot.scenario, args.efi_dir)
        steps = powercut_boot_steps(case, index, one_boot)
        image = make_volume(boot_dir, files, startup_script([s["command"] for s in steps]))
        print("Boot %d of %s (%s)%s" % (index + 1, case.name, os.path.basename(one_boot.scenario),
                                        ", power cut at %r" % one_boot.cut_at if one_boot.cut_at else ""), flush=True)
        text, outcome = boot(boot_dir, image, steps, args.arch, vars_file=vars_file, cut_at=one_boot.cut_at)
        with open(os.path.join(boot_dir, "transcript.txt"), "w", encoding="latin-1", newline="") as f:
            f.write(normalise(text))
        per_step = split(text, len(steps))
        for step in steps:
            step.update(per_step.get(step["id"], {"output": None, "status": None}))
        boot_failed, report = judge_powercut_boot(one_boot, steps, outcome)
        print("\n".join(report))
        if boot_failed:
            failed = True
            print("boot %d failed; transcript in %s" % (index + 1, boot_dir))
            break
    print("FAILED" if failed else "passed")
    return 1 if failed else 0


def cmd_list_powercut(args):
    for case in PowerCutCases.CASES:
        print(case.name)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    default_efi = os.path.normpath(os.path.join(HERE, "..", "..", "build"))
    for name in ("boot", "run", "demo", "shell", "check", "powercut"):
        p = sub.add_parser(name)
        if name in ("check", "powercut"):
            p.add_argument("name")
        p.add_argument("--efi-dir", default=default_efi)
        p.add_argument("--out", default=os.path.join(default_efi, "e2e-run"))
        p.add_argument("--image-tool", default=None,
                       help="ctlimage (default: EFI_DIR/host/Tools/ImageTool/ctlimage, "
                            "else build/host/Tools/ImageTool/ctlimage of this tree)")
        if name in ("boot", "run"):
            p.add_argument("--only", default=None,
                           help="only the cases whose names start with one of these prefixes (comma separated)")
            p.add_argument("--case", action="append", default=None, metavar="NAME",
                           help="only the case of this name (repeatable, or comma separated); "
                                "with --only, the cases that either picks")
    for p in list(sub.choices.values()) + [sub.add_parser("list"), sub.add_parser("list-powercut")]:
        p.add_argument("--arch", choices=ARCHS, default="x64",
                       help="the machine: x64 (OVMF, every case) or aarch64 (AAVMF, the cases of Aarch64Cases.py)")
    args = parser.parse_args()
    if hasattr(args, "efi_dir"):
        args.efi_dir = os.path.abspath(args.efi_dir)
        args.out = os.path.abspath(args.out)
    handler = {"boot": cmd_boot, "run": cmd_run, "demo": cmd_demo, "shell": cmd_shell,
               "check": cmd_check, "list": cmd_list, "powercut": cmd_powercut,
               "list-powercut": cmd_list_powercut}[args.command]
    return handler(args)


if __name__ == "__main__":
    sys.exit(main())
