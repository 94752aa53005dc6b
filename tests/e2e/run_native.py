"""Runs the end-to-end cases against the native program.

Standard input is not a terminal here, so the program prints its notice on
standard output and returns at once. Usage: run_native.py PROGRAM INTERPOSE_LIBRARY
"""

import contextlib
import os
import subprocess
import sys

from cases import CASES
from desktop import headless
from harness import CaseFolder, Holder, Writer, judge, report

HOLDER = [sys.executable, os.path.join(os.path.dirname(__file__), "holder.py")]
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def run_case(case, program, interpose):
    folder = CaseFolder(case, program)
    try:
        holding = Holder(case.hold, folder.app, HOLDER) if case.hold else \
            Writer(folder) if case.writer else contextlib.nullcontext()
        command = [folder.start]
        if case.unprivileged and os.geteuid() == 0:
            os.chmod(folder.root, 0o755)
            command = NOBODY + command
        env = headless()
        if case.file_ids:  # preloaded ahead of a sanitizer's runtime, where there is one
            env.update(LD_PRELOAD=interpose, RENUMBER_FILE_IDS=case.file_ids,
                       ASAN_OPTIONS=env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        with holding as holder:
            run = subprocess.Popen(command, cwd=folder.cwd, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
            problems = holder.started(run) if holder else []
            stdout, stderr = (out.decode("utf-8", "replace") for out in run.communicate(timeout=60))
        if not stdout.endswith("\n") or stdout.count("\n") != 1:
            problems.append(f"stdout {stdout!r} is not one notice line")
        problems += judge(case, folder, stdout.rstrip("\n"), run.returncode, stderr)
        return problems
    finally:
        folder.remove()


def main():
    program, interpose = sys.argv[1], os.path.abspath(sys.argv[2])
    return report([(case.name, run_case(case, program, interpose)) for case in CASES
                   if not case.windows_only])


if __name__ == "__main__":
    sys.exit(main())
