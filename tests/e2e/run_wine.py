"""Runs the end-to-end cases against the Windows program under Wine.

Wine runs on a virtual display in a Japanese locale, so that the ANSI code
page is 932. Each message box is dismissed with Enter; Wine's message box
trace tells which notice it showed. Cases that need POSIX links or devices are
left to the native runner. Every cause line the Windows guide quotes must then
have been printed by a case or the full disk, in Wine's words for Windows' texts. Usage: run_wine.py PROGRAM.exe SCREENSHOT_FOLDER INTERPOSE_LIBRARY
"""

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
from cases import CASES, DONE, FAILED, Case
from check_package import guide_of, unprinted_quotes
from desktop import EndedWithoutWindow, Xvfb, require
from harness import (CaseFolder, Wine, full_disk, in_case_folder, judge, printed_causes, report,
                     shown_notices, started_in_place, wine_command)

LOCALE = "ja_JP.UTF-8"
SHOTS = {"road of one record": "wine-completion.png", "missing data.dat": "wine-failure.png"}


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


def run_case(wine, case, folder, shots, printed):
    problems = []
    env, holding = wine.prepare(case, folder)
    if case.faults:  # Wine's server truncates files: it gets the faults too, for this case
        subprocess.run(["wineserver", "--kill"], env=wine.prefix_env, check=False)
    if case.plants_dll:  # preferred, as Windows prefers a DLL that is not a KnownDLL
        shutil.copy(os.path.join(os.path.dirname(wine.program), "planted.dll"),
                    folder.file("uxtheme.dll"))
        env["WINEDLLOVERRIDES"] += ";uxtheme=n,b"
    # Wine's standard error made from a Unix file is told from the data
    # files by its 128-bit ID alone; where they have none, it may be one
    # of them and gets no line: the line is read through a pipe then.
    piped = case.file_ids == "none"
    try:
        with tempfile.TemporaryFile() as err, holding as holder:
            process = wine.start(folder, case, env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE if piped else err)
            if piped:
                reader = threading.Thread(target=lambda: err.write(process.stderr.read()))
                reader.start()
            problems = holder.started(process) if holder else []
            try:
                window = wine.screen.wait_for_window("renumber", process)
            except EndedWithoutWindow as ended:
                if piped:
                    reader.join()
                return problems + ended_without_box(ended, err)
            if case.notice == DONE and folder.read("data2.dat") != case.output:
                problems.append("data2.dat not complete while the message box is up")
            if case.name in SHOTS:
                wine.screen.screenshot(os.path.join(shots, SHOTS[case.name]))
            status = wine.screen.dismiss(process, window, "Return")
            if piped:
                reader.join()
            err.seek(0)
            stderr = err.read()
    finally:
        if case.faults:
            subprocess.run(["wineserver", "--kill"], env=env, check=False)
    printed += printed_causes(stderr, "cp932")
    stderr = stderr.decode("utf-8", "replace")
    problems += judge(case, folder, shown_notices(stderr), status, stderr, posix=False)
    if os.path.exists(folder.file("planted-dll-ran")):
        problems.append("the planted uxtheme.dll was loaded")
    return problems


def traced(err) -> str:
    err.seek(0)
    return err.read().decode("utf-8", "replace")


def two_instances(wine, program):
    """A second instance started while the first holds data2.dat (its message
    box is up, the file still open) is refused and leaves the file alone."""
    data = "".join(f'"K{i}","名前","部","{i % 21}","備考"\r\n' for i in range(2000)).encode("cp932")
    expected = reference.convert(data)[0]
    folder = CaseFolder(program, data=data)
    screen, problems = wine.screen, []
    try:
        with tempfile.TemporaryFile() as first_err, tempfile.TemporaryFile() as second_err:
            first = wine.start(folder, stdout=subprocess.DEVNULL, stderr=first_err)
            try:
                first_window = screen.wait_for_window("renumber", first)
            except RuntimeError as error:
                return [f"first instance: {error}; its standard error: {traced(first_err)!r}"]
            second = wine.start(folder, stdout=subprocess.DEVNULL, stderr=second_err)
            second_window = screen.wait_for_another_window("renumber", first_window, second)
            for name, run, window, err, status, notice in [
                    ("second", second, second_window, second_err, 1, FAILED),
                    ("first", first, first_window, first_err, 0, DONE)]:
                shown = (screen.dismiss(run, window, "Return"), shown_notices(traced(err)))
                if shown != (status, notice + "\n"):
                    problems.append(f"{name} instance: status and notices {shown!r}")
                if folder.read("data2.dat") != expected:
                    problems.append(f"data2.dat is not the exact output after the {name} instance")
            if "data2.dat" not in traced(second_err):
                problems.append("second instance: no cause line naming data2.dat")
    finally:
        folder.remove()
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


