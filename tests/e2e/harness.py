"""What every runner shares: laying out a case's folder and judging the result."""

import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import Callable, List

import reference
from cases import (ABSENT, DONE, FAILED, NOT_CHECKED, UNCHANGED, WHOLE_RECORDS, Case, Hold,
                   realistic_data)

DECOY = b'"decoy","x","y","5","z"\r\n'
NEW_OUTPUT = "data2.dat.renumber-new"  # written by the run, then put in data2.dat's place


class CaseFolder:
    """A temporary folder with the program in app/ and a working directory
    elsewhere that holds a decoy data.dat, which the program must ignore."""

    def __init__(self, case: Case, program: str):
        self.root = tempfile.mkdtemp(prefix="renumber-e2e-")
        self.app = os.path.join(self.root, "app")
        self.cwd = os.path.join(self.root, "elsewhere")
        os.mkdir(self.app)
        os.mkdir(self.cwd)
        self.program = os.path.join(self.app, os.path.basename(program))
        shutil.copy2(program, self.program)
        with open(os.path.join(self.cwd, "data.dat"), "wb") as decoy:
            decoy.write(DECOY)
        if case.data is not None:
            self._write("data.dat", case.data)
        if case.old_output is not None:
            self._write("data2.dat", case.old_output)
        if case.arrange:
            case.arrange(self.app)
        self.mounted = case.read_only_volume
        if self.mounted:  # the folder bound onto itself, then made read-only
            subprocess.run(["mount", "--bind", self.app, self.app], check=True)
            subprocess.run(["mount", "-o", "remount,bind,ro", self.app], check=True)
        # What another program appended to data.dat during the run.
        self.appended = bytearray(case.appended)
        self.start = self.program
        if case.via_symlink:
            self.start = os.path.join(self.cwd, "linked-renumber")
            os.symlink(self.program, self.start)

    def _write(self, name: str, content: bytes) -> None:
        with open(os.path.join(self.app, name), "wb") as f:
            f.write(content)

    def read(self, name: str):
        path = os.path.join(self.app, name)
        if not os.path.lexists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def remove(self) -> None:
        if self.mounted:
            subprocess.run(["umount", self.app], check=True)
        for folder, _, _ in os.walk(self.root):
            os.chmod(folder, 0o755)
        shutil.rmtree(self.root, ignore_errors=True)


def printed_causes(stderr: bytes, encoding: str = "utf-8") -> List[str]:
    """The cause lines a run printed; the Windows program writes them to a
    file or pipe in the ANSI code page."""
    return [line.decode(encoding, "replace") for line in stderr.splitlines()
            if line.startswith(b"renumber: ")]


def judge(case: Case, folder: CaseFolder, notice: str, status: int, stderr: str,
          posix: bool = True) -> List[str]:
    """The ways in which one run went wrong; empty when it went right."""
    problems = []
    wordings = case.os_message if isinstance(case.os_message, tuple) else (case.os_message,)
    if posix and not any(wording in stderr for wording in wordings):
        problems.append(f"stderr {stderr!r} lacks {case.os_message!r}")
    if notice != case.notice:
        problems.append(f"notice {notice!r}, expected {case.notice!r}")
    expected_status = 0 if case.notice == DONE else 1
    if status != expected_status:
        problems.append(f"exit status {status}, expected {expected_status}")
    causes = case.stderr if isinstance(case.stderr, tuple) else (case.stderr,)
    if case.stderr and not any(cause in stderr for cause in causes):
        problems.append(f"stderr {stderr!r} lacks {case.stderr!r}")
    if case.notice == FAILED and not case.stderr_into and "renumber: " not in stderr:
        problems.append(f"no cause on stderr: {stderr!r}")
    if case.output is WHOLE_RECORDS:
        check_whole_records(folder.read("data2.dat") or b"",
                            reference.convert(folder.read("data.dat"))[0], problems)
    elif case.output is not NOT_CHECKED:  # a link may lead to /dev/full: never read it
        output = folder.read("data2.dat")
        if case.output is ABSENT:
            expected = None
        elif case.output is UNCHANGED:
            expected = case.old_output
        else:
            expected = case.output
        if output != expected:
            problems.append(f"data2.dat {_show(output)}, expected {_show(expected)}")
    if case.data is not None and folder.read("data.dat") != case.data + folder.appended:
        problems.append("data.dat changed")
    if os.path.exists(os.path.join(folder.cwd, "data2.dat")):
        problems.append("wrote data2.dat in the working directory")
    if os.path.lexists(os.path.join(folder.app, NEW_OUTPUT)):
        problems.append("the new file was left beside data2.dat")
    if case.mode is not None and os.stat(os.path.join(folder.app, "data2.dat")).st_mode & 0o7777 \
            != case.mode:
        problems.append(f"data2.dat's mode is not {case.mode:o}")
    if case.stderr_into and b"renumber: " in (folder.read(case.stderr_into) or b""):
        problems.append(f"the cause line went into {case.stderr_into}")
    return problems


