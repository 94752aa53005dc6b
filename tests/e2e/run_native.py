"""Runs the end-to-end cases against the native program.

Standard input is not a terminal here, so the program prints its notice on
standard output and returns at once. Usage: run_native.py PROGRAM
"""

import subprocess
import sys

from cases import CASES
from harness import CaseFolder, judge, report


def run_case(case, program):
    folder = CaseFolder(case, program)
    try:
        env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}  # no DISPLAY: terminal notice
        done = subprocess.run([folder.start], cwd=folder.cwd, stdin=subprocess.DEVNULL,
                              capture_output=True, env=env, timeout=60)
        stdout = done.stdout.decode("utf-8", "replace")
        problems = []
        if not stdout.endswith("\n") or stdout.count("\n") != 1:
            problems.append(f"stdout {stdout!r} is not one notice line")
        problems += judge(case, folder, stdout.rstrip("\n"), done.returncode,
                          done.stderr.decode("utf-8", "replace"))
        return problems
    finally:
        folder.remove()


def main():
    program = sys.argv[1]
    return report([(case.name, run_case(case, program)) for case in CASES])


if __name__ == "__main__":
    sys.exit(main())
