"""Runs the end-to-end cases against the Windows program under Wine.

Wine runs on a virtual display in a Japanese locale, so that the ANSI code
page is 932. Each message box is dismissed with Enter; Wine's message box
trace tells which notice it showed. Cases that need POSIX links or devices are
left to the native runner. Every cause line the Windows guide quotes must then
have been printed by a case or the full disk, in Wine's words for Windows' texts. Usage: run_wine.py PROGRAM.exe SCREENSHOT_FOLDER INTERPOSE_LIBRARY
"""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import zipfile
from typing import List

import reference
from cases import CASES, DONE, FAILED
from check_package import guide_of, unprinted_quotes
from desktop import EndedWithoutWindow, Xvfb, require
from harness import (CaseFolder, Holder, Writer, can_mount, check_kept_after_full_disk, judge,
                     printed_causes, report, disk_filling_midway)

LOCALE = "ja_JP.UTF-8"
SHOTS = {"road of one record": "wine-completion.png", "missing data.dat": "wine-failure.png"}


def wine_command():
    return shutil.which("wine") or shutil.which("wine64")


def require_locale():
    available = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout
    if "ja_JP.utf8" not in available.split():
        print(f"locale {LOCALE} is not generated")
        sys.exit(1)


class WinePrefix:
    """A fresh Wine prefix whose server stays up for all the cases."""

    def __init__(self, screen):
        self.folder = tempfile.mkdtemp(prefix="renumber-wine-")
        self.env = dict(screen.env, WINEPREFIX=self.folder, LANG=LOCALE, LC_ALL=LOCALE,
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="-all")
        subprocess.run([wine_command(), "wineboot", "--init"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        # Runs traced with +relay trace the message box call alone.
        self.wine("reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d",
                  "user32.MessageBoxW", "/f")
        # The dialog fonts of a Japanese system, replaced by a CJK font.
        for font in ("MS UI Gothic", "MS Shell Dlg", "MS Shell Dlg 2", "Tahoma"):
            self.wine("reg", "add", r"HKCU\Software\Wine\Fonts\Replacements",
                      "/v", font, "/d", "Noto Sans CJK JP", "/f")

    def wine(self, *args) -> str:
        """Runs a Wine tool; its output, which Wine writes in the ANSI code page."""
        done = subprocess.run([wine_command(), *args], env=self.env, capture_output=True,
                              timeout=120)
        return done.stdout.decode("cp932", "replace")

    def ansi_code_page(self) -> str:
        query = self.wine("reg", "query", r"HKLM\System\CurrentControlSet\Control\Nls\CodePage",
                          "/v", "ACP")
        found = re.search(r"ACP\s+REG_SZ\s+(\d+)", query)
        return found.group(1) if found else query

    def close(self):
        subprocess.run(["wineserver", "--kill"], env=self.env, check=False)
        shutil.rmtree(self.folder, ignore_errors=True)


def shown_notices(stderr: str):
    """The texts of the message boxes, from Wine's trace of each one."""
    def decode(escaped: str) -> str:
        return re.sub(r"\\([0-9a-f]{4})|\\(.)",
                      lambda m: chr(int(m.group(1), 16)) if m.group(1) else
                      {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(2), m.group(2)), escaped)
    return [decode(m) for m in re.findall(r'trace:msgbox:MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"', stderr)]


def windows_path(path: str) -> str:
    """A path of this system as Wine's programs name it."""
    return "Z:" + path.replace("/", "\\")


# What a run's trace holds: its message boxes, Wine's errors, and the message
# box call relayed, which tells Wine failing to show a notice apart from the
# program not asking for one.
TRACE = "trace+msgbox,err+all,+relay"


class WineShowedNoBox(Exception):
    """MessageBoxW returned without making its dialog: Wine failed to show the
    notice the program asked for, as it does when its desktop process cannot
    start."""


def ended_without_box(ended, err) -> List[str]:
    """The problem of a run that ended before its message box was seen;
    WineShowedNoBox where the program asked for one and Wine made none."""
    trace = traced(err)
    said = [line for line in trace.splitlines()
            if ":err:" in line or re.search(r"(Call|Ret) +user32\.MessageBoxW|:msgbox:", line)]
    if re.search(r"Ret +user32\.MessageBoxW\(\)", trace) and "MSGBOX_OnInit" not in trace:
        raise WineShowedNoBox(f"{ended}; Wine said: {said!r}")
    return [f"{ended}; Wine said: {said!r}"]


def once_more_if_wine_showed_no_box(run) -> List[str]:
    """The problems of `run`, run again once where Wine failed to show the
    message box: what it tests is the program's part."""
    try:
        return run()
    except WineShowedNoBox:
        try:
            return run()
        except WineShowedNoBox as again:
            return [f"Wine made no message box, twice: {again}"]


def run_case(screen, prefix, case, program, shots, interpose, printed):
    problems = []
    if case.read_only_volume and not can_mount(problems):
        return problems
    folder = CaseFolder(case, program)
    try:
        env = dict(prefix.env, WINEDEBUG=TRACE)
        if case.file_ids or case.faults:
            env.update(case.faults or {}, LD_PRELOAD=interpose, RENUMBER_FILE_IDS=case.file_ids)
        if case.faults:  # Wine's server truncates files: it gets the faults too, for this case
            subprocess.run(["wineserver", "--kill"], env=prefix.env, check=False)
        if case.plants_dll:  # preferred, as Windows prefers a DLL that is not a KnownDLL
            shutil.copy(os.path.join(os.path.dirname(program), "planted.dll"),
                        os.path.join(folder.app, "uxtheme.dll"))
            env["WINEDLLOVERRIDES"] += ";uxtheme=n,b"
        holding = Writer(folder) if case.writer else contextlib.nullcontext()
        if case.hold:
            holder = os.path.join(os.path.dirname(program), "holder.exe")
            holding = Holder(case.hold, folder.app, [wine_command(), holder], prefix.env,
                             windows_path)
        # Wine's standard error made from a Unix file is told from the data
        # files by its 128-bit ID alone; where they have none, it may be one
        # of them and gets no line: the line is read through a pipe then.
        piped = case.file_ids == "none"
        with tempfile.TemporaryFile() as err, holding as holder:
            process = subprocess.Popen([wine_command(), folder.start], cwd=folder.cwd, env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE if piped else err)
            if piped:
                reader = threading.Thread(target=lambda: err.write(process.stderr.read()))
                reader.start()
            problems = holder.started(process) if holder else []
            try:
                window = screen.wait_for_window("renumber", process)
            except EndedWithoutWindow as ended:
                if piped:
                    reader.join()
                return problems + ended_without_box(ended, err)
            if case.notice == DONE and folder.read("data2.dat") != case.output:
                problems.append("data2.dat not complete while the message box is up")
            if case.name in SHOTS:
                screen.screenshot(os.path.join(shots, SHOTS[case.name]))
            status = screen.dismiss(process, window, "Return")
            if piped:
                reader.join()
            err.seek(0)
            stderr = err.read()
        printed += printed_causes(stderr, "cp932")
        stderr = stderr.decode("utf-8", "replace")
        notices = shown_notices(stderr)
        if len(notices) != 1:
            problems.append(f"message boxes shown: {notices!r}")
        problems += judge(case, folder, notices[0] if notices else "", status, stderr, posix=False)
        if os.path.exists(os.path.join(folder.app, "planted-dll-ran")):
            problems.append("the planted uxtheme.dll was loaded")
        return problems
    finally:
        if case.faults:
            subprocess.run(["wineserver", "--kill"], env=env, check=False)
        folder.remove()


def started(program, prefix, err, debug=""):
    """`program` running under Wine, its message boxes traced to `err`."""
    return subprocess.Popen([wine_command(), program], cwd="/",
                            env=dict(prefix.env, WINEDEBUG=f"trace+msgbox{debug and ','}{debug}"),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)


class WineFolder:
    """The Windows program and a data.dat in a folder of their own."""

    def __init__(self, program, data, folder=None):
        self.path = folder or tempfile.mkdtemp(prefix="renumber-wine-run-")
        os.makedirs(self.path, exist_ok=True)
        self.program = os.path.join(self.path, os.path.basename(program))
        shutil.copy2(program, self.program)
        with open(os.path.join(self.path, "data.dat"), "wb") as f:
            f.write(data)

    def start(self, prefix, err, debug=""):
        return started(self.program, prefix, err, debug)

    def output(self):
        with open(os.path.join(self.path, "data2.dat"), "rb") as f:
            return f.read()


def dismissed(screen, prefix, program, printed=None):
    """Runs `program`, dismissing its message box: its exit status and the
    notices shown; its cause lines go to `printed`."""
    with tempfile.TemporaryFile() as err:
        run = started(program, prefix, err)
        status = screen.dismiss(run, screen.wait_for_window("renumber", run), "Return")
        err.seek(0)
        if printed is not None:
            printed += printed_causes(err.read(), "cp932")
        return status, shown_notices(traced(err))


def traced(err) -> str:
    err.seek(0)
    return err.read().decode("utf-8", "replace")


def two_instances(screen, prefix, program):
    """A second instance started while the first holds data2.dat (its message
    box is up, the file still open) is refused and leaves the file alone."""
    data = "".join(f'"K{i}","名前","部","{i % 21}","備考"\r\n' for i in range(2000)).encode("cp932")
    expected = reference.convert(data)[0]
    folder = WineFolder(program, data)
    problems = []
    try:
        with tempfile.TemporaryFile() as first_err, tempfile.TemporaryFile() as second_err:
            first = folder.start(prefix, first_err)
            try:
                first_window = screen.wait_for_window("renumber", first)
            except RuntimeError as error:
                return [f"first instance: {error}; its standard error: {traced(first_err)!r}"]
            second = folder.start(prefix, second_err)
            second_window = screen.wait_for_another_window("renumber", first_window, second)
            status = screen.dismiss(second, second_window, "Return")
            if (status, shown_notices(traced(second_err))) != (1, [FAILED]):
                problems.append(f"second instance: status {status}, notices "
                                f"{shown_notices(traced(second_err))!r}")
            if "data2.dat" not in traced(second_err):
                problems.append("second instance: no cause line naming data2.dat")
            if folder.output() != expected:
                problems.append("the second instance changed data2.dat")
            status = screen.dismiss(first, first_window, "Return")
            if (status, shown_notices(traced(first_err))) != (0, [DONE]):
                problems.append(f"first instance: status {status}, notices "
                                f"{shown_notices(traced(first_err))!r}")
            if folder.output() != expected:
                problems.append("data2.dat is not the exact output")
    finally:
        shutil.rmtree(folder.path, ignore_errors=True)
    return problems


# Where the cause line goes: (name, folder name, data.dat or None, command in
# the program's folder, file that must hold exactly one cause line or None,
# text it must hold, whether the data files report no file IDs). An old
# data2.dat is there before each run. Standard error redirected into data.dat
# itself must leave data.dat as it was; into data2.dat, which cmd then holds
# for writing so that the run cannot open it, data2.dat. (Windows allows no control characters
# in names.) The files of a volume without file IDs are not taken for one:
# the run gets past data2.dat to the bad record.
BLANK_SECOND_LINE = b'"a","b","c","5","e"\r\n\r\n'
CAUSE_LINES = [
    ("the guide's recipe", "folder", None, "renumber.exe 2> cause.txt", "cause.txt",
     "data.dat", False),
    ("standard error is data.dat", "folder", BLANK_SECOND_LINE, "renumber.exe 2>> data.dat", None,
     "", False),
    ("standard error is data2.dat, held by cmd", "folder", BLANK_SECOND_LINE,
     "renumber.exe 2>> data2.dat", None, "", False),
    ("standard error is data2.dat, held by cmd, and data.dat is missing", "folder", None,
     "renumber.exe 2>> data2.dat", None, "", False),
    ("a volume without file IDs", "folder", BLANK_SECOND_LINE, "renumber.exe 2> cause.txt",
     "cause.txt", "data.dat line 2: 0 fields", True),
    ("a folder name in code page 932, and a character beyond it", "予定表ソ한", None,
     "renumber.exe 2> cause.txt", "cause.txt", "\\予定表ソ\\uD55C\\data.dat", False),
]


def cause_lines(screen, prefix, program, interpose):
    """The user's guide's way to see the cause on Windows, from a command
    prompt in the program's folder, and standard error that is a data file."""
    problems = []
    for row in CAUSE_LINES:
        problems += [f"{row[0]}: {problem}" for problem in once_more_if_wine_showed_no_box(
            lambda: cause_line_row(screen, prefix, program, interpose, *row[1:]))]
    return problems


def cause_line_row(screen, prefix, program, interpose, folder_name, data, command, cause_file,
                   text, no_file_ids):
    """One row of CAUSE_LINES, its problems."""
    root = tempfile.mkdtemp(prefix="renumber-wine-cause-")
    folder = WineFolder(program, data or b"", os.path.join(root, folder_name))
    if data is None:
        os.remove(os.path.join(folder.path, "data.dat"))
    with open(os.path.join(folder.path, "data2.dat"), "wb") as f:
        f.write(b"old data2.dat\r\n")
    env = dict(prefix.env, WINEDEBUG=TRACE)
    if no_file_ids:
        env.update(LD_PRELOAD=interpose, RENUMBER_FILE_IDS="none")
    problems = []
    try:
        with tempfile.TemporaryFile() as err:
            recipe = subprocess.Popen([wine_command(), "cmd", "/c", command], cwd=folder.path,
                                      env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=err)
            try:
                screen.dismiss(recipe, screen.wait_for_window("renumber", recipe), "Return")
            except EndedWithoutWindow as ended:
                return ended_without_box(ended, err)
        if cause_file:
            with open(os.path.join(folder.path, cause_file), "rb") as f:
                cause = f.read().decode("cp932", "replace")  # as Windows programs write files
            if not (cause.startswith("renumber: ") and text in cause and cause.count("\n") == 1):
                problems.append(f"the cause line is {cause!r}")
        if data is not None and open(os.path.join(folder.path, "data.dat"), "rb").read() != data:
            problems.append("data.dat changed")
        if command.endswith("data2.dat") and \
                open(os.path.join(folder.path, "data2.dat"), "rb").read() != b"old data2.dat\r\n":
            problems.append("data2.dat changed")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return problems


def stderr_appended_to_data_dat_by_a_unix_shell(screen, prefix, program, interpose):
    """`wine renumber.exe 2>>data.dat` from a Unix shell: Wine's handle for that
    standard error fails GetFileInformationByHandle but answers FileIdInfo,
    FileBasicInfo and FileStandardInfo, which tell it for data.dat; on a
    volume without file IDs, or one that makes them up per name (standard
    error then a third hard link of data.dat), its size and times tell it.
    The cause line stays out."""
    problems = []
    for file_ids, name in (("", "data.dat"), ("none", "data.dat"), ("per-name", "log.txt")):
        folder = WineFolder(program, BLANK_SECOND_LINE)
        if name != "data.dat":
            os.link(os.path.join(folder.path, "data.dat"), os.path.join(folder.path, name))
        env = dict(prefix.env, LD_PRELOAD=interpose, RENUMBER_FILE_IDS=file_ids) if file_ids \
            else prefix.env
        try:
            with open(os.path.join(folder.path, name), "ab") as err:
                run = subprocess.Popen([wine_command(), folder.program], cwd="/", env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=err)
                screen.dismiss(run, screen.wait_for_window("renumber", run), "Return")
            with open(os.path.join(folder.path, "data.dat"), "rb") as data:
                kept = data.read()
            if kept != BLANK_SECOND_LINE:
                problems.append(f"file IDs {file_ids or 'real'}, standard error {name}: data.dat "
                                f"ends in {kept[-60:]!r}")
        finally:
            shutil.rmtree(folder.path, ignore_errors=True)
    return problems


def full_disk(screen, prefix, program, printed):
    """A disk that fills up midway: the failure notice, and data2.dat cut back
    to whole records."""
    problems = []
    if not can_mount(problems):
        return problems
    with disk_filling_midway(program) as (space, data, expected):
        folder = WineFolder(program, data, space)
        status, notices = dismissed(screen, prefix, folder.program, printed)
        if (status, notices) != (1, [FAILED]):
            problems.append(f"status {status}, notices {notices!r}")
        output = folder.output()
    check_kept_after_full_disk(output, expected, problems)
    return problems


def message_box_in_front(screen, prefix, program, shots):
    """The message box is asked to stay in front of every window and to take
    the foreground (MB_TOPMOST | MB_SETFOREGROUND), with a single OK button
    and no icon: Windows keeps that promise. Wine 8 ignores both flags, so
    the screenshot with another window brought to the front shows the order
    and the call is checked in Wine's trace."""
    folder = WineFolder(program, b'"a","b","c","5","e"\r\n')
    try:
        with tempfile.TemporaryFile() as err:
            problems = screen.notice_in_front(lambda: folder.start(prefix, err, "+relay"),
                                              os.path.join(shots, "wine-in-front.png"),
                                              stacking=False)
            calls = re.findall(r"Call user32\.MessageBoxW\(.*,([0-9a-f]{8})\)", traced(err))
        if calls != ["00050000"]:  # MB_OK | MB_SETFOREGROUND | MB_TOPMOST
            problems.append(f"MessageBoxW types {calls!r}, expected ['00050000']")
        return problems
    finally:
        shutil.rmtree(folder.path, ignore_errors=True)


def no_visible_desktop(prefix, program):
    """Where no one can see a message box (a window station that is not
    visible), the run ends by itself with its exit status and lets go of a
    complete data2.dat; hidden_desktop.exe gives up after 20 s with 255."""
    folder = WineFolder(program, b'"a","b","c","5","e"\r\n')
    try:
        done = subprocess.run([wine_command(), os.path.join(os.path.dirname(program),
                                                             "hidden_desktop.exe"), folder.program],
                              env=prefix.env, capture_output=True, timeout=120)
        if (done.returncode, folder.output()) != (0, b'"a","b","c","6","e"\r\n'):
            return [f"exit status {done.returncode}, data2.dat {folder.output()!r}"]
        return []
    finally:
        shutil.rmtree(folder.path, ignore_errors=True)


def guide_first_run(screen, prefix, program):
    """The Windows guide's first run on the package: unpacked as Explorer's
    "すべて展開" does, into the folder it proposes, named as the zip;
    renumber.exe copied into 見本 with cmd's copy and started there, ending in
    the completion notice with data2.dat in 見本. (Unblocking and SmartScreen
    are Windows' own.)"""
    folder = tempfile.mkdtemp(prefix="renumber-wine-first-run-")
    unpacked = os.path.join(folder, "renumber-1.00-win64")
    sample = os.path.join(unpacked, "見本")
    try:
        subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "..", "..", "tools",
                                                     "package.py"), program, unpacked + ".zip"],
                       check=True, stdout=subprocess.DEVNULL)
        zipfile.ZipFile(unpacked + ".zip").extractall(unpacked)
        subprocess.run([wine_command(), "cmd", "/c", "copy", "renumber.exe", "見本"], cwd=unpacked,
                       env=prefix.env, capture_output=True, timeout=120)
        if not os.path.exists(os.path.join(sample, "renumber.exe")):
            return [f"renumber.exe not copied into 見本; the folder holds {os.listdir(unpacked)}"]
        status, notices = dismissed(screen, prefix, os.path.join(sample, "renumber.exe"))
        with open(os.path.join(sample, "data.dat"), "rb") as data, \
                open(os.path.join(sample, "data2.dat"), "rb") as output:
            if (status, notices, output.read()) != (0, [DONE], reference.convert(data.read())[0]):
                return [f"exit status {status}, notices {notices!r}, or data2.dat wrong"]
        return []
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    require("Xvfb", "xdotool", "import", "wineserver", "openbox", "xmessage", "xprop")
    if wine_command() is None:
        require("wine")
    require_locale()
    program, shots, interpose = sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3])
    results, printed = [], []
    with Xvfb() as screen:
        prefix = WinePrefix(screen)
        try:
            code_page = prefix.ansi_code_page()
            results.append(("ANSI code page is 932",
                            [] if code_page == "932" else [f"ANSI code page {code_page!r}"]))
            for case in CASES:
                if not case.posix_only:
                    results.append((case.name, once_more_if_wine_showed_no_box(
                        lambda: run_case(screen, prefix, case, program, shots, interpose,
                                         printed))))
            results.append(("the guide's first run on the package ends in the completion notice",
                            guide_first_run(screen, prefix, program)))
            results.append(("two instances at once", two_instances(screen, prefix, program)))
            results.append(("a full disk midway", full_disk(screen, prefix, program, printed)))
            results.append(("every cause line the guide quotes is printed by a case",
                             unprinted_quotes(guide_of(windows=True), printed, wine=True)))
            results.append(("where the cause line goes",
                            cause_lines(screen, prefix, program, interpose)))
            results.append(("standard error appended to data.dat by a Unix shell",
                            stderr_appended_to_data_dat_by_a_unix_shell(screen, prefix, program,
                                                                        interpose)))
            results.append(("no message box where no desktop is visible",
                            no_visible_desktop(prefix, program)))
            results.append(("the message box stays in front of another program's window",
                            message_box_in_front(screen, prefix, program, shots)))
        finally:
            prefix.close()
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
