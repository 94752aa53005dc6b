"""What real desktops and scripts do to a run, reproduced with the real
program: closed standard streams, two runs at once, a data.dat that changes
while it is read, a full disk, the sync before the completion notice, a
terminal with its output redirected, and a folder name that holds control
characters. Usage: run_hazards.py PROGRAM"""

import os
import pty
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import reference
from cases import DONE, FAILED, Case
from desktop import require
from harness import (NEW_OUTPUT, CaseFolder, Native, check_whole_records, full_disk,
                     in_case_folder, realistic_data, report, stopped_once_written)

NATIVE = Native()  # the terminal notice
GOOD = b'"a","b","c","5","e"\r\n'
GOOD_OUT = b'"a","b","c","6","e"\r\n'
# Launchers that start programs with no standard streams: nothing the
# program prints may land in data2.dat.
CLOSED_STREAMS = [Case(f"standard streams closed: {redirections}", data, notice, GOOD_OUT,
                       redirections=redirections)
                  for redirections, data, notice in [("<&- >&-", GOOD, DONE),
                                                     ("<&- >&- 2>&-", GOOD, DONE),
                                                     (">&- 2>&-", GOOD + b"\r\n", FAILED),
                                                     ("2>&-", GOOD + b"\r\n", FAILED)]]


def expect(problems, what, actual, expected):
    if actual != expected:
        shown = actual if not isinstance(actual, bytes) or len(actual) < 200 else \
            f"{len(actual)} bytes"
        problems.append(f"{what}: {shown!r}, expected {expected!r}"[:400])


def stopped_midway(folder):
    """The program, started and stopped once it has written; None where it
    ended first."""
    run = NATIVE.start(folder)
    if stopped_once_written(run, folder.file(NEW_OUTPUT)):
        return run
    run.kill()
    return None


def two_runs_at_once(program, data, expected):
    """The second run, started while the first writes, is refused and leaves
    the first run's new file and the old data2.dat alone; a run after both
    is unaffected."""
    problems = []
    folder = CaseFolder(program, data=data, old_output=b"old\r\n")
    try:
        first = stopped_midway(folder)
        if not first:
            return ["the first run ended before it could be stopped"]
        written = folder.read(NEW_OUTPUT)
        status, notice, cause = NATIVE.outcome(folder)
        cause = cause.decode()
        expect(problems, "second run: exit status", status, 1)
        expect(problems, "second run: notice", notice, FAILED + "\n")
        if "data2.dat: in use by another program or another run" not in cause or cause.count("\n") != 1:
            problems.append(f"second run: cause {cause!r}")
        if not folder.read(NEW_OUTPUT).startswith(written) or \
                folder.read("data2.dat") != b"old\r\n":
            problems.append("the second run changed the first run's new file or data2.dat")
        first.send_signal(signal.SIGCONT)
        stdout, _ = first.communicate(timeout=120)
        expect(problems, "first run: exit status", first.returncode, 0)
        expect(problems, "first run: notice", stdout.decode(), DONE + "\n")
        expect(problems, "first run: data2.dat", folder.read("data2.dat"), expected)
        status, notice, _ = NATIVE.outcome(folder)
        expect(problems, "a later run: exit status and notice", (status, notice), (0, DONE + "\n"))
    finally:
        folder.remove()
    return problems


def cut_inside_last_field(data, at):
    """A length of data that ends inside the last field of a record after
    `at`: what is left of that record still converts."""
    record_end = data.index(b"\r\n", at) + 2
    return data.index(b"\r\n", record_end) - 3