def cause_lines(wine, program):
    """The user's guide's way to see the cause on Windows, from a command
    prompt in the program's folder, and standard error that is a data file."""
    problems = []
    for row in CAUSE_LINES:
        problems += [f"{row[0]}: {problem}" for problem in once_more_if_wine_showed_no_box(
            lambda: cause_line_row(wine, program, *row[1:]))]
    return problems


def cause_line_row(wine, program, folder_name, data, command, cause_file, text, no_file_ids):
    """One row of CAUSE_LINES, its problems."""
    root = tempfile.mkdtemp(prefix="renumber-wine-cause-")
    case = Case("", data, FAILED, None, old_output=b"old data2.dat\r\n",
                file_ids="none" if no_file_ids else "")
    folder = CaseFolder(program, case, app=os.path.join(root, folder_name))
    env, _ = wine.prepare(case, folder)
    problems = []
    try:
        with tempfile.TemporaryFile() as err:
            recipe = subprocess.Popen([wine_command(), "cmd", "/c", command], cwd=folder.app,
                                      env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=err)
            try:
                wine.screen.dismiss(recipe, wine.screen.wait_for_window("renumber", recipe),
                                    "Return")
            except EndedWithoutWindow as ended:
                return ended_without_box(ended, err)
        if cause_file:
            cause = folder.read(cause_file).decode("cp932", "replace")  # as Windows programs write
            if not (cause.startswith("renumber: ") and text in cause and cause.count("\n") == 1):
                problems.append(f"the cause line is {cause!r}")
        if data is not None and folder.read("data.dat") != data:
            problems.append("data.dat changed")
        if command.endswith("data2.dat") and folder.read("data2.dat") != case.old_output:
            problems.append("data2.dat changed")
    finally:
        folder.remove()
        shutil.rmtree(root, ignore_errors=True)
    return problems


def stderr_appended_to_data_dat_by_a_unix_shell(wine, program):
    """`wine renumber.exe 2>>data.dat` from a Unix shell: Wine's handle for that
    standard error fails GetFileInformationByHandle but answers FileIdInfo,
    FileBasicInfo and FileStandardInfo, which tell it for data.dat; on a
    volume without file IDs, or one that makes them up per name (standard
    error then a third hard link of data.dat), its size and times tell it.
    The cause line stays out."""
    problems = []
    for file_ids, name in (("", "data.dat"), ("none", "data.dat"), ("per-name", "log.txt")):
        folder = CaseFolder(program, data=BLANK_SECOND_LINE)
        if name != "data.dat":
            os.link(folder.file("data.dat"), folder.file(name))
        env, _ = wine.prepare(Case("", None, FAILED, None, file_ids=file_ids), folder)
        try:
            with open(folder.file(name), "ab") as err:
                # Nothing of Wine's own trace in the file.
                run = wine.start(folder, env=dict(env, WINEDEBUG="-all"),
                                 stdout=subprocess.DEVNULL, stderr=err)
                wine.screen.dismiss(run, wine.screen.wait_for_window("renumber", run), "Return")
            kept = folder.read("data.dat")
            if kept != BLANK_SECOND_LINE:
                problems.append(f"file IDs {file_ids or 'real'}, standard error {name}: data.dat "
                                f"ends in {kept[-60:]!r}")
        finally:
            folder.remove()
    return problems


