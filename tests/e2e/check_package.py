"""Makes the portable package of a build and checks what it holds: the
program, the README and the example data.dat, side by side in one folder.
Usage: check_package.py BUILD_DIR ARCHIVE_NAME PROGRAM_NAME"""

import os
import subprocess
import sys
import tarfile
import zipfile

from harness import report


def members(archive: str):
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            return {info.filename: info for info in z.infolist()}
    with tarfile.open(archive) as t:
        return {member.name: member for member in t.getmembers()}


def main():
    build, archive_name, program = sys.argv[1:4]
    if subprocess.run(["cpack", "--config", "CPackConfig.cmake"], cwd=build,
                      stdout=subprocess.DEVNULL).returncode != 0:
        return report([(f"cpack makes {archive_name}", ["cpack failed"])])
    archive = os.path.join(build, archive_name)
    folder = archive_name.rsplit(".", 2 if archive_name.endswith(".tar.gz") else 1)[0]
    found = members(archive)
    problems = [f"{name} missing (has {sorted(found)})" for name in (program, "README.md", "data.dat")
                if f"{folder}/{name}" not in found]
    return report([(f"{archive_name} holds the program, README.md and data.dat", problems)])


if __name__ == "__main__":
    sys.exit(main())
