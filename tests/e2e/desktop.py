"""Virtual desktops for tests that see what a user sees: an X display (Xvfb)
and a headless Wayland compositor (sway). Each starts, waits for a window,
presses a key in it, takes a screenshot."""

import glob
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from typing import List, Optional

SKIP = 77  # ctest's code for a skipped test, used only outside CI


HEADLESS = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]  # root runs as nobody


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


class EndedWithoutWindow(RuntimeError):
    """The program ended before its window was seen."""


def _still_waiting(process, title: str, deadline: float) -> None:
    """Raises when the process ended without showing its window, or when the
    deadline has passed (the process is then killed)."""
    if process.poll() is not None:
        raise EndedWithoutWindow(f"the program ended (status {process.returncode}) "
                           f"without a window titled {title!r}")
    if time.monotonic() > deadline:
        process.kill()
        raise TimeoutError(f"no window titled {title!r} in time")


class Desktop:
    """What the X display and the compositor share; each has its own `press`."""

    def dismiss(self, process, window, key: str, attempts: int = 10) -> int:
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


class Xvfb(Desktop):
    """A virtual screen for the duration of a `with` block; `env` reaches it."""

    name = "X11"
    shot_prefix = ""

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as display_number:
            self.display = ":" + display_number.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("WAYLAND_DISPLAY", None)  # GTK would take the developer's own session
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
                _still_waiting(process, title, deadline)
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

    def window_problems(self, window: str) -> List[str]:
        state = subprocess.run(["xprop", "-id", window, "_NET_WM_STATE"], env=self.env,
                               capture_output=True, text=True).stdout
        if "SKIP_TASKBAR" in state:
            return [f"the dialog is kept out of the taskbar: {state.strip()}"]
        return []

    def broken_envs(self) -> List[tuple]:
        """Environments whose display cannot be opened."""
        gone = dict(self.env, DISPLAY=":" + str(int(self.display[1:]) + 1000))
        gone.pop("WAYLAND_DISPLAY", None)
        return [("DISPLAY of no server", gone)]

    def press(self, window: str, key: str) -> None:
        # No window manager runs: give the window the focus, then type.
        self._xdotool("windowfocus", "--sync", window)
        self._xdotool("key", key)

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


