"""The real program under valgrind's memcheck, which sees what the sanitizers
cannot: a test of a byte that was allocated but never written. Inputs: every
data.dat of the case table, and files shaped so that the reader moves unread
bytes to the front of its buffer, meets the end of the file right after, or
takes a line too long for its buffer in pieces. Any memcheck error fails, and
data2.dat must be what the model says. Usage: run_memcheck.py PROGRAM"""

import os
import shutil
import subprocess
import sys
import tempfile

import reference
from cases import CASES
from desktop import headless, require
from harness import report

KIB = 1 << 10
LONG = b"x" * (600 * KIB)  # more than half the reader's 1 MiB buffer
SHAPES = [
    ("a short line, then one ending in a lone CR at the end of the file",
     b"a" * (KIB * 512 - 3) + b"\r\n" + b"b" * (90 * KIB) + b"\r"),
    ("a 600 KB record ending in a lone CR", b'"a","b","c","5","' + LONG + b'"\r'),
    ("a 600 KB record without a terminator, after a short one",
     b'"a","b","c","5","e"\r\n"' + LONG + b'","b","c","99","e"'),
    ("a 600 KB code field, then short records", b'"a","b","c","' + LONG + b'","e"\r\n' +
     b'"a","b","c","5","e"\r\n' * 1000),
    ("a 600 KB line of three fields after valid ones",
     b'"a","b","c","5","e"\r\n' * 1000 + b'"a","' + LONG + b'","c"\r\n'),
]


def run(program, data):
    folder = tempfile.mkdtemp(prefix="renumber-memcheck-")
    try:
        target = os.path.join(folder, "renumber")
        shutil.copy2(program, target)
        with open(os.path.join(folder, "data.dat"), "wb") as f:
            f.write(data)
        done = subprocess.run(["valgrind", "--error-exitcode=99", "--errors-for-leak-kinds=none",
                               "-q", target], cwd="/", env=headless(), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=300)
        problems = []
        if done.returncode not in (0, 1):
            problems.append(f"status {done.returncode}: {done.stderr.decode()[-2000:]}")
        expected, completes = reference.convert(data)
        with open(os.path.join(folder, "data2.dat"), "rb") as f:
            if f.read() != expected or done.returncode != (0 if completes else 1):
                problems.append("data2.dat or the exit status is not what the model says")
        return problems
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    require("valgrind")
    program = sys.argv[1]
    inputs = [(case.name, case.data) for case in CASES
              if case.data is not None and not case.arrange and not case.hold and
              case.old_output is None and not case.via_symlink]
    return report([(name, run(program, data)) for name, data in inputs + SHAPES])


if __name__ == "__main__":
    sys.exit(main())