def message_box_in_front(wine, program, shots):
    """The message box is asked to stay in front of every window and to take
    the foreground (MB_TOPMOST | MB_SETFOREGROUND), with a single OK button
    and no icon: Windows keeps that promise. Wine 8 ignores both flags, so
    the screenshot with another window brought to the front shows the order
    and the call is checked in Wine's trace."""
    folder = CaseFolder(program, data=b'"a","b","c","5","e"\r\n')
    try:
        with tempfile.TemporaryFile() as err:
            problems = wine.screen.notice_in_front(
                lambda: wine.start(folder, stdout=subprocess.DEVNULL, stderr=err),
                os.path.join(shots, "wine-in-front.png"), stacking=False)
            calls = re.findall(r"Call user32\.MessageBoxW\(.*,([0-9a-f]{8})\)", traced(err))
        if calls != ["00050000"]:  # MB_OK | MB_SETFOREGROUND | MB_TOPMOST
            problems.append(f"MessageBoxW types {calls!r}, expected ['00050000']")
        return problems
    finally:
        folder.remove()


def no_visible_desktop(wine, program):
    """Where no one can see a message box (a window station that is not
    visible), the run ends by itself with its exit status and lets go of a
    complete data2.dat; hidden_desktop.exe gives up after 20 s with 255."""
    folder = CaseFolder(program, data=b'"a","b","c","5","e"\r\n')
    try:
        done = subprocess.run([wine_command(), os.path.join(os.path.dirname(program),
                                                             "hidden_desktop.exe"), folder.program],
                              cwd=folder.cwd, env=wine.prefix_env, capture_output=True, timeout=120)
        if (done.returncode, folder.read("data2.dat")) != (0, b'"a","b","c","6","e"\r\n'):
            return [f"exit status {done.returncode}, data2.dat {folder.read('data2.dat')!r}"]
        return []
    finally:
        folder.remove()


def guide_first_run(wine, program):
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
                       env=wine.prefix_env, capture_output=True, timeout=120)
        if not os.path.exists(os.path.join(sample, "renumber.exe")):
            return [f"renumber.exe not copied into 見本; the folder holds {os.listdir(unpacked)}"]
        status, shown, _ = wine.outcome(started_in_place(os.path.join(sample, "renumber.exe")))
        with open(os.path.join(sample, "data.dat"), "rb") as data, \
                open(os.path.join(sample, "data2.dat"), "rb") as output:
            right = (status, shown, output.read()) == (0, DONE + "\n",
                                                       reference.convert(data.read())[0])
        return [] if right else [f"exit status {status}, shown {shown!r}, or data2.dat wrong"]
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
        wine = Wine(screen, prefix.env, program, interpose)
        try:
            code_page = prefix.ansi_code_page()
            results.append(("ANSI code page is 932",
                            [] if code_page == "932" else [f"ANSI code page {code_page!r}"]))
            for case in CASES:
                if not case.posix_only:
                    results.append((case.name, once_more_if_wine_showed_no_box(
                        lambda: in_case_folder(case, program, lambda folder: run_case(
                            wine, case, folder, shots, printed)))))
            checks = [
                ("the guide's first run on the package ends in the completion notice",
                 lambda: guide_first_run(wine, program)),
                ("two instances at once", lambda: two_instances(wine, program)),
                ("a full disk midway", lambda: full_disk(wine, program, printed)),
                ("every cause line the guide quotes is printed by a case",
                 lambda: unprinted_quotes(guide_of(windows=True), printed, wine=True)),
                ("where the cause line goes", lambda: cause_lines(wine, program)),
                ("standard error appended to data.dat by a Unix shell",
                 lambda: stderr_appended_to_data_dat_by_a_unix_shell(wine, program)),
                ("no message box where no desktop is visible",
                 lambda: no_visible_desktop(wine, program)),
                ("the message box stays in front of another program's window",
                 lambda: message_box_in_front(wine, program, shots))]
            results += [(name, check()) for name, check in checks]
        finally:
            prefix.close()
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
