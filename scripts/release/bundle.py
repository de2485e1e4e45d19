#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Makes the release bundle from the RELEASE images of a `make release`.

    bundle.py ROOT RELEASE_DIR VERSION

ROOT is the top of the ctlflash tree; RELEASE_DIR holds x64/ctlflash.efi and
aarch64/ctlflash.efi. Writes into RELEASE_DIR:

    ctlflash-VERSION/          the bundle's files, as they go on the volume
        startup.nsh            sample script: check, update, record (-sfo)
        EFI/tools/X64/ctlflash.efi
        EFI/tools/AA64/ctlflash.efi
        LICENSE, CHANGELOG.md
        SHA256SUMS             every other file of the bundle
    ctlflash-VERSION.zip       the same files, to unpack on a volume's root
    SHA256SUMS                 the two images and the zip

The zip depends on nothing but the files: names sorted, one timestamp for
all (SOURCE_DATE_EPOCH, else the time of the tree's last commit, else
1980-01-01), fixed permissions and host system, so two builds of the same
sources give the same bytes."""

import hashlib
import os
import shutil
import subprocess
import sys
import time
import zipfile

# Folder of each architecture's image on the volume: the shell's tool folder
# \EFI\tools, one subfolder per architecture named as in the removable-media
# boot file names of UEFI (BOOTX64.EFI, BOOTAA64.EFI).
IMAGES = (("x64/ctlflash.efi", "EFI/tools/X64/ctlflash.efi"),
          ("aarch64/ctlflash.efi", "EFI/tools/AA64/ctlflash.efi"))


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def write_sums(folder, names, out):
    with open(out, "w", newline="\n") as f:
        for name in names:
            f.write("%s  %s\n" % (sha256(os.path.join(folder, name)), name))


def timestamp(root):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", root, "log", "-1", "--format=%ct"], capture_output=True,
                             text=True, check=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return 315532800  # 1980-01-01, the earliest time a zip holds


def main(argv):
    if len(argv) != 4:
        sys.stderr.write("usage: bundle.py ROOT RELEASE_DIR VERSION\n")
        return 2
    root, release, version = argv[1:]
    name = "ctlflash-" + version
    tree = os.path.join(release, name)
    shutil.rmtree(tree, ignore_errors=True)

    files = []
    for source, target in IMAGES:
        os.makedirs(os.path.dirname(os.path.join(tree, target)), exist_ok=True)
        shutil.copyfile(os.path.join(release, source), os.path.join(tree, target))
        files.append(target)
    with open(os.path.join(root, "scripts", "release", "startup.nsh")) as f:
        script = f.read().replace("@VERSION@", version)
    # The UEFI Shell reads scripts with either line end; CRLF suits the
    # editors of every system that may open the file on the stick.
    with open(os.path.join(tree, "startup.nsh"), "w", newline="\r\n") as f:
        f.write(script)
    files.append("startup.nsh")
    for doc in ("LICENSE", "CHANGELOG.md"):
        shutil.copyfile(os.path.join(root, doc), os.path.join(tree, doc))
        files.append(doc)
    files.sort()
    write_sums(tree, files, os.path.join(tree, "SHA256SUMS"))
    files.append("SHA256SUMS")

    when = time.gmtime(max(timestamp(root), 315532800))[:6]
    archive = os.path.join(release, name + ".zip")
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for member in sorted(files):
            info = zipfile.ZipInfo(member, date_time=when)
            info.external_attr = 0o644 << 16
            info.create_system = 3
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(tree, member), "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)

    write_sums(release, [source for source, _ in IMAGES] + [name + ".zip"], os.path.join(release, "SHA256SUMS"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
