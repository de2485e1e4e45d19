#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Keeps the SPDX licence line in every source, header, script, INF, DSC and
CMake file of the tree, where EDK II keeps it:

- C and C++ files: inside the opening /** @file ... **/ block, as its last
  line, after a blank line;
- INF, DSC and DEC files with a "## @file" header: before the closing "##",
  after a "#" line;
- other files with "#" comments (scripts, CMake, Makefile, UEFI Shell
  scripts): at the end of the comment block at the top (after a "#!" or
  "@echo" line), after a "#" line, or as the first comment line when the
  file opens with no comment block.

Nothing of the existing text is moved or reworded; lines are only inserted.

    spdx.py --check [ROOT]   lists the files without their line; exit 1 if any
    spdx.py --fix [ROOT]     inserts the line where it is missing

ROOT is the top of the tree (by default the folder above this script);
build/, .git and other hidden folders (but .ci) are left out."""

import os
import sys

LICENSE = "BSD-2-Clause-Patent"
TAG = "SPDX-License-Identifier: " + LICENSE

C_SUFFIXES = (".c", ".cpp", ".h", ".hpp")
HASH_SUFFIXES = (".inf", ".dsc", ".dec", ".dsc.inc", ".py", ".sh", ".cmake", ".nsh")
HASH_NAMES = ("Makefile", "CMakeLists.txt")
SKIPPED_FOLDERS = ("build", "__pycache__")


def kind_of(path):
    """'c', 'hash' or None for a file that carries no line."""
    name = os.path.basename(path)
    if name.endswith(C_SUFFIXES):
        return "c"
    if name.endswith(HASH_SUFFIXES) or name in HASH_NAMES:
        return "hash"
    try:
        with open(path, "rb") as f:
            if f.read(2) == b"#!":
                return "hash"
    except OSError:
        pass
    return None


def fix_c(lines, newline):
    for start, line in enumerate(lines):
        if line.lstrip().startswith("/** @file"):
            break
    else:
        # No @file block: a comment line of its own at the top.
        if any(TAG in line for line in lines[:5]):
            return lines
        return ["// " + TAG + newline] + lines
    for end in range(start, len(lines)):
        if lines[end].strip().endswith("**/"):
            break
    else:
        raise ValueError("the @file block is not closed")
    if any(TAG in line for line in lines[start:end + 1]):
        return lines
    if lines[end].strip() != "**/":
        raise ValueError("the @file block closes on a line of text")
    added = ["  " + TAG + newline]
    if lines[end - 1].strip() not in ("", "/** @file"):
        added.insert(0, newline)
    return lines[:end] + added + lines[end:]


def fix_hash(lines, newline):
    first = 0
    if lines and (lines[0].startswith("#!") or lines[0].lower().startswith("@echo")):
        first = 1
    end = first
    while end < len(lines) and lines[end].startswith("#"):
        end += 1
    block = lines[first:end]
    if any(TAG in line for line in block):
        return lines
    if block and lines[first].startswith("## @file"):
        # EDK II header: "## @file" ... "##"; the line goes before the "##".
        for close in range(first + 1, end):
            if lines[close].rstrip() == "##":
                return lines[:close] + ["#" + newline, "#  " + TAG + newline] + lines[close:]
    if not block:
        return lines[:first] + ["# " + TAG + newline] + lines[first:]
    indent = "#  " if any(line.startswith("#  ") for line in block) else "# "
    added = [indent + TAG + newline]
    if lines[end - 1].rstrip() != "#":
        added.insert(0, "#" + newline)
    return lines[:end] + added + lines[end:]


def fixed(path):
    """(old text, new text) of one file."""
    with open(path, newline="") as f:
        text = f.read()
    lines = text.splitlines(keepends=True)
    newline = "\r\n" if lines and lines[0].endswith("\r\n") else "\n"
    if lines and not lines[-1].endswith("\n"):
        lines[-1] += newline
    new = (fix_c if kind_of(path) == "c" else fix_hash)(lines, newline)
    return text, "".join(new) if new is not lines else text


def files_of(root):
    for folder, folders, names in os.walk(root):
        folders[:] = sorted(d for d in folders
                            if d not in SKIPPED_FOLDERS and (not d.startswith(".") or d == ".ci"))
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path) and kind_of(path):
                yield path


def main(argv):
    if len(argv) not in (2, 3) or argv[1] not in ("--check", "--fix"):
        sys.stderr.write("usage: spdx.py --check|--fix [ROOT]\n")
        return 2
    root = argv[2] if len(argv) == 3 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    root = os.path.abspath(root)
    missing = 0
    for path in files_of(root):
        name = os.path.relpath(path, root)
        try:
            old, new = fixed(path)
        except (ValueError, UnicodeDecodeError) as error:
            print("%s: %s" % (name, error))
            missing += 1
            continue
        if old == new:
            continue
        if argv[1] == "--fix":
            with open(path, "w", newline="") as f:
                f.write(new)
            print("added the SPDX line to " + name)
        else:
            print("no SPDX line: " + name)
            missing += 1
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
