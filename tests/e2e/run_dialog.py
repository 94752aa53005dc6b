"""The notice as a desktop dialog, on a virtual X display and in a headless
Wayland compositor: the real program shows a window titled "renumber" that
waits for the user, with data2.dat already complete on disk, and ends when
the user presses Enter or Escape, or closes it. A display that cannot be
opened leaves the notice to the terminal.

Usage: run_dialog.py PROGRAM SCREENSHOT_FOLDER WAYLAND_KEYBOARD
"""

import os
import sys

from cases import CASES, DONE, FAILED
from desktop import Sway, Xvfb, require
from harness import CaseFolder, Native, in_case_folder, judge, report

BOTH = ("X11", "Wayland")
ROWS = [  # case name, how the user dismisses it, screenshot name, desktops
    ("road of one record", "Return", "dialog-completion.png", BOTH),
    ("missing data.dat", "Return", "dialog-failure.png", BOTH),
    ("four fields fail", "Escape", None, BOTH),
    # X11 without a window manager has no close button to press.
    ("missing data.dat", "close", None, ("Wayland",)),
]


def case_named(name):
    return next(case for case in CASES if case.name == name)


def run_case(screen, case, folder, shots, key, shot):
    process = Native(env=screen.env).start(folder)
    try:
        window = screen.wait_for_window("renumber", process)
    except (RuntimeError, TimeoutError) as error:
        stdout, stderr = process.communicate(timeout=30)
        return [str(error), f"stdout {stdout!r}", f"stderr {stderr[-2000:]!r}"]
    problems = screen.window_problems(window)
    if process.poll() is not None:
        problems.append("the program ended while its dialog was up")
    if case.notice == DONE and folder.read("data2.dat") != case.output:
        problems.append("data2.dat not complete while the completion dialog is up")
    if shot:
        screen.screenshot(os.path.join(shots, screen.shot_prefix + shot))
    screen.dismiss(process, window, key)
    stdout, stderr = process.communicate(timeout=30)
    if stdout:
        problems.append(f"printed {stdout!r} besides showing the dialog")
    if screen.has_window("renumber"):
        problems.append("the dialog is still there")
    # The dialog's text cannot be read back here: the exit status and the
    # cause line tell which notice it was, the screenshots show its text.
    notice = DONE if process.returncode == 0 else FAILED
    return problems + judge(case, folder, notice + "\n", process.returncode, stderr.decode())


def run_without_display(env, case, folder):
    """The notice on standard output, as without a desktop."""
    status, shown, stderr = Native(env=env).outcome(folder)
    return judge(case, folder, shown, status, stderr.decode())


def run_rows(screen, program, shots):
    results = []
    for name, key, shot, desktops in ROWS:
        if screen.name in desktops:
            case = case_named(name)
            results.append((f"{screen.name}: {name} (dismissed with {key})", in_case_folder(
                case, program, lambda folder: run_case(screen, case, folder, shots, key, shot))))
    road = case_named("road of one record")
    for label, env in screen.broken_envs():
        results.append((f"{screen.name}: {label} leaves the notice to the terminal",
                        in_case_folder(road, program,
                                       lambda folder: run_without_display(env, road, folder))))
    return results


def main():
    program, shots, keyboard = sys.argv[1], sys.argv[2], sys.argv[3]
    require("Xvfb", "xdotool", "import", "openbox", "xmessage", "xprop",
            "sway", "swaymsg", "grim", keyboard or "wayland_keyboard (not built)")
    results = []
    with Xvfb() as screen:
        results += run_rows(screen, program, shots)
        folder = CaseFolder(program, case_named("road of one record"))
        try:
            problems = screen.notice_in_front(
                lambda: Native(env=screen.env).start(folder, stdout=None, stderr=None),
                os.path.join(shots, "dialog-in-front.png"))
        except (RuntimeError, TimeoutError) as error:
            problems = [str(error)]
        finally:
            folder.remove()
        results.append(("X11: the dialog stays in front of another program's window", problems))
    with Sway(keyboard) as screen:
        results += run_rows(screen, program, shots)
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
