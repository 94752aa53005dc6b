"""Runs the end-to-end cases against the Windows program under Wine.

Wine runs on a virtual display in a Japanese locale, so that the ANSI code
page is 932. Each message box is dismissed with Enter; Wine's message box
trace tells which notice it showed. Cases that need POSIX links or devices are
left to the native runner. Usage: run_wine.py PROGRAM.exe SCREENSHOT_FOLDER
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

from cases import CASES, DONE
from desktop import Xvfb, require
from harness import CaseFolder, judge, report

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


def run_case(screen, prefix, case, program, shots):
    folder = CaseFolder(case, program)
    try:
        env = dict(prefix.env, WINEDEBUG="trace+msgbox")
        with tempfile.TemporaryFile() as err:
            process = subprocess.Popen([wine_command(), folder.start], cwd=folder.cwd, env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=err)
            problems = []
            window = screen.wait_for_window("renumber", process)
            if case.notice == DONE and folder.read("data2.dat") != case.output:
                problems.append("data2.dat not complete while the message box is up")
            if case.name in SHOTS:
                screen.screenshot(os.path.join(shots, SHOTS[case.name]))
            status = screen.dismiss(process, window, "Return")
            err.seek(0)
            stderr = err.read().decode("utf-8", "replace")
        notices = shown_notices(stderr)
        if len(notices) != 1:
            problems.append(f"message boxes shown: {notices!r}")
        problems += judge(case, folder, notices[0] if notices else "", status, stderr, posix=False)
        return problems
    finally:
        folder.remove()


def main():
    require("Xvfb", "xdotool", "import", "wineserver")
    if wine_command() is None:
        require("wine")
    require_locale()
    program, shots = sys.argv[1], sys.argv[2]
    results = []
    with Xvfb() as screen:
        prefix = WinePrefix(screen)
        try:
            code_page = prefix.ansi_code_page()
            results.append(("ANSI code page is 932",
                            [] if code_page == "932" else [f"ANSI code page {code_page!r}"]))
            for case in CASES:
                if not case.posix_only:
                    results.append((case.name, run_case(screen, prefix, case, program, shots)))
        finally:
            prefix.close()
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
