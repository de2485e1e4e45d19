# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The records of the end-to-end case table (Cases.py): a case, its steps,
a regular-expression expectation and the files made before the boot."""

import hashlib
import os
import re
import subprocess


class Step:
    """One shell command of a case and what it must print.

    expect: the exact output (a str), a Regex, or None for output that is not
    looked at. status: the %lasterror% value the command must leave.
    """

    def __init__(self, command, expect=None, status="0x0"):
        self.command = command
        self.expect = expect
        self.status = status


class Regex:
    """Expected output given as a regular expression that must match all of it."""

    def __init__(self, pattern):
        self.pattern = pattern

    def matches(self, text):
        return re.fullmatch(self.pattern, text, re.DOTALL) is not None

    def __repr__(self):
        return "Regex(%r)" % self.pattern


class Against:
    """Expected output judged against the output of an earlier step of the
    same case: check(output, earlier) returns None when the two agree, or a
    sentence that says how they differ. step is the earlier step's position
    among the case's steps (0 is the first)."""

    def __init__(self, step, check, description):
        self.step = step
        self.check = check
        self.description = description

    def judge(self, text, earlier):
        if self.step >= len(earlier):
            return "step %d of the case has not run before this one" % self.step
        return self.check(text, earlier[self.step])

    def __repr__(self):
        return "Against(%d, %s)" % (self.step, self.description)


class Case:
    """A row of the table: the scenario the simulator runs (None: no simulator
    loaded), the steps in order, the extra files the volume must hold and the
    time one step may take before the run is given up."""

    def __init__(self, name, scenario, steps, files=(), timeout=60):
        if not re.fullmatch(r"[A-Za-z0-9_.-]+", name):
            raise ValueError("case name %r: letters, digits, '.', '_' and '-' only" % name)
        self.name = name
        self.scenario = scenario
        self.steps = [s if isinstance(s, Step) else Step(*s) for s in steps]
        self.files = list(files)
        self.timeout = timeout


class Payload:
    """A file of Size bytes made before the boot (a component's contents, say).
    The bytes follow from Seed alone, so every run sees the same file."""

    def __init__(self, name, size, seed=1):
        self.name = name
        self.size = size
        self.seed = seed

    def make(self, path, tools):
        data = bytearray()
        block = 0
        while len(data) < self.size:
            data += hashlib.sha256(b"%d:%d" % (self.seed, block)).digest()
            block += 1
        with open(path, "wb") as f:
            f.write(data[:self.size])

    def __repr__(self):
        return "Payload(%r, %d, %d)" % (self.name, self.size, self.seed)


class Made:
    """A file made before the boot by a host command, word by word. In the
    words, {ctlimage} is the image tool, {out} the file to make and {files}
    the directory of the files made so far (payloads among them), e.g.

        Made("fw.img", "{ctlimage}", "build", "-o", "{out}",
             "--support", "1F3A:0C31:1F3A:0101",
             "--component", "TQ30:APP:{files}/app.bin")
    """

    def __init__(self, name, *words):
        self.name = name
        self.words = list(words)

    def make(self, path, tools):
        if any("{ctlimage}" in w for w in self.words) and not tools.get("ctlimage"):
            raise FileNotFoundError("the image tool ctlimage is not built")
        values = dict(tools, out=path, files=os.path.dirname(path))
        subprocess.run([w.format(**values) for w in self.words], check=True,
                       stdout=subprocess.DEVNULL)

    def __repr__(self):
        return "Made(%r, %s)" % (self.name, ", ".join(map(repr, self.words)))


class Slow:
    """A file (a Payload or a Made) put on a second volume of its own, which
    QEMU reads at no more than SLOW_BYTES_PER_SECOND, as a slow USB stick
    would. A command names it as %slow%NAME: the startup script sets slow
    to that volume's root (fs1:\\ normally)."""

    SLOW_BYTES_PER_SECOND = 1 << 20

    def __init__(self, entry):
        self.entry = entry
        self.name = entry.name

    def make(self, path, tools):
        self.entry.make(path, tools)

    def __repr__(self):
        return "Slow(%r)" % (self.entry,)