def changed_while_read(program, data):
    """data.dat appended to, cut short or rewritten while the run is stopped:
    the run fails and data2.dat holds whole records."""
    problems = []
    cut = cut_inside_last_field(data, len(data) * 3 // 4)

    def append(path):
        with open(path, "ab") as f:
            f.write(data[:1000])

    def truncate(path):
        os.truncate(path, cut)

    def rewrite(path):
        with open(path, "r+b") as f:
            f.write(b'"')
        os.utime(path, ns=(0, time.time_ns() + 10**9))

    # Saved again unchanged, the next second: only the time tells, from the
    # last nanosecond of one second to the first of the next.
    second = 1_700_000_000 * 10**9

    def saved_next_second(path):
        os.utime(path, ns=(0, second + 10**9))

    for name, change in [("appended to", append), ("cut short", truncate),
                         ("rewritten in place", rewrite), ("saved again", saved_next_second)]:
        folder = CaseFolder(program, data=data)
        os.utime(folder.file("data.dat"), ns=(0, second + 10**9 - 1))
        try:
            run = stopped_midway(folder)
            if not run:
                problems.append(f"{name}: the run ended before it could be stopped")
                continue
            change(folder.file("data.dat"))
            run.send_signal(signal.SIGCONT)
            stdout, stderr = run.communicate(timeout=120)
            expect(problems, f"{name}: exit status", run.returncode, 1)
            expect(problems, f"{name}: notice", stdout.decode(), FAILED + "\n")
            if "data.dat changed while it was read" not in stderr.decode():
                problems.append(f"{name}: cause {stderr.decode()!r}")
            # The records of data.dat as it is now; the run may have read the change.
            check_whole_records(folder.read("data2.dat"),
                             reference.convert(folder.read("data.dat"))[0], problems)
        finally:
            folder.remove()
    return problems


def synced_before_the_notice(program):
    """The program's system calls, traced: the new file is synced, put in
    data2.dat's place and the folder synced, in that order, before the
    notice is printed, whether there was a data2.dat or not."""
    problems = []
    for created in (True, False):
        folder = CaseFolder(program, data=GOOD, old_output=None if created else b"old\r\n")
        try:
            trace = folder.file("trace")
            # LeakSanitizer cannot run under ptrace; the sanitized build runs without it here.
            status, _, _ = NATIVE.outcome(
                folder, env=dict(NATIVE.env, ASAN_OPTIONS="detect_leaks=0"),
                wrap=["strace", "-f", "-y", "-o", trace, "-e",
                      "trace=fdatasync,fsync,rename,write"])
            expect(problems, "traced run: exit status", status, 0)
            calls = open(trace, encoding="utf-8", errors="replace").read().splitlines()

            def found(*parts):
                return [i for i, call in enumerate(calls) if all(part in call for part in parts)]
            order = [found("fdatasync(", f"{NEW_OUTPUT}>"), found("rename(", NEW_OUTPUT),
                     found("fsync(", f"<{folder.app}>"), found("write(1")]
            label = "created" if created else "existing"
            if any(len(step) != 1 for step in order) or \
                    [step[0] for step in order] != sorted(step[0] for step in order):
                problems.append(f"{label} data2.dat: not synced, renamed, folder synced and "
                                f"then the notice: {calls}")
        finally:
            folder.remove()
    return problems


def ended(process, what, stuck, problems):
    """The process ends within 20 s, with exit status 0; it is killed otherwise."""
    try:
        expect(problems, f"{what}: exit status", process.wait(timeout=20), 0)
    except subprocess.TimeoutExpired:
        process.kill()
        problems.append(f"{what}: {stuck}")


def terminal_notice(program):
    """The notice waits for Enter only when standard input and standard output
    are both a terminal."""
    problems = []
    folder = CaseFolder(program, data=GOOD)
    master, slave = pty.openpty()
    try:
        with open(folder.file("log.txt"), "wb") as log:
            redirected = NATIVE.start(folder, stdin=slave, stdout=log, stderr=subprocess.DEVNULL)
            ended(redirected, "output redirected", "the program waited for Enter", problems)
        expect(problems, "output redirected: log.txt", folder.read("log.txt"),
               (DONE + "\n").encode())

        seen = NATIVE.start(folder, stdin=slave, stdout=slave, stderr=slave)
        time.sleep(1)
        if seen.poll() is not None:
            problems.append("on a terminal: the program ended without waiting for Enter")
        os.write(master, b"\n")
        ended(seen, "on a terminal", "Enter did not end the program", problems)
        shown = os.read(master, 4096).decode("utf-8", "replace")
        if f"{DONE}\r\n（Enter キーを押すと終わります）\r\n" not in shown:
            problems.append(f"on a terminal: shown {shown!r}, without the notice and the hint")
    finally:
        os.close(master)
        os.close(slave)
        folder.remove()
    return problems


def folder_names_in_the_cause(program):
    """The cause line stays one line, whatever the folder is called, and
    names the folder in full, however long its path."""
    problems = []
    root = tempfile.mkdtemp(prefix="renumber-names-")
    try:
        for name, shown in [("new\nline\x1b[31mred", "new\\nline\\x1b[31mred"),
                            ("データ 置き場", "データ 置き場"),
                            ("long" * 60, "long" * 60)]:
            folder = CaseFolder(program, app=os.path.join(root, name))
            try:
                status, notice, cause = NATIVE.outcome(folder)
            finally:
                folder.remove()
            expect(problems, f"{name!r}: exit status and notice", (status, notice),
                   (1, FAILED + "\n"))
            expect(problems, f"{name!r}: cause line", cause.decode(),
                   f"renumber: {root}/{shown}/data.dat: No such file or directory\n")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return problems


def main():
    require("strace", "mount")
    program = sys.argv[1]
    data = realistic_data(48 << 20)  # long enough to be stopped midway
    expected = reference.convert(data)[0]
    return report([
        *[(case.name, in_case_folder(case, program, lambda folder: NATIVE.run(case, folder, [])))
          for case in CLOSED_STREAMS],
        ("two runs at once", two_runs_at_once(program, data, expected)),
        ("data.dat changed while it was read", changed_while_read(program, data)),
        ("a full disk midway", full_disk(NATIVE, program, [])),
        ("synced before the completion notice", synced_before_the_notice(program)),
        ("terminal notice", terminal_notice(program)),
        ("control characters in a folder name", folder_names_in_the_cause(program)),
    ])


if __name__ == "__main__":
    sys.exit(main())
