"""Builds the release twice, from two copies of the source tree in folders of
different names, and compares: the programs, the Windows one's debug
file, both packages and SHA256SUMS must be the same byte for byte.
Usage: check_reproducible.py SOURCE_DIR"""

import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

from desktop import require
from harness import report

ARTIFACTS = ["build-release/renumber", "build-windows/renumber.exe",
             "build-windows/renumber.debug",
             "release/renumber-1.00-Linux.tar.gz", "release/renumber-1.00-win64.zip",
             "release/SHA256SUMS"]


def copy_tree(source: str, target: str) -> None:
    """The files git tracks, as they are in the working tree."""
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=source, capture_output=True,
                            check=True).stdout.decode().split("\0")
    for name in filter(None, listed):
        os.makedirs(os.path.join(target, os.path.dirname(name)), exist_ok=True)
        shutil.copy2(os.path.join(source, name), os.path.join(target, name))


def main():
    require("x86_64-w64-mingw32-g++-posix", "sha256sum")
    source = os.path.abspath(sys.argv[1])
    date = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=source, capture_output=True,
                          text=True, check=True).stdout.strip()
    # Unsigned, as a signature holds the time of signing.
    unsigned = {name: value for name, value in os.environ.items() if "RENUMBER_SIGN" not in name}
    root = tempfile.mkdtemp(prefix="renumber-reproducible-")
    try:
        copies = [os.path.join(root, "first"), os.path.join(root, "second-copy")]
        for copy in copies:
            copy_tree(source, copy)
            done = subprocess.run(["tools/release.sh", "release"], cwd=copy,
                                  env=dict(unsigned, SOURCE_DATE_EPOCH=date),
                                  capture_output=True, text=True)
            if done.returncode != 0:
                return report([(f"release in {copy}", [done.stdout[-2000:] + done.stderr[-2000:]])])
        results = []
        for artifact in ARTIFACTS:
            first, second = (os.path.join(copy, artifact) for copy in copies)
            problems = [] if filecmp.cmp(first, second, shallow=False) else ["the two builds differ"]
            results.append((f"{artifact} is reproducible", problems))
        return report(results)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
