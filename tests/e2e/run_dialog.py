"""The notice as a desktop dialog: under a virtual display the real program
shows a window titled "renumber" that waits for the user, with data2.dat
already complete on disk, and ends when the user presses Enter or Escape.

Usage: run_dialog.py PROGRAM SCREENSHOT_FOLDER
"""

import os
import subprocess
import sys

from cases import CASES, DONE, FAILED
from desktop import Xvfb, require
from harness import CaseFolder, judge, report

CHOSEN = {  # case name: (key that dismisses, screenshot name)
    "road of one record": ("Return", "dialog-completion.png"),
    "missing data.dat": ("Return", "dialog-failure.png"),
    "four fields fail": ("Escape", None),
}


def run_case(screen, case, program, shots, key, shot):
    folder = CaseFolder(case, program)
    try:
        process = subprocess.Popen([folder.start], cwd=folder.cwd, env=screen.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        problems = []
        try:
            window = screen.wait_for_window("renumber", process)
        except (RuntimeError, TimeoutError) as error:
            stdout, stderr = process.communicate(timeout=30)
            return [str(error), f"stdout {stdout!r}", f"stderr {stderr[-2000:]!r}"]
        if process.poll() is not None:
            problems.append("the program ended while its dialog was up")
        if case.notice == DONE and folder.read("data2.dat") != case.output:
            problems.append("data2.dat not complete while the completion dialog is up")
        state = subprocess.run(["xprop", "-id", window, "_NET_WM_STATE"], env=screen.env,
                               capture_output=True, text=True).stdout
        if "SKIP_TASKBAR" in state:
            problems.append(f"the dialog is kept out of the taskbar: {state.strip()}")
        if shot:
            screen.screenshot(os.path.join(shots, shot))
        screen.dismiss(process, window, key)
        stdout, stderr = process.communicate(timeout=30)
        if stdout:
            problems.append(f"printed {stdout!r} besides showing the dialog")
        if screen.has_window("renumber"):
            problems.append("the dialog is still there")
        # The dialog's text cannot be read back here: the exit status and the
        # cause line tell which notice it was, the screenshots show its text.
        notice = DONE if process.returncode == 0 else FAILED
        problems += judge(case, folder, notice, process.returncode, stderr.decode())
        return problems
    finally:
        folder.remove()


def main():
    require("Xvfb", "xdotool", "import", "openbox", "xmessage", "xprop")
    program, shots = sys.argv[1], sys.argv[2]
    results = []
    with Xvfb() as screen:
        for case in CASES:
            if case.name in CHOSEN:
                key, shot = CHOSEN[case.name]
                results.append((f"{case.name} (dismissed with {key})",
                                run_case(screen, case, program, shots, key, shot)))
        case = next(case for case in CASES if case.name == "road of one record")
        folder = CaseFolder(case, program)
        try:
            results.append(("the dialog stays in front of another program's window",
                            screen.notice_in_front(
                                lambda: subprocess.Popen([folder.start], cwd=folder.cwd,
                                                         env=screen.env,
                                                         stdin=subprocess.DEVNULL),
                                os.path.join(shots, "dialog-in-front.png"))))
        finally:
            folder.remove()
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
