"""What every runner shares: laying out a case's folder, starting the
program in it (natively, or under Wine) and judging the result."""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import types
from typing import Callable, List, Optional

import reference
from cases import (ABSENT, DONE, FAILED, NOT_CHECKED, PREFIX, UNCHANGED, WHOLE_RECORDS, Case,
                   Hold, realistic_data)
from desktop import NOBODY, headless

DECOY = b'"decoy","x","y","5","z"\r\n'
NEW_OUTPUT = "data2.dat.renumber-new"  # written by the run, then put in data2.dat's place
HOLDER = [sys.executable, os.path.join(os.path.dirname(__file__), "holder.py")]
# What a run under Wine traces: its message boxes, Wine's errors, and the
# message box call relayed, which tells Wine failing to show a notice apart
# from the program not asking for one.
TRACE = "trace+msgbox,err+all,+relay"


class CaseFolder:
    """A temporary folder with the program in app/ (or in the folder `app`
    names) and a working directory elsewhere that holds a decoy data.dat,
    which the program must ignore. A case, or data.dat alone, says what else
    is there."""

    def __init__(self, program: str, case: Optional[Case] = None, data: Optional[bytes] = None,
                 old_output: Optional[bytes] = None, app: Optional[str] = None):
        case = case or Case("", data, DONE, NOT_CHECKED, old_output=old_output)
        self.root = tempfile.mkdtemp(prefix="renumber-e2e-")
        self.app = app or os.path.join(self.root, "app")
        self.cwd = os.path.join(self.root, "elsewhere")
        os.makedirs(self.app, exist_ok=True)
        os.mkdir(self.cwd)
        self.program = os.path.join(self.app, os.path.basename(program))
        shutil.copy2(program, self.program)
        with open(os.path.join(self.cwd, "data.dat"), "wb") as decoy:
            decoy.write(DECOY)
        self.lay_out(case)
        self.mounted = case.read_only_volume
        if self.mounted:  # the folder bound onto itself, then made read-only
            subprocess.run(["mount", "--bind", self.app, self.app], check=True)
            subprocess.run(["mount", "-o", "remount,bind,ro", self.app], check=True)
        self.start = self.program
        if case.via_symlink:
            self.start = os.path.join(self.cwd, "linked-renumber")
            os.symlink(self.program, self.start)

    def lay_out(self, case: Case) -> None:
        """data.dat, the old data2.dat and the other files of a case; in a
        folder used again, what an earlier run left beside them stays."""
        for name, content in (("data.dat", case.data), ("data2.dat", case.old_output)):
            if content is not None:
                with open(self.file(name), "wb") as f:
                    f.write(content)
            elif os.path.isfile(self.file(name)):
                os.remove(self.file(name))
        if case.arrange:
            case.arrange(self.app)
        # What another program appended to data.dat during the run.
        self.appended = bytearray(case.appended)

    def file(self, name: str) -> str:
        return os.path.join(self.app, name)

    def read(self, name: str):
        path = self.file(name)
        if not os.path.lexists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def remove(self) -> None:
        """Removes the folder; a folder named by `app` is its owner's to remove."""
        if self.mounted:
            subprocess.run(["umount", self.app], check=True)
        for folder, _, _ in os.walk(self.root):
            os.chmod(folder, 0o755)
        shutil.rmtree(self.root, ignore_errors=True)


