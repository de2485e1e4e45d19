#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Tests of scripts/spdx.py: where --fix puts the SPDX line in each kind of
file, that it changes nothing the second time, and that --check names the
files without it and fails."""

import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(ROOT, "scripts", "spdx.py")
TAG = "SPDX-License-Identifier: BSD-2-Clause-Patent"

# (file name, text before, text after --fix)
CASES = [
    ("a/File.cpp",
     "/** @file\n  What the file is for.\n**/\n\n#include <x.h>\n",
     "/** @file\n  What the file is for.\n\n  " + TAG + "\n**/\n\n#include <x.h>\n"),
    ("a/Crlf.h",
     "/** @file\r\n  Header.\r\n\r\n**/\r\n",
     "/** @file\r\n  Header.\r\n\r\n  " + TAG + "\r\n**/\r\n"),
    ("a/Module.inf",
     "## @file\n#  A module.\n##\n\n[Defines]\n",
     "## @file\n#  A module.\n#\n#  " + TAG + "\n##\n\n[Defines]\n"),
    ("a/CMakeLists.txt",
     "# @file\n#  A target.\n\nadd_library(x)\n",
     "# @file\n#  A target.\n#\n#  " + TAG + "\n\nadd_library(x)\n"),
    ("a/tool.sh",
     "#!/usr/bin/env bash\n# Does a thing.\nset -e\n",
     "#!/usr/bin/env bash\n# Does a thing.\n#\n# " + TAG + "\nset -e\n"),
    ("a/run",
     "#!/bin/sh\necho hi\n",
     "#!/bin/sh\n# " + TAG + "\necho hi\n"),
    ("a/Doc.py",
     '"""A module."""\nimport os\n',
     "# " + TAG + '\n"""A module."""\nimport os\n'),
    ("a/startup.nsh",
     "@echo -off\n#\n# A script.\n#\nfs0:\n",
     "@echo -off\n#\n# A script.\n#\n# " + TAG + "\nfs0:\n"),
]


def run(*args):
    return subprocess.run([sys.executable, SCRIPT] + list(args), capture_output=True, text=True)


class SpdxScript(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = self.folder.name

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, text):
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", newline="") as f:
            f.write(text)

    def read(self, name):
        with open(os.path.join(self.root, name), newline="") as f:
            return f.read()

    def test_fix_puts_the_line_where_edk2_does_and_only_once(self):
        for name, before, _ in CASES:
            self.write(name, before)
        self.write("a/notes.md", "# Notes\n")
        self.write("build/Generated.cpp", "/** @file\n  Built.\n**/\n")

        self.assertEqual(run("--fix", self.root).returncode, 0)
        for name, _, after in CASES:
            with self.subTest(name):
                self.assertEqual(self.read(name), after)
        self.assertEqual(self.read("a/notes.md"), "# Notes\n")
        self.assertEqual(self.read("build/Generated.cpp"), "/** @file\n  Built.\n**/\n")

        again = run("--fix", self.root)
        self.assertEqual(again.stdout, "")
        for name, _, after in CASES:
            with self.subTest(name):
                self.assertEqual(self.read(name), after)

    def test_check_names_each_file_without_the_line(self):
        name, before, after = CASES[0]
        self.write(name, after)
        self.write("a/Bare.h", "/** @file\n  No line.\n**/\n")
        self.write("a/elsewhere.sh", "#!/bin/sh\n# Top.\necho x\n# " + TAG + "\n")

        result = run("--check", self.root)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "no SPDX line: a/Bare.h\nno SPDX line: a/elsewhere.sh\n")
        self.assertEqual(self.read("a/Bare.h"), "/** @file\n  No line.\n**/\n")

    def test_this_tree_has_the_line_in_every_file(self):
        result = run("--check", ROOT)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
