#!/usr/bin/env python3
"""Makes a portable package: one folder holding the program, the Japanese
user's guide of its platform, the README and the third-party notices, and the
example data.dat in a folder of its own, where it cannot be converted in place of the user's file,
as a .tar.gz that holds the folder or a .zip that unpacks into one.
The archive is reproducible: its members come in a fixed order with fixed
owners, modes and times (SOURCE_DATE_EPOCH, else the time of the last commit),
so the same program gives the same archive byte for byte.

Usage: package.py PROGRAM ARCHIVE [SIGNED]   (ARCHIVE ending in .tar.gz or .zip;
SIGNED, a signed copy of PROGRAM, ships in its place, with the notices of
PROGRAM's build)"""

import gzip
import io
import os
import subprocess
import sys
import tarfile
import time
import zipfile

from third_party_notices import notices_for

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GUIDE = "はじめにお読みください.txt"
SAMPLE = "見本/data.dat"  # as the guides name it
NOTICES = "THIRD-PARTY-NOTICES.txt"


def documents(program: str):
    """(name in the package, path in the source) of the files beside the program."""
    platform = [] if program.endswith(".exe") else ["linux"]
    return [(GUIDE, os.path.join("docs", *platform, GUIDE)), ("README.md", "README.md"),
            (SAMPLE, os.path.join("examples", "data.dat"))]


def source_date() -> int:
    if "SOURCE_DATE_EPOCH" in os.environ:
        return int(os.environ["SOURCE_DATE_EPOCH"])
    done = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=SOURCE, capture_output=True,
                          text=True)
    if done.returncode != 0:
        sys.exit("package.py: no SOURCE_DATE_EPOCH and no git history to take the date from")
    return int(done.stdout)


def contents(program: str, shipped: str):
    """(name in the package, bytes, executable) in the package's order."""
    with open(shipped, "rb") as f:
        yield os.path.basename(program), f.read(), True
    for name, path in documents(program):
        with open(os.path.join(SOURCE, path), "rb") as f:
            yield name, f.read(), False
    yield NOTICES, notices_for(program), False


def write_tar_gz(archive: str, folder: str, members, date: int) -> None:
    payload = io.BytesIO()
    with tarfile.open(fileobj=payload, mode="w", format=tarfile.PAX_FORMAT) as tar:
        directory = tarfile.TarInfo(folder)
        directory.type, directory.mode, directory.mtime = tarfile.DIRTYPE, 0o755, date
        tar.addfile(directory)
        for name, data, executable in members:
            info = tarfile.TarInfo(f"{folder}/{name}")
            info.size, info.mtime = len(data), date
            info.mode = 0o755 if executable else 0o644
            tar.addfile(info, io.BytesIO(data))
    with open(archive, "wb") as out:
        # No file name and a fixed time in the gzip header.
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=date, compresslevel=9) as gz:
            gz.write(payload.getvalue())


def write_zip(archive: str, members, date: int) -> None:
    # Explorer's すべて展開 unpacks into a folder named after the zip: the files
    # go at the top, or the program would sit one folder deeper.
    stamp = time.gmtime(max(date, 315532800))[:6]  # a zip cannot hold times before 1980
    with zipfile.ZipFile(archive, "w") as z:
        for name, data, executable in members:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # the modes below are Unix modes
            info.external_attr = (0o755 if executable else 0o644) << 16
            z.writestr(info, data)


def main() -> int:
    program, archive = sys.argv[1], sys.argv[2]
    name = os.path.basename(archive)
    members = list(contents(program, sys.argv[3] if len(sys.argv) > 3 else program))
    if name.endswith(".tar.gz"):
        write_tar_gz(archive, name[:-len(".tar.gz")], members, source_date())
    else:
        write_zip(archive, members, source_date())
    print(f"package: {archive}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