class Native:
    """Starts the native program without a desktop, so that its notice goes
    to standard output; `interpose` is the preloaded library of faults and
    file IDs."""

    posix, encoding = True, "utf-8"

    def __init__(self, interpose: str = "", env: Optional[dict] = None):
        self.interpose, self.env = interpose, headless() if env is None else env

    def command(self, folder: CaseFolder) -> List[str]:
        return [folder.start]

    def holder(self):
        """The holder's command, environment and form of a path."""
        return HOLDER, None, lambda path: path

    def prepare(self, case: Case, folder: CaseFolder):
        """A case's environment, with the preloaded library where the case
        has faults or file IDs, and the other program that holds or writes
        a file meanwhile, a context."""
        env = dict(self.env)
        if case.file_ids or case.faults:  # ahead of a sanitizer's runtime, where there is one
            env.update(case.faults or {}, LD_PRELOAD=self.interpose,
                       RENUMBER_FILE_IDS=case.file_ids,
                       ASAN_OPTIONS=env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        if case.hold:
            return env, Holder(case.hold, folder.app, *self.holder())
        return env, Writer(folder) if case.writer else contextlib.nullcontext()

    def start(self, folder: CaseFolder, case: Optional[Case] = None, env: Optional[dict] = None,
              wrap: List[str] = (), **popen) -> subprocess.Popen:
        """The program started from the folder's other working directory,
        under `wrap` and as the case asks: with a libfiu failure point, as a
        user who is not root, with standard streams closed."""
        command = list(wrap) + self.command(folder)
        if case and case.fiu:
            command = ["fiu-run", "-x", "-f", "", "-c", f"enable name={case.fiu}"] + command
        if case and case.unprivileged and os.geteuid() == 0:
            os.chmod(folder.root, 0o755)
            command = NOBODY + command
        if case and case.redirections:
            command = ["sh", "-c", f'exec "$@" {case.redirections}', "sh"] + command
        streams = dict(stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return subprocess.Popen(command, cwd=folder.cwd, env=self.env if env is None else env,
                                **dict(streams, **popen))

    def outcome(self, folder: CaseFolder, timeout: float = 120, **start):
        """Runs the program to its end: its exit status, what it showed (a
        line a notice) and its standard error."""
        run = self.start(folder, **start)
        try:
            stdout, stderr = run.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            run.kill()
            run.wait()
            raise
        return run.returncode, stdout.decode("utf-8", "replace"), stderr or b""

    def run(self, case: Case, folder: CaseFolder, printed: List[str]) -> List[str]:
        """A case run in its folder, judged; its cause lines go to `printed`."""
        env, holding = self.prepare(case, folder)
        into = open(folder.file(case.stderr_into), "ab") if case.stderr_into \
            else contextlib.nullcontext(subprocess.PIPE)
        with holding as holder, into as err:
            run = self.start(folder, case, env, stderr=err)
            problems = holder.started(run) if holder else []
            stdout, stderr = run.communicate(timeout=120)
        printed += printed_causes(stderr or b"")
        return problems + judge(case, folder, stdout.decode("utf-8", "replace"), run.returncode,
                                (stderr or b"").decode("utf-8", "replace"))


def started_in_place(program: str):
    """For a launcher: a program where it lies, such as in an unpacked package,
    started in its own folder."""
    return types.SimpleNamespace(start=program, cwd=os.path.dirname(program))


def wine_command() -> str:
    return shutil.which("wine") or shutil.which("wine64")


def windows_path(path: str) -> str:
    """A path of this system as Wine's programs name it."""
    return "Z:" + path.replace("/", "\\")


def shown_notices(stderr: str) -> str:
    """The texts of the message boxes, a line each, from Wine's trace of each one."""
    def decode(escaped: str) -> str:
        return re.sub(r"\\([0-9a-f]{4})|\\(.)",
                      lambda m: chr(int(m.group(1), 16)) if m.group(1) else
                      {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(2), m.group(2)), escaped)
    boxes = re.findall(r'trace:msgbox:MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"', stderr)
    return "".join(decode(box) + "\n" for box in boxes)


class Wine(Native):
    """Starts the Windows program under Wine, in a prefix's environment and
    on its screen, with its message boxes traced; holder.exe, beside the
    program, holds files."""

    posix, encoding = False, "cp932"

    def __init__(self, screen, prefix_env: dict, program: str, interpose: str = ""):
        super().__init__(interpose, dict(prefix_env, WINEDEBUG=TRACE))
        self.screen, self.prefix_env, self.program = screen, prefix_env, program

    def command(self, folder: CaseFolder) -> List[str]:
        return [wine_command(), folder.start]

    def holder(self):
        holder = os.path.join(os.path.dirname(self.program), "holder.exe")
        return [wine_command(), holder], self.prefix_env, windows_path

    def outcome(self, folder: CaseFolder, **start):
        """Runs the program, dismissing its message box with Enter: its exit
        status, the notices shown (a line each) and its standard error."""
        with tempfile.TemporaryFile() as err:
            run = self.start(folder, stdout=subprocess.DEVNULL, stderr=err, **start)
            window = self.screen.wait_for_window("renumber", run)
            status = self.screen.dismiss(run, window, "Return")
            err.seek(0)
            stderr = err.read()
        return status, shown_notices(stderr.decode("utf-8", "replace")), stderr


def printed_causes(stderr: bytes, encoding: str = "utf-8") -> List[str]:
    """The cause lines a run printed; the Windows program writes them to a
    file or pipe in the ANSI code page."""
    return [line.decode(encoding, "replace") for line in stderr.splitlines()
            if line.startswith(b"renumber: ")]


def judge(case: Case, folder: CaseFolder, shown: str, status: int, stderr: str,
          posix: bool = True) -> List[str]:
    """The ways in which one run went wrong; empty when it went right. `shown`
    is what the run showed, a line a notice."""
    problems = []
    wordings = case.os_message if isinstance(case.os_message, tuple) else (case.os_message,)
    if posix and not any(wording in stderr for wording in wordings):
        problems.append(f"stderr {stderr!r} lacks {case.os_message!r}")
    # A killed run shows nothing, nor does one whose standard output is
    # closed; one with other streams closed may fail before its notice.
    killed = case.killed_at
    notice = "" if killed or re.search(r"(?<!2)>&-", case.redirections) else case.notice + "\n"
    if shown != notice and (shown or not case.redirections):
        problems.append(f"shown {shown!r}, expected {notice!r}")
    expected_status = -signal.SIGKILL if killed else 0 if case.notice == DONE else 1
    if status != expected_status:
        problems.append(f"exit status {status}, expected {expected_status}")
    causes = case.stderr if isinstance(case.stderr, tuple) else (case.stderr,)
    if case.stderr and not any(cause in stderr for cause in causes):
        problems.append(f"stderr {stderr!r} lacks {case.stderr!r}")
    if case.notice == FAILED and not (killed or case.stderr_into or "2>&-" in case.redirections) \
            and "renumber: " not in stderr:
        problems.append(f"no cause on stderr: {stderr!r}")
    output = folder.read("data2.dat") if case.output is not NOT_CHECKED else None
    if case.output is WHOLE_RECORDS:  # or, where there was one, the old data2.dat left alone
        if output is None or output != case.old_output:
            check_whole_records(output or b"", reference.convert(folder.read("data.dat"))[0],
                                problems)
    elif case.output is PREFIX:  # what reached the file, even cut inside a record
        if output is not None and \
                not reference.convert(folder.read("data.dat"))[0].startswith(output):
            problems.append(f"data2.dat {_show(output)} does not begin the correct output")
    elif case.output is not NOT_CHECKED:  # a link may lead to /dev/full: never read it
        if case.output is ABSENT:
            expected = None
        elif case.output is UNCHANGED:
            expected = case.old_output
        else:
            expected = case.output
        if output != expected:
            problems.append(f"data2.dat {_show(output)}, expected {_show(expected)}")
    # Blocks reserved for the whole output are given back.
    held = os.stat(folder.file("data2.dat")).st_blocks * 512 if output is not None else 0
    if posix and held > len(output or b"") + (1 << 20):
        problems.append(f"data2.dat of {len(output)} bytes holds {held} bytes of disk")
    if case.data is not None and folder.read("data.dat") != case.data + folder.appended:
        problems.append("data.dat changed")
    if os.path.exists(os.path.join(folder.cwd, "data2.dat")):
        problems.append("wrote data2.dat in the working directory")
    # The rename is the only moment data2.dat changes: a run killed before it
    # leaves its new file, which the next run removes.
    if os.path.lexists(folder.file(NEW_OUTPUT)) != bool(killed and killed != "renamed"):
        problems.append("the new file was left beside data2.dat, or none by a run killed "
                        "before its rename")
    if case.mode is not None and os.stat(folder.file("data2.dat")).st_mode & 0o7777 != case.mode:
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


def in_case_folder(case: Case, program: str, run: Callable[[CaseFolder], List[str]]) -> List[str]:
    """The problems `run` finds in a folder laid out for the case."""
    problems = []
    if case.read_only_volume and not can_mount(problems):
        return problems
    folder = CaseFolder(program, case)
    try:
        return run(folder)
    finally:
        folder.remove()


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


def full_disk(launch: Native, program: str, printed: List[str]) -> List[str]:
    """data2.dat on a small file system that fills up midway, with room for
    the program, realistic data and half of its correct output: the failure
    is reported and data2.dat holds whole records, and not none of them."""
    problems = []
    if not can_mount(problems):
        return problems
    data = realistic_data(3 << 20)
    expected = reference.convert(data)[0]
    with small_file_system(os.path.getsize(program) + len(data) + len(expected) // 2) as space:
        folder = CaseFolder(program, data=data, app=space)
        try:
            status, shown, stderr = launch.outcome(folder)
            output = folder.read("data2.dat") or b""
        finally:
            folder.remove()
    printed += printed_causes(stderr, launch.encoding)
    if (status, shown) != (1, FAILED + "\n"):
        problems.append(f"exit status {status}, shown {shown!r}")
    if launch.posix and b"data2.dat: No space left on device" not in stderr:
        problems.append(f"cause {stderr!r}")
    check_whole_records(output, expected, problems)
    if len(output) < len(expected) // 4:
        problems.append(f"only {len(output)} bytes kept")
    return problems


def check_whole_records(output: bytes, expected: bytes, problems: List[str]) -> None:
    """data2.dat after a failure: whole records, each one of the correct output."""
    if not expected.startswith(output):
        problems.append(f"data2.dat ({len(output)} bytes) is not a prefix of the correct output")
    if output and not output.endswith(b"\r\n"):
        problems.append(f"data2.dat ends inside a record: {output[-40:]!r}")