class Holder:
    """Another program holding a file of a case's folder for the duration of a
    `with` block: `command` starts holder.py or holder.exe, `system_path`
    turns a path into the holder's own form."""

    def __init__(self, hold: Hold, folder: str, command: List[str], env=None,
                 system_path: Callable[[str], str] = lambda path: path):
        self.hold, self.folder = hold, folder
        self.signals = tempfile.mkdtemp(prefix="renumber-holder-")
        self.process = subprocess.Popen(
            command + [system_path(os.path.join(folder, hold.file)),
                       "exclusive" if hold.exclusive else "shared", str(hold.seconds),
                       system_path(self.signals)],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)

    def _signal(self, name: str) -> str:
        return os.path.join(self.signals, name)

    def _wait_for(self, name: str) -> None:
        deadline = time.monotonic() + 60
        while not os.path.exists(self._signal(name)):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the holder gave no {name!r} signal")
            time.sleep(0.005)

    def __enter__(self):
        self._wait_for("held")
        return self

    def started(self, run) -> List[str]:
        """Tells the holder that the run has started; for a holder that appends,
        stops the run once it has written, has the holder append, and lets the
        run go on."""
        open(self._signal("started"), "wb").close()
        if not self.hold.appends:
            return []
        if not stopped_once_written(run, os.path.join(self.folder, NEW_OUTPUT)):
            return ["the run ended before the holder could append"]
        open(self._signal("append"), "wb").close()
        self._wait_for("appended")
        run.send_signal(signal.SIGCONT)
        return []

    def __exit__(self, *_):
        open(self._signal("release"), "wb").close()
        self.process.wait(timeout=60)
        shutil.rmtree(self.signals, ignore_errors=True)


class Writer:
    """Another program appending records to data.dat, every fraction of a
    millisecond, for the duration of a `with` block: an export still running,
    a sync client. It holds no lock and no share mode."""

    RECORD = b'"w","x","y","5","z"\r\n'

    def __init__(self, folder: CaseFolder):
        self.folder, self.stop = folder, threading.Event()
        self.thread = threading.Thread(target=self._append)

    def _append(self) -> None:
        with open(os.path.join(self.folder.app, "data.dat"), "ab", buffering=0) as data:
            while not self.stop.is_set():
                data.write(self.RECORD)
                self.folder.appended += self.RECORD
                time.sleep(0)

    def __enter__(self):
        self.thread.start()
        return self

    def started(self, _run) -> List[str]:
        return []

    def __exit__(self, *_):
        self.stop.set()
        self.thread.join()


def stopped_once_written(process, output: str, least: int = 1) -> bool:
    """Stops the run with SIGSTOP as soon as `output` holds `least` bytes;
    False when the run ended first."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None:
        if os.path.exists(output) and os.path.getsize(output) >= least:
            process.send_signal(signal.SIGSTOP)
            return process.poll() is None
        time.sleep(0.0005)
    return False


def _show(content) -> str:
    if content is None:
        return "absent"
    return repr(content if len(content) < 200 else content[:200] + b"...")


def report(results: List[tuple]) -> int:
    """Prints one line per case and the closing count; the exit status."""
    failed = 0
    for name, problems in results:
        if problems:
            failed += 1
            print(f"FAIL {name}")
            for problem in problems:
                print(f"     {problem}")
        else:
            print(f"ok   {name}")
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


def can_mount(problems: List[str]) -> bool:
    """Whether a test file system can be mounted here: as root only. Without
    root it is a failure in CI and a note elsewhere."""
    if os.geteuid() == 0:
        return True
    if os.environ.get("CI"):
        problems.append("mounting a tmpfs needs root")
    else:
        print("     skipped: mounting a tmpfs needs root")
    return False


@contextlib.contextmanager
def small_file_system(size: int):
    """A tmpfs that holds `size` bytes (rounded up to whole pages), mounted
    for the duration of a `with` block; its mount point."""
    mount_point = tempfile.mkdtemp(prefix="renumber-small-fs-")
    pages = (size + 4095) // 4096
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={pages * 4096}", "tmpfs", mount_point],
                   check=True)
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", mount_point], check=True)
        os.rmdir(mount_point)


@contextlib.contextmanager
def disk_filling_midway(program: str):
    """Realistic data and a file system with room for the program, that data
    and half of its correct output: (mount point, data, correct output)."""
    data = realistic_data(3 << 20)
    expected = reference.convert(data)[0]
    with small_file_system(os.path.getsize(program) + len(data) + len(expected) // 2) as space:
        yield space, data, expected


def check_kept_after_full_disk(output: bytes, expected: bytes, problems: List[str]) -> None:
    """data2.dat after the disk filled up halfway: whole records, and not none."""
    check_whole_records(output, expected, problems)
    if len(output) < len(expected) // 4:
        problems.append(f"only {len(output)} bytes kept")


def check_whole_records(output: bytes, expected: bytes, problems: List[str]) -> None:
    """data2.dat after a failure: whole records, each one of the correct output."""
    if not expected.startswith(output):
        problems.append(f"data2.dat ({len(output)} bytes) is not a prefix of the correct output")
    if output and not output.endswith(b"\r\n"):
        problems.append(f"data2.dat ends inside a record: {output[-40:]!r}")
