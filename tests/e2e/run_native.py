"""Runs the end-to-end cases against the native program.

Standard input is not a terminal here, so the program prints its notice on
standard output and returns at once. Every cause line the Linux guide quotes
must then have been printed by a case. Usage: run_native.py PROGRAM INTERPOSE_LIBRARY
"""

import contextlib
import os
import subprocess
import sys

from cases import CASES
from check_package import guide_of, unprinted_quotes
from desktop import NOBODY, headless
from harness import CaseFolder, Holder, Writer, can_mount, judge, printed_causes, report

HOLDER = [sys.executable, os.path.join(os.path.dirname(__file__), "holder.py")]


def run_case(case, program, interpose, printed):
    problems = []
    if case.read_only_volume and not can_mount(problems):
        return problems
    folder = CaseFolder(case, program)
    try:
        holding = Holder(case.hold, folder.app, HOLDER) if case.hold else \
            Writer(folder) if case.writer else contextlib.nullcontext()
        command = [folder.start]
        if case.unprivileged and os.geteuid() == 0:
            os.chmod(folder.root, 0o755)
            command = NOBODY + command
        env = headless()
        if case.file_ids or case.faults:  # ahead of a sanitizer's runtime, where there is one
            env.update(case.faults or {}, LD_PRELOAD=interpose, RENUMBER_FILE_IDS=case.file_ids,
                       ASAN_OPTIONS=env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        into = open(os.path.join(folder.app, case.stderr_into), "ab") if case.stderr_into \
            else contextlib.nullcontext(subprocess.PIPE)
        with holding as holder, into as err:
            run = subprocess.Popen(command, cwd=folder.cwd, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=err, env=env)
            problems = holder.started(run) if holder else []
            stdout, stderr = run.communicate(timeout=60)
        stderr = stderr or b""
        printed += printed_causes(stderr)
        stdout, stderr = stdout.decode("utf-8", "replace"), stderr.decode("utf-8", "replace")
        if not stdout.endswith("\n") or stdout.count("\n") != 1:
            problems.append(f"stdout {stdout!r} is not one notice line")
        problems += judge(case, folder, stdout.rstrip("\n"), run.returncode, stderr)
        return problems
    finally:
        folder.remove()


def main():
    program, interpose = sys.argv[1], os.path.abspath(sys.argv[2])
    printed = []
    results = [(case.name, run_case(case, program, interpose, printed)) for case in CASES
               if not case.windows_only]
    return report(results + [("every cause line the guide quotes is printed by a case",
                              unprinted_quotes(guide_of(windows=False), printed))])


if __name__ == "__main__":
    sys.exit(main())