class Sway(Desktop):
    """A headless Wayland compositor for the duration of a `with` block, with
    no X server beside it; `env` reaches it. sway refuses to run as root, so
    root starts it as nobody, in a runtime folder of nobody's; root's clients
    connect all the same. `keyboard` is the tests' own virtual keyboard,
    which joins the seat once, before any window maps: a key pressed as its
    keyboard joins can be lost."""

    name = "Wayland"
    shot_prefix = "wayland-"

    def __init__(self, keyboard: str):
        self.keyboard_program = keyboard

    def __enter__(self):
        self.runtime = tempfile.mkdtemp(prefix="renumber-wayland-")
        config = os.path.join(self.runtime, "config")
        with open(config, "w") as f:
            f.write("xwayland disable\n")
        user = []
        if os.geteuid() == 0:
            os.chown(self.runtime, 65534, 65534)
            user = NOBODY
        self.log = open(os.path.join(self.runtime, "log"), "wb")
        base = {key: value for key, value in os.environ.items()
                if key not in ("DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK")}
        self.server = subprocess.Popen(
            user + ["sway", "-c", config], stdin=subprocess.DEVNULL, stdout=self.log,
            stderr=self.log, cwd=self.runtime,
            env=dict(base, XDG_RUNTIME_DIR=self.runtime, WLR_BACKENDS="headless",
                     WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman"))
        self._wait_until_up()
        self.env = dict(base, XDG_RUNTIME_DIR=self.runtime, WAYLAND_DISPLAY=self.display)
        self.keyboard = subprocess.Popen([self.keyboard_program], env=self.env, text=True,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if self.keyboard.stdout.readline() != "ready\n":
            self.__exit__()
            raise RuntimeError("the virtual keyboard did not start")
        return self

    def _wait_until_up(self, timeout: float = 60) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.server.poll() is None:
            sockets = glob.glob(os.path.join(self.runtime, "sway-ipc.*.sock"))
            displays = [os.path.basename(path) for path in
                        glob.glob(os.path.join(self.runtime, "wayland-*"))
                        if not path.endswith(".lock")]
            if sockets and displays:
                self.ipc, self.display = sockets[0], displays[0]
                if self._swaymsg("-t", "get_outputs").returncode == 0:
                    return
            time.sleep(0.1)
        with open(os.path.join(self.runtime, "log"), "rb") as log:
            said = log.read()[-2000:]
        self.__exit__()
        raise RuntimeError(f"sway did not start: {said!r}")

    def __exit__(self, *_):
        for process in (getattr(self, "keyboard", None), self.server):
            if process and process.poll() is None:
                process.terminate()
                process.wait()
        self.log.close()
        shutil.rmtree(self.runtime, ignore_errors=True)

    def _swaymsg(self, *args: str) -> subprocess.CompletedProcess:
        return subprocess.run(["swaymsg", "-s", self.ipc, *args], capture_output=True, text=True)

    def _views(self) -> List[dict]:
        """The windows of clients, as sway's tree lists them."""
        found, nodes = [], [json.loads(self._swaymsg("-t", "get_tree").stdout)]
        while nodes:
            node = nodes.pop()
            if node.get("pid"):
                found.append(node)
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
        return found

    def _view(self, title: str) -> Optional[dict]:
        return next((view for view in self._views() if view.get("name") == title), None)

    def wait_for_window(self, title: str, process, timeout: float = 60) -> dict:
        """Sway's record of the window of that exact title, once the process
        shows it; an error when the process ends first or takes too long."""
        deadline = time.monotonic() + timeout
        while True:
            view = self._view(title)
            if view and view.get("visible"):
                return view
            _still_waiting(process, title, deadline)
            time.sleep(0.05)

    def has_window(self, title: str) -> bool:
        return self._view(title) is not None

    def window_problems(self, window: dict) -> List[str]:
        """The window must be the program's own, on Wayland itself, and have
        the keyboard."""
        problems = []
        if window.get("shell") != "xdg_shell" or window.get("app_id") != "renumber":
            problems.append(f"not the program's own Wayland window: shell {window.get('shell')!r}, "
                            f"app_id {window.get('app_id')!r}")
        if not window.get("focused"):
            problems.append("the dialog opened without the focus")
        return problems

    def broken_envs(self) -> List[tuple]:
        """Environments whose Wayland display cannot be opened, and no X
        display to turn to."""
        stale = os.path.join(self.runtime, "wayland-stale")
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(stale)  # and closed: no one listens there any more
        unset = dict(self.env)
        del unset["XDG_RUNTIME_DIR"]
        return [("WAYLAND_DISPLAY of no socket", dict(self.env, WAYLAND_DISPLAY="wayland-gone")),
                ("WAYLAND_DISPLAY of a stale socket", dict(self.env, WAYLAND_DISPLAY="wayland-stale")),
                ("WAYLAND_DISPLAY empty", dict(self.env, WAYLAND_DISPLAY="")),
                ("no XDG_RUNTIME_DIR", unset)]

    def press(self, window: dict, key: str) -> None:
        """Presses the key, or has the compositor close the window ("close")."""
        if key == "close":
            self._swaymsg(f"[con_id={window['id']}]", "kill")
            return
        self.keyboard.stdin.write(key + "\n")
        self.keyboard.stdin.flush()
        if self.keyboard.stdout.readline() != "sent\n":
            raise RuntimeError("the virtual keyboard stopped")

    def screenshot(self, path: str) -> None:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["grim", path], env=self.env, check=True)
