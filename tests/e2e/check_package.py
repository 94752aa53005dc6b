"""Makes the portable package of a build and checks what it holds: the
program, the Japanese user's guide, the README and the example data.dat, side
by side in one folder; and that the guide opens in Notepad on a Japanese
Windows (UTF-8 with a byte order mark, CRLF line ends) and names both notices
exactly. Usage: check_package.py BUILD_DIR ARCHIVE_NAME PROGRAM_NAME"""

import os
import subprocess
import sys
import tarfile
import zipfile

from cases import DONE, FAILED
from harness import report

GUIDE = "はじめにお読みください.txt"
# The causes that the program words itself, the same on each platform, as
# the end-to-end cases see it print them.
OWN_CAUSES = ["data2.dat: read-only file; not overwritten",
              "data2.dat: in use by another program or another run",
              "data.dat: in use by another program", "data.dat changed while it was read",
              "data2.dat: is the input file itself; not overwritten",
              "; the lines before it could not all be written: ", "; it may end inside a record",
              "; what was written may be incomplete"]


def members(archive: str):
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            return {info.filename: info for info in z.infolist()}
    with tarfile.open(archive) as t:
        return {member.name: member for member in t.getmembers()}


def read_member(archive: str, name: str) -> bytes:
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            return z.read(name)
    with tarfile.open(archive) as t:
        return t.extractfile(name).read()


def guide_problems(guide: bytes):
    problems = []
    if not guide.startswith(b"\xef\xbb\xbf"):
        problems.append("no UTF-8 byte order mark")
    try:
        text = guide.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        return problems + [f"not UTF-8: {error}"]
    if text.count("\n") != text.count("\r\n") or text.count("\r") != text.count("\r\n"):
        problems.append("line ends other than CRLF")
    for cause in OWN_CAUSES:
        if cause not in text:
            problems.append(f"the cause {cause!r} is not quoted")
    for notice in (DONE, FAILED):
        if notice not in text.split("\r\n") and f"● {notice}" not in text.split("\r\n"):
            problems.append(f"the notice {notice!r} is not named on a line of its own")
    return problems


def main():
    build, archive_name, program = sys.argv[1:4]
    if subprocess.run(["cmake", "--build", build, "--target", "portable-package"],
                      stdout=subprocess.DEVNULL).returncode != 0:
        return report([(f"the portable-package target makes {archive_name}", ["it failed"])])
    archive = os.path.join(build, archive_name)
    folder = archive_name.rsplit(".", 2 if archive_name.endswith(".tar.gz") else 1)[0]
    found = members(archive)
    problems = [f"{name} missing (has {sorted(found)})"
                for name in (program, GUIDE, "README.md", "data.dat")
                if f"{folder}/{name}" not in found]
    results = [(f"{archive_name} holds the program, the guide, README.md and data.dat", problems)]
    if f"{folder}/{GUIDE}" in found:
        guide = read_member(archive, f"{folder}/{GUIDE}")
        results.append((f"{GUIDE}: UTF-8 with BOM, CRLF, both notices exact",
                        guide_problems(guide)))
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
