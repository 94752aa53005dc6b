"""A virtual X display for tests that see what a user sees: start Xvfb, wait
for a window, press a key in it, take a screenshot."""

import os
import re
import shutil
import subprocess
import sys
import time
from typing import List

SKIP = 77  # ctest's code for a skipped test, used only outside CI


HEADLESS = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}


def headless(env=None) -> dict:
    """The environment of a run that must not open a desktop dialog: without
    DISPLAY and WAYLAND_DISPLAY, so the notice goes to the terminal."""
    env = dict(HEADLESS if env is None else env)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def require(*tools: str) -> None:
    """Stops the test when a tool is missing: a failure in CI, a skip elsewhere."""
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if not missing:
        return
    print(f"missing tools: {' '.join(missing)}")
    sys.exit(1 if os.environ.get("CI") else SKIP)


class Xvfb:
    """A virtual screen for the duration of a `with` block; `env` reaches it."""

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as display_number:
            self.display = ":" + display_number.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        return self

    def __exit__(self, *_):
        self.server.terminate()
        self.server.wait()

    def _xdotool(self, *args: str) -> str:
        done = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True)
        return done.stdout.strip()

    def wait_for_window(self, title: str, process, timeout: float = 60) -> str:
        """The id of the visible window of that exact title, once the process
        shows it; an error when the process ends first or takes too long.

        One xdotool waits on one connection: a client connecting again and
        again can crowd out the program's own connection to the server."""
        search = subprocess.Popen(
            ["xdotool", "search", "--sync", "--onlyvisible", "--name", f"^{title}$"],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        deadline = time.monotonic() + timeout
        try:
            while search.poll() is None:
                if process.poll() is not None:
                    raise RuntimeError(f"the program ended (status {process.returncode}) "
                                       f"without a window titled {title!r}")
                if time.monotonic() > deadline:
                    process.kill()
                    raise TimeoutError(f"no window titled {title!r} within {timeout} s")
                time.sleep(0.1)
            return search.stdout.read().split()[0]
        finally:
            if search.poll() is None:
                search.kill()
                search.wait()

    def wait_for_another_window(self, title: str, known: str, process,
                                timeout: float = 60) -> str:
        """The id of a visible window of that title other than `known`, once
        the process shows it. Polled slowly, so as not to crowd out the
        program's own connection to the server."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if process.poll() is not None:
                raise RuntimeError(f"the program ended (status {process.returncode}) "
                                   f"without a second window titled {title!r}")
            found = self._xdotool("search", "--onlyvisible", "--name", f"^{title}$").split()
            others = [window for window in found if window != known]
            if others:
                return others[0]
            time.sleep(0.5)
        process.kill()
        raise TimeoutError(f"no second window titled {title!r} within {timeout} s")

    def has_window(self, title: str) -> bool:
        return bool(self._xdotool("search", "--onlyvisible", "--name", f"^{title}$"))

    def press(self, window: str, key: str) -> None:
        # No window manager runs: give the window the focus, then type.
        self._xdotool("windowfocus", "--sync", window)
        self._xdotool("key", key)

    def dismiss(self, process, window: str, key: str, attempts: int = 10) -> int:
        """Presses the key in the window until the program has ended; its exit
        status. A key pressed while the window is still being set up can be
        lost, so it is pressed again after a while."""
        for _ in range(attempts):
            self.press(window, key)
            try:
                return process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                continue
        process.kill()
        raise TimeoutError(f"the program did not end after {attempts} presses of {key}")

    def _start_window_manager(self, attempts: int = 3, timeout: float = 30):
        """Returns the manager once it has taken the screen: a window mapped
        before may be taken over midway and missed by a search. An openbox
        that exits at once, as it now and then does while another starts on
        another screen, is started again."""
        for _ in range(attempts):
            manager = subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + timeout
            while manager.poll() is None and time.monotonic() < deadline:
                if "window id" in subprocess.run(
                        ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env,
                        capture_output=True, text=True).stdout:
                    return manager
                time.sleep(0.1)
            manager.kill()
        raise RuntimeError("the window manager did not start")

    def notice_in_front(self, start, shot: str, stacking: bool = True) -> List[str]:
        """Under a window manager, with another program's window brought to
        the front once the notice is up (the user went on working during a
        long run): the notice must stay in front of it. `start` starts the
        program; the screenshot lands at `shot`. Without `stacking`, the
        order of the windows is only shown, not checked."""
        manager = self._start_window_manager()
        other = subprocess.Popen(["xmessage", "-geometry", "1024x768+0+0", "another program"],
                                 env=self.env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        try:
            other_window = self.wait_for_window("xmessage", other)
            process = start()
            window = self.wait_for_window("renumber", process)
            self._xdotool("windowactivate", "--sync", other_window)
            time.sleep(1)  # let the manager restack
            order = subprocess.run(["xprop", "-root", "_NET_CLIENT_LIST_STACKING"],
                                   env=self.env, capture_output=True, text=True).stdout
            bottom_to_top = [int(found, 16) for found in re.findall(r"0x[0-9a-f]+", order)]
            self.screenshot(shot)
            problems = []
            behind = int(window) not in bottom_to_top or int(other_window) not in bottom_to_top or \
                bottom_to_top.index(int(window)) < bottom_to_top.index(int(other_window))
            if stacking and behind:
                problems.append(f"the notice is behind the other window: {order.strip()}")
            self._xdotool("windowactivate", "--sync", window)
            self.dismiss(process, window, "Return")
            return problems
        finally:
            other.kill()
            manager.kill()
            other.wait()
            manager.wait()

    def screenshot(self, path: str) -> None:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
