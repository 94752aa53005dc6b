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
from cases import DONE, FAILED
from desktop import headless, require
from harness import (NEW_OUTPUT, can_mount, check_kept_after_full_disk, check_whole_records,
                     disk_filling_midway, realistic_data, report, stopped_once_written)

ENV = headless()  # the terminal notice
BLANK_LINE_DATA = b'"a","b","c","5","e"\r\n\r\n'


class Folder:
    """The program and data.dat in a fresh folder (or one given)."""

    def __init__(self, program, data, folder=None):
        self.path = folder or tempfile.mkdtemp(prefix="renumber-hazard-")
        self.program = os.path.join(self.path, "renumber")
        shutil.copy2(program, self.program)
        self.write("data.dat", data)

    def file(self, name):
        return os.path.join(self.path, name)

    def write(self, name, content):
        with open(self.file(name), "wb") as f:
            f.write(content)

    def read(self, name):
        with open(self.file(name), "rb") as f:
            return f.read()

    def start(self, **kwargs):
        return subprocess.Popen([self.program], cwd="/", env=ENV, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)

    def run(self):
        done = subprocess.run([self.program], cwd="/", env=ENV, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def expect(problems, what, actual, expected):
    if actual != expected:
        shown = actual if not isinstance(actual, bytes) or len(actual) < 200 else \
            f"{len(actual)} bytes"
        problems.append(f"{what}: {shown!r}, expected {expected!r}"[:400])


def closed_standard_streams(program):
    """Launchers that start programs with no standard streams: nothing the
    program prints may land in data2.dat."""
    problems = []
    good = b'"a","b","c","5","e"\r\n'
    for redirections, data, status, output in [
            ("<&- >&-", good, 0, b'"a","b","c","6","e"\r\n'),
            ("<&- >&- 2>&-", good, 0, b'"a","b","c","6","e"\r\n'),
            (">&- 2>&-", BLANK_LINE_DATA, 1, b'"a","b","c","6","e"\r\n'),
            ("2>&-", BLANK_LINE_DATA, 1, b'"a","b","c","6","e"\r\n')]:
        folder = Folder(program, data)
        try:
            done = subprocess.run(f'exec "{folder.program}" {redirections}', shell=True, cwd="/",
                                  env=ENV, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=60)
            expect(problems, f"{redirections}: exit status", done.returncode, status)
            expect(problems, f"{redirections}: data2.dat", folder.read("data2.dat"), output)
        finally:
            folder.remove()
    return problems


def two_runs_at_once(program, data, expected):
    """The second run, started while the first writes, is refused and leaves
    the first run's new file and the old data2.dat alone; a run after both
    is unaffected."""
    problems = []
    folder = Folder(program, data)
    folder.write("data2.dat", b"old\r\n")
    try:
        first = folder.start()
        if not stopped_once_written(first, folder.file(NEW_OUTPUT)):
            first.kill()
            return ["the first run ended before it could be stopped"]
        written = folder.read(NEW_OUTPUT)
        status, notice, cause = folder.run()
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
        status, notice, _ = folder.run()
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
        folder = Folder(program, data)
        os.utime(folder.file("data.dat"), ns=(0, second + 10**9 - 1))
        try:
            run = folder.start()
            if not stopped_once_written(run, folder.file(NEW_OUTPUT)):
                run.kill()
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


def full_disk(program):
    """data2.dat on a small file system that fills up midway: the failure is
    reported and data2.dat holds whole records, and not none of them."""
    problems = []
    if not can_mount(problems):
        return problems
    with disk_filling_midway(program) as (space, data, expected):
        folder = Folder(program, data, space)
        status, notice, cause = folder.run()
        expect(problems, "exit status", status, 1)
        expect(problems, "notice", notice, FAILED + "\n")
        if "data2.dat: No space left on device" not in cause:
            problems.append(f"cause {cause!r}")
        output = folder.read("data2.dat")
    check_kept_after_full_disk(output, expected, problems)
    return problems


def synced_before_the_notice(program):
    """The program's system calls, traced: the new file is synced, put in
    data2.dat's place and the folder synced, in that order, before the
    notice is printed, whether there was a data2.dat or not."""
    problems = []
    for created in (True, False):
        folder = Folder(program, b'"a","b","c","5","e"\r\n')
        try:
            if not created:
                folder.write("data2.dat", b"old\r\n")
            trace = folder.file("trace")
            # LeakSanitizer cannot run under ptrace; the sanitized build runs without it here.
            subprocess.run(["strace", "-f", "-y", "-o", trace, "-e",
                            "trace=fdatasync,fsync,rename,write", folder.program], cwd="/",
                           env=dict(ENV, ASAN_OPTIONS="detect_leaks=0"),
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60, check=True)
            calls = open(trace, encoding="utf-8", errors="replace").read().splitlines()

            def found(*parts):
                return [i for i, call in enumerate(calls) if all(part in call for part in parts)]
            order = [found("fdatasync(", f"{NEW_OUTPUT}>"), found("rename(", NEW_OUTPUT),
                     found("fsync(", f"<{folder.path}>"), found("write(1")]
            label = "created" if created else "existing"
            if any(len(step) != 1 for step in order) or \
                    [step[0] for step in order] != sorted(step[0] for step in order):
                problems.append(f"{label} data2.dat: not synced, renamed, folder synced and "
                                f"then the notice: {calls}")
        finally:
            folder.remove()
    return problems


def terminal_notice(program):
    """The notice waits for Enter only when standard input and standard output
    are both a terminal."""
    problems = []
    folder = Folder(program, b'"a","b","c","5","e"\r\n')
    master, slave = pty.openpty()
    try:
        with open(folder.file("log.txt"), "wb") as log:
            redirected = subprocess.Popen([folder.program], cwd="/", env=ENV, stdin=slave,
                                          stdout=log, stderr=subprocess.DEVNULL)
            try:
                expect(problems, "output redirected: exit status", redirected.wait(timeout=20), 0)
            except subprocess.TimeoutExpired:
                redirected.kill()
                problems.append("output redirected to a file: the program waited for Enter")
        expect(problems, "output redirected: log.txt", folder.read("log.txt"),
               (DONE + "\n").encode())

        seen = subprocess.Popen([folder.program], cwd="/", env=ENV, stdin=slave, stdout=slave,
                                stderr=slave)
        time.sleep(1)
        if seen.poll() is not None:
            problems.append("on a terminal: the program ended without waiting for Enter")
        os.write(master, b"\n")
        try:
            expect(problems, "on a terminal: exit status", seen.wait(timeout=20), 0)
        except subprocess.TimeoutExpired:
            seen.kill()
            problems.append("on a terminal: Enter did not end the program")
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
            folder_path = os.path.join(root, name)
            os.mkdir(folder_path)
            folder = Folder(program, b"", folder_path)
            os.remove(folder.file("data.dat"))
            status, notice, cause = folder.run()
            expect(problems, f"{name!r}: exit status and notice", (status, notice),
                   (1, FAILED + "\n"))
            expect(problems, f"{name!r}: cause line", cause,
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
        ("closed standard streams", closed_standard_streams(program)),
        ("two runs at once", two_runs_at_once(program, data, expected)),
        ("data.dat changed while it was read", changed_while_read(program, data)),
        ("a full disk midway", full_disk(program)),
        ("synced before the completion notice", synced_before_the_notice(program)),
        ("terminal notice", terminal_notice(program)),
        ("control characters in a folder name", folder_names_in_the_cause(program)),
    ])


if __name__ == "__main__":
    sys.exit(main())
