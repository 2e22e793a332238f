#!/usr/bin/python3
"""The session window end to end: the real application on an Xvfb display, connected to a real
Xvnc, driven with xdotool like a user, and judged by what arrives on the remote display.

    session_window_test.py --app PATH/tessaral --secrets PATH/with-secret-service.sh
"""

import argparse
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402
from desktop import (TIMEOUT, capture, focus, keep, output, run, wait_for,  # noqa: E402
                     window_geometry, window_name)

APP = None
SECRETS = None
QEMU_GUEST = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                          "../../RFBKitTests/servers/guest/qemu-guest.sh")

REMOTE_SIZE = (1024, 768)
CONNECTED_SUFFIX = " · 1024 × 768"
# A tartan of two colours, neither black, whose one-pixel edges show any offset or scaling.
TARTAN = ["-mod", "5", "3", "-fg", "#3366cc", "-bg", "#ffcc33"]

local = None  # the Xvfb display the application runs on, shared by every test


def setUpModule():
    global local
    local = desktop.start_module_display()
    # The local keyboard has é on a key of its own, as a user's layout would. Otherwise xdotool
    # remaps a spare key just for the keystroke and restores it at once, and a loaded machine may
    # hand the application the key event after the restore.
    desktop.run(local, ["xmodmap", "-e", "keycode 250 = eacute Eacute"])


class Remote:
    """An Xvnc with known content: a tartan root, a terminal whose typed lines go to a file, and
    a window that reports every button press it receives."""

    XEV_GEOMETRY = (560, 420, 300, 200)

    def __init__(self, directory, port, password=None, root=TARTAN, clients=True):
        self.directory = directory
        self.helpers = []
        self.display = desktop.start_xvnc(directory, port, "tessaral-e2e", password)
        try:
            run(self.display, ["xsetroot"] + root)
            if clients:
                self._start_clients()
            else:
                # Nothing else on the remote: its keys go to the root window, where xev listens.
                self.keys = desktop.Process(["stdbuf", "-oL", "xev", "-root", "-event", "keyboard"],
                                            env=self.display.env(), log=f"{directory}/keys.log")
                self.helpers.append(self.keys)
        except BaseException:
            self.stop()
            raise

    def _start_clients(self):
        # As on the local side: Xvnc would otherwise map é onto a spare key only when it arrives,
        # racing the terminal's reading of the new keymap.
        run(self.display, ["xmodmap", "-e", "keycode 250 = eacute Eacute"])
        self.typed = os.path.join(self.directory, "typed.txt")
        self.helpers.append(desktop.Process(
            ["xterm", "-title", "typing-probe", "-geometry", "60x6+0+0",
             "-e", "sh", "-c", f"exec cat > '{self.typed}'"],
            env=self.display.env(), log=os.path.join(self.directory, "xterm.log")))
        self.terminal = wait_for(lambda: desktop.visible_windows(self.display, "^typing-probe$"),
                                 "the remote terminal")[0]
        x, y, width, height = self.XEV_GEOMETRY
        self.buttons_log = os.path.join(self.directory, "xev.log")
        self.helpers.append(desktop.Process(
            ["stdbuf", "-oL", "xev", "-name", "button-probe", "-geometry",
             f"{width}x{height}+{x}+{y}", "-event", "button"],
            env=self.display.env(), log=self.buttons_log))
        wait_for(lambda: desktop.visible_windows(self.display, "button-probe|Event Tester"),
                 "the remote button probe")
        # Keys go to the terminal wherever the remote pointer is moved.
        focus(self.display, self.terminal)

    def button_presses(self):
        """(button, x, y) of every press the probe window saw, in root coordinates."""
        with open(self.buttons_log, encoding="utf-8", errors="replace") as f:
            text = f.read()
        return [(int(m.group(3)), int(m.group(1)), int(m.group(2))) for m in re.finditer(
            r"ButtonPress event.*?root:\((\d+),(\d+)\),\s*state 0x[0-9a-f]+, button (\d+)",
            text, re.S)]

    def pressed_keys(self):
        return re.findall(r"KeyPress event.*?keysym 0x[0-9a-f]+, (\w+)\)", self.keys.log(), re.S)

    def typed_text(self):
        with open(self.typed, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def clipboard(self):
        result = run(self.display, ["xclip", "-o", "-selection", "clipboard"], check=False,
                     timeout=10)
        return result.stdout.decode("utf-8", "replace") if result.returncode == 0 else None

    def stop(self):
        while self.helpers:
            self.helpers.pop().stop()
        self.display.stop()


def fixed_size_library(data_home, port):
    """A library whose computer at 127.0.0.1:`port` keeps the remote size, so that the window
    scales the remote screen as these tests expect; the link finds it by its address."""
    folder = os.path.join(data_home, "Tessaral")
    os.makedirs(folder, exist_ok=True)
    computer = {"id": "5A0B3C2D-1E4F-4A6B-9C8D-7E6F5A4B3C2D", "name": "127.0.0.1",
                "host": "127.0.0.1", "port": port, "username": "",
                "createdAt": "2025-03-01T09:30:00Z", "origin": "link",
                "symbol": "desktopcomputer", "tint": "blue", "options": {"resizeRemote": False}}
    with open(os.path.join(folder, "Library.json"), "w") as f:
        json.dump({"connections": [computer], "groups": [], "version": 1}, f)


class App:
    """The application as a user starts it from a vnc:// link, with a throwaway home, settings
    and keyring; without `resize_remote` the link's computer keeps the remote size."""

    def __init__(self, url, directory, port, resize_remote=False):
        data_home = os.path.join(directory, "data")
        if not resize_remote:
            fixed_size_library(data_home, port)
        self.process = desktop.Process(
            [SECRETS, "env", f"DISPLAY={local.name}", "XAUTHORITY=/dev/null",
             "QT_QPA_PLATFORM=xcb", f"XDG_DATA_HOME={data_home}", APP, url],
            log=os.path.join(directory, "tessaral.log"))

    def session_window(self):
        # The window of a link's computer is named after the address's host.
        def found():
            if not self.process.running():
                raise AssertionError(f"the application exited:\n{self.process.log()[-3000:]}")
            windows = desktop.visible_windows(local, r"^127\.0\.0\.1")
            return windows[0] if windows else None
        return wait_for(found, "the session window")

    def wait_for_title(self, window, suffix, timeout=TIMEOUT):
        def seen():
            if not self.process.running():
                raise AssertionError(f"the application exited:\n{self.process.log()[-3000:]}")
            return window_name(local, window).endswith(suffix)
        try:
            wait_for(seen, f"a title ending in {suffix!r}", timeout)
        except AssertionError as error:
            raise AssertionError(f"{error}; the title is {window_name(local, window)!r}") \
                from None

    def stop(self):
        self.process.stop()


def press(*keys):
    run(local, ["xdotool", "key", "--delay", "40"] + list(keys))


def type_text(text):
    run(local, ["xdotool", "type", "--delay", "40", text])


def open_session(test_class, remote, url=None, resize_remote=False):
    """Starts the application on a link to `remote` and waits for its session window."""
    app = App(url or f"vnc://127.0.0.1:{remote.display.port}", test_class.directory,
              remote.display.port, resize_remote)
    test_class.addClassCleanup(app.stop)
    return app, app.session_window()


def remote_size(remote):
    text = run(remote.display, ["xdpyinfo"]).stdout.decode()
    width, height = re.search(r"dimensions:\s+(\d+)x(\d+)", text).groups()
    return int(width), int(height)


def locate_screen(window, remote_image, what, position=None):
    """Waits until the window shows the remote screen pixel for pixel (at `position` when given)
    and returns where; keeps both pictures for a look when it never does."""
    last = []

    def shown():
        last[:] = [capture(local, window)]
        at = last[0].find(remote_image)
        return at if at and (position is None or at == position) else None
    try:
        return wait_for(shown, what, interval=0.3)
    except AssertionError as error:
        seen = keep(last[0], what.replace(" ", "-") + "-window")
        wanted = keep(remote_image, what.replace(" ", "-") + "-remote")
        found = last[0].find(remote_image)
        raise AssertionError(f"{error} (found at {found}, wanted {position}); see {seen} "
                             f"and {wanted}") from None


class ConnectedSession(unittest.TestCase):
    """One window on a password-less Xvnc: what it shows and what it sends."""

    @classmethod
    def setUpClass(cls):
        cls.directory = desktop.temporary_directory()
        cls.addClassCleanup(shutil.rmtree, cls.directory, ignore_errors=True)
        cls.remote = Remote(cls.directory, desktop.free_port())
        cls.addClassCleanup(cls.remote.stop)
        cls.app, cls.window = open_session(cls, cls.remote)
        cls.app.wait_for_title(cls.window, CONNECTED_SUFFIX)
        # Where the screen view starts below the menu and tool bars, from the first frame shown
        # at one pixel per pixel.
        cls.fitted = window_geometry(local, cls.window)
        cls.screen_top = locate_screen(cls.window, capture(cls.remote.display),
                                       "first frame")[1]

    def resize(self, width, height):
        run(local, ["xdotool", "windowsize", "--sync", str(self.window), str(width),
                    str(height)])
        wait_for(lambda: window_geometry(local, self.window)[2:] == (width, height),
                 f"a window of {width} × {height}")

    def restore_fitted_window(self):
        self.resize(*self.fitted[2:])

    def test_screen_fitted_and_at_actual_size_is_the_remote_screen_pixel_for_pixel(self):
        remote_image = capture(self.remote.display)
        x, y, width, height = window_geometry(local, self.window)
        # 1024 × 768 fits at one pixel per pixel in 1600 × 1000 less 40 on every side, and
        # the window is centred in that area.
        self.assertEqual((width, height - self.screen_top), REMOTE_SIZE)
        self.assertEqual(x, 40 + (1520 - width) // 2)
        self.assertAlmostEqual(y, 40 + (920 - height) / 2, delta=1)
        locate_screen(self.window, remote_image, "fitted screen", (0, self.screen_top))

        # Larger than the remote screen: at actual size it is centred, not enlarged.
        self.addCleanup(self.restore_fitted_window)
        self.resize(1300, self.screen_top + 900)
        focus(local, self.window)
        press("ctrl+super+0")
        self.addCleanup(press, "ctrl+super+0")
        locate_screen(self.window, remote_image, "actual size screen",
                      ((1300 - 1024) // 2, self.screen_top + (900 - 768) // 2))

    def test_typed_text_and_control_keys_reach_the_remote_terminal(self):
        focus(local, self.window)
        type_text("to be erased")
        press("ctrl+u")
        text = "Typed 0123456789 ~`!@#$%^&*()_+-=[]{}\\|;:'\",.<>/? café"
        type_text(text)
        # The Edit menu's keys are the remote computer's too; its terminal takes Ctrl+V as "the
        # next key as it is".
        press("ctrl+a", "ctrl+x", "ctrl+v", "ctrl+u")
        press("Return")
        try:
            wait_for(lambda: self.remote.typed_text().endswith("\n"), "a typed line")
        finally:
            typed = self.remote.typed_text()
        self.assertEqual(typed, text + "\x01\x18\x15\n")

    def test_clicks_and_wheel_land_where_aimed_in_a_scaled_screen(self):
        # A window wider and taller than the remote screen: it is enlarged by 900 / 768 and
        # centred between bars 50 wide.
        self.addCleanup(self.restore_fitted_window)
        self.resize(1300, self.screen_top + 900)
        scale = 900 / 768
        left = (1300 - 1024 * scale) / 2
        wx, wy = window_geometry(local, self.window)[:2]
        wait_for(lambda: self._bars_shown(int(left)), "the enlarged screen between bars")

        aims = [(1, 600, 440), (3, 840, 600), (4, 700, 500), (5, 700, 500)]
        for button, rx, ry in aims:
            run(local, ["xdotool", "mousemove", "--sync",
                        str(wx + int(left + (rx + 0.5) * scale)),
                        str(wy + self.screen_top + int((ry + 0.5) * scale)),
                        "click", str(button)])
        presses = wait_for(lambda: len(self.remote.button_presses()) >= len(aims) and
                           self.remote.button_presses(), "four button presses on the remote")
        self.assertEqual([p[0] for p in presses], [a[0] for a in aims])
        for (button, x, y), (_, rx, ry) in zip(presses, aims):
            self.assertLessEqual(abs(x - rx), 1, f"button {button} at x {x}, aimed at {rx}")
            self.assertLessEqual(abs(y - ry), 1, f"button {button} at y {y}, aimed at {ry}")

    def _bars_shown(self, left):
        image = capture(local, self.window)
        middle = self.screen_top + 450
        return image.pixel(left // 2, middle) == (0, 0, 0) and \
            image.pixel(left + 10, middle) != (0, 0, 0)

    @staticmethod
    def local_clipboard():
        result = run(local, ["xclip", "-o", "-selection", "clipboard"], check=False, timeout=10)
        return result.stdout.decode("utf-8", "replace")

    def test_clipboard_travels_both_ways(self):
        # Copied while the window has the focus: the next key press offers it to the server.
        focus(local, self.window)
        outgoing = "from the local side: café"
        owner = desktop.Process(["xclip", "-quiet", "-selection", "clipboard", "-i"],
                                env=local.env(), stdin=subprocess.PIPE)
        self.addCleanup(owner.stop)
        owner.popen.stdin.write(outgoing.encode())
        owner.popen.stdin.close()
        # Only a key pressed after the copy has happened is certain to find it.
        wait_for(lambda: self.local_clipboard() == outgoing, "the text on the local clipboard")
        press("shift")
        wait_for(lambda: self.remote.clipboard() == outgoing, "the text on the remote clipboard")

        incoming = "from the remote side: Grüße"
        # Taken now: the remote screen stays still, and the notice lasts only two seconds.
        remote_top = capture(self.remote.display).crop(0, 0, 1024, 80)
        remote_owner = desktop.Process(["xclip", "-quiet", "-selection", "clipboard", "-i"],
                                       env=self.remote.display.env(), stdin=subprocess.PIPE)
        self.addCleanup(remote_owner.stop)
        remote_owner.popen.stdin.write(incoming.encode())
        remote_owner.popen.stdin.close()

        # The notice covers the top of the screen for a moment, then the screen is whole again.
        wait_for(lambda: capture(local, self.window).crop(0, self.screen_top, 1024, 80).data !=
                 remote_top.data, "the clipboard notice")
        try:
            wait_for(lambda: self.local_clipboard() == incoming, "the text from the remote")
        except AssertionError as error:
            raise AssertionError(f"{error}; it holds {self.local_clipboard()!r}") from None
        locate_screen(self.window, capture(self.remote.display), "screen after the notice",
                      (0, self.screen_top))


def credentials_sheet(heading):
    """The visible credentials sheet whose window carries `heading`, or None."""
    windows = desktop.visible_windows(local, heading)
    return windows[0] if windows else None


class PasswordServer(unittest.TestCase):
    PASSWORD = "op3n-up"
    FIRST = "^Sign In to "
    RETRY = "^Authentication Failed$"

    @classmethod
    def setUpClass(cls):
        cls.directory = desktop.temporary_directory()
        cls.addClassCleanup(shutil.rmtree, cls.directory, ignore_errors=True)
        cls.remote = Remote(cls.directory, desktop.free_port(), password=cls.PASSWORD,
                            clients=False)
        cls.addClassCleanup(cls.remote.stop)

    def submit(self, heading, password):
        sheet = wait_for(lambda: credentials_sheet(heading), f"a sheet titled {heading}")
        focus(local, sheet)
        type_text(password)
        press("Return")

    def test_wrong_password_asks_again_and_right_one_connects(self):
        app, window = open_session(self, self.remote)
        app.wait_for_title(window, " — Authentication Required")
        self.submit(self.FIRST, "wrong")
        wait_for(lambda: "authentication failure" in self.remote.display.process.log().lower(),
                 "the server to refuse the wrong password")
        app.wait_for_title(window, " — Authentication Required")

        self.submit(self.RETRY, self.PASSWORD)
        app.wait_for_title(window, CONNECTED_SUFFIX)
        self.assertIsNone(credentials_sheet(self.FIRST))
        self.assertIsNone(credentials_sheet(self.RETRY))


class LostServer(unittest.TestCase):
    LIGHT = ["-solid", "#e8e8e8"]
    GREEN = ["-solid", "#30a030"]

    @classmethod
    def setUpClass(cls):
        cls.directory = desktop.temporary_directory()
        cls.addClassCleanup(shutil.rmtree, cls.directory, ignore_errors=True)

    def test_lost_server_dims_the_last_frame_and_return_reconnects(self):
        port = desktop.free_port()
        remote = Remote(self.directory, port, root=self.LIGHT, clients=False)
        self.addCleanup(lambda: remote.stop())
        app, window = open_session(self, remote)
        app.wait_for_title(window, CONNECTED_SUFFIX)
        left, top = locate_screen(window, capture(remote.display), "connected screen")

        def top_strip():
            # Above the panel, which is centred.
            return capture(local, window).crop(left, top, 1024, 120).mean()
        lit = top_strip()
        remote.stop()
        app.wait_for_title(window, " — Disconnected")
        dimmed = wait_for(lambda: (lambda m: m if m < 0.5 * lit else None)(top_strip()),
                          "the last frame to dim")
        self.assertGreater(dimmed, 0.2 * lit, "the last frame is no longer shown")

        remote = Remote(self.directory, port, root=self.GREEN, clients=False)
        focus(local, window)
        press("Return")
        app.wait_for_title(window, CONNECTED_SUFFIX)
        locate_screen(window, capture(remote.display), "reconnected screen", (left, top))


class RemoteFollowsWindow(unittest.TestCase):
    """A computer as new ones are made: the remote desktop takes the window's size."""

    @classmethod
    def setUpClass(cls):
        cls.directory = desktop.temporary_directory()
        cls.addClassCleanup(shutil.rmtree, cls.directory, ignore_errors=True)

    def test_remote_desktop_takes_the_size_of_the_window_and_is_shown_one_to_one(self):
        remote = Remote(self.directory, desktop.free_port(), clients=False)
        self.addCleanup(remote.stop)
        app, window = open_session(self, remote, resize_remote=True)
        wait_for(lambda: " · " in window_name(local, window), "the connected title")
        run(local, ["xdotool", "windowsize", "--sync", str(window), "900", "640"])
        # The view is the window less its menu and tool bars above.
        width, height = wait_for(
            lambda: (lambda s: s if s[0] == 900 else None)(remote_size(remote)),
            "the remote desktop to take the window's width")
        app.wait_for_title(window, f" · {width} × {height}")
        left, top = locate_screen(window, capture(remote.display), "resized screen")
        keep(capture(local, window), "remote-follows-window")
        self.assertEqual((left, top + height), (0, window_geometry(local, window)[3]))


class FullScreen(unittest.TestCase):
    """Under a window manager, whose Alt+Tab the captured keyboard must keep from it."""

    @classmethod
    def setUpClass(cls):
        cls.directory = desktop.temporary_directory()
        cls.addClassCleanup(shutil.rmtree, cls.directory, ignore_errors=True)
        cls.addClassCleanup(desktop.Process(["openbox", "--sm-disable", "--config-file",
                                             "/etc/xdg/openbox/rc.xml"], env=local.env()).stop)
        wait_for(lambda: "window id" in desktop.output(
            local, ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], check=False), "openbox")

    def test_full_screen_covers_the_screen_resizes_the_remote_and_captures_system_keys(self):
        remote = Remote(self.directory, desktop.free_port(), clients=False)
        self.addCleanup(remote.stop)
        app, window = open_session(self, remote, resize_remote=True)
        wait_for(lambda: " · " in window_name(local, window), "the connected title")
        run(local, ["xdotool", "windowactivate", "--sync", str(window)])
        root = capture(local)
        screen = root.width, root.height
        press("ctrl+super+f")
        wait_for(lambda: window_geometry(local, window) == (0, 0) + screen, "the full screen")
        wait_for(lambda: remote_size(remote) == screen, "the remote to take the screen's size")

        # Escape stays full screen; openbox's own combinations pass it by.
        send_system_keys(remote, press)
        self.assertEqual(window_geometry(local, window), (0, 0) + screen)

        run(local, ["xdotool", "mousemove", "--sync", "300", "0"])
        tartan_or_black = {(0x33, 0x66, 0xcc), (0xff, 0xcc, 0x33), (0, 0, 0)}
        wait_for(lambda: capture(local).pixel(5, 5) not in tartan_or_black, "the top bar")
        keep(capture(local), "full-screen-with-bar")
        press("ctrl+super+f")
        wait_for(lambda: window_geometry(local, window)[2:] != screen, "the window to leave")

        # Let go: openbox has its Ctrl+Alt+Right (the next desktop) again.
        press("ctrl+alt+Right")
        self.addCleanup(press, "ctrl+alt+Left")
        wait_for(lambda: "= 1" in output(local, ["xprop", "-root", "_NET_CURRENT_DESKTOP"]),
                 "openbox on the second desktop")

    def test_full_screen_covers_the_monitor_the_window_is_on(self):
        # The display as two monitors side by side, as RandR describes them to Qt and openbox.
        width, height = capture(local).width, capture(local).height
        half = width // 2
        run(local, ["xrandr", "--setmonitor", "left", f"{half}/300x{height}/200+0+0", "screen"])
        run(local, ["xrandr", "--setmonitor", "right", f"{half}/300x{height}/200+{half}+0",
                    "none"])
        self.addCleanup(run, local, ["xrandr", "--delmonitor", "left"])
        self.addCleanup(run, local, ["xrandr", "--delmonitor", "right"])
        run(local, ["openbox", "--reconfigure"])
        remote = Remote(self.directory, desktop.free_port(), clients=False)
        self.addCleanup(remote.stop)
        app, window = open_session(self, remote)
        self.addCleanup(app.stop)  # before the other test of the class opens its own
        wait_for(lambda: " · " in window_name(local, window), "the connected title")
        run(local, ["xdotool", "windowmove", "--sync", str(window), str(half + 40), "40",
                    "windowactivate", "--sync", str(window)])
        press("ctrl+super+f")
        wait_for(lambda: window_geometry(local, window) == (half, 0, half, height),
                 "the right-hand monitor covered")
        keep(capture(local), "full-screen-on-the-right-monitor")
        press("ctrl+super+f")
        wait_for(lambda: window_geometry(local, window)[2:] != (half, height), "the window back")


# What the captured keyboard must send the remote computer, key by key, for each combination.
SYSTEM_KEYS = [("Escape", ["Escape"]), ("alt+Tab", ["Alt_L", "Tab"]), ("super", ["Super_L"])] + [
    (f"ctrl+alt+{arrow}", ["Control_L", "Alt_L", arrow]) for arrow in ("Left", "Right")]


def send_system_keys(remote, press):
    for combination, pressed in SYSTEM_KEYS:
        before = len(remote.pressed_keys())
        press(combination)
        wait_for(lambda: remote.pressed_keys()[before:] == pressed, f"{combination} on the remote")


class WaylandCapture(unittest.TestCase):
    """A native Wayland client on a headless sway, which treats wtype's keyboards as real ones."""

    BINDINGS = ["Mod1+Tab", "Ctrl+Mod1+Left", "Ctrl+Mod1+Right"]
    GRANTED = "the compositor passes its shortcuts on"
    RELEASED = "gave the compositor its shortcuts back"

    def expect(self, line, count):
        """Waits for the `count`th `line` in the log; granted, the remote computer then gets every
        system combination, and given back, sway runs its bindings."""
        wait_for(lambda: self.app.log().count(line) == count, f"{line!r} {count} times")
        ran = len(self.sway.bindings_run())
        if line == self.GRANTED:
            send_system_keys(self.remote, self.sway.press)
        else:
            self.sway.press("alt+Tab")
            self.sway.press("ctrl+alt+Right")
        expected = [] if line == self.GRANTED else ["Tab", "Right"]
        wait_for(lambda: self.sway.bindings_run()[ran:] == expected, f"sway to run {expected}")

    def test_full_screen_captures_while_focused_and_lets_go_on_leaving(self):
        self.sway = desktop.Sway(self.BINDINGS)
        self.addCleanup(self.sway.stop)
        directory = self.sway.directory
        self.remote = remote = Remote(directory, desktop.free_port(), clients=False)
        self.addCleanup(remote.stop)
        self.app = desktop.Process(
            [SECRETS, "env", "QT_QPA_PLATFORM=wayland", f"WAYLAND_DISPLAY={self.sway.socket}",
             f"XDG_CONFIG_HOME={directory}", f"XDG_DATA_HOME={directory}", APP,
             f"vnc://127.0.0.1:{remote.display.port}"], log=os.path.join(directory, "log"))
        self.addCleanup(self.app.stop)
        # Sway's criteria match the session window once connected; focusing it fails before.
        wait_for(lambda: self.sway.swaymsg('[title="^127.0.0.1 .* · "]', "focus",
                                           check=False).returncode == 0, "the session window")
        self.sway.press("ctrl+super+f")
        self.expect(self.GRANTED, 1)
        self.sway.swaymsg("workspace", "2")  # which takes the focus from the window
        self.expect(self.RELEASED, 1)
        self.sway.swaymsg("workspace", "1")
        self.expect(self.GRANTED, 2)
        self.sway.press("ctrl+super+f")
        self.expect(self.RELEASED, 2)


class GermanKeyboardToAQemuGuest(unittest.TestCase):
    """A German layout at both ends, the remote a QEMU guest that reports the scan codes its
    keyboard delivers: each key lands on its physical key, where keysyms alone, made keys by
    QEMU's US table, would swap Y and Z, lose ß and ö, and make AltGr + Q (@) AltGr + 2."""

    def test_keys_land_on_their_physical_keys(self):
        directory, port = desktop.temporary_directory(), desktop.free_port()
        self.addCleanup(shutil.rmtree, directory, ignore_errors=True)
        self.addCleanup(desktop.Process(["bash", QEMU_GUEST, directory, str(port)],
                                        log=os.path.join(directory, "qemu.log")).stop)
        serial = pathlib.Path(directory, "serial.log")
        reported = lambda: serial.read_text() if serial.exists() else ""  # noqa: E731
        wait_for(lambda: reported() == "ready\n", "the QEMU guest")
        run(local, ["setxkbmap", "de"])
        self.addCleanup(run, local, ["xmodmap", "-e", "keycode 250 = eacute Eacute"])
        self.addCleanup(run, local, ["setxkbmap", "us"])
        app = App(f"vnc://127.0.0.1:{port}", directory, port)
        self.addCleanup(app.stop)
        window = app.session_window()
        app.wait_for_title(window, " · 640 × 480")
        focus(local, window)
        press("z", "y", "ssharp", "odiaeresis", "minus", "plus", "ISO_Level3_Shift+q", "a")
        # xdotool lets go of AltGr first.
        expected = "ready\n" + "".join(f"down {c}\nup {c}\n" for c in [
            "15", "2c", "0c", "27", "35", "1b"]) + "down e038\ndown 10\nup e038\nup 10\n" + \
            "down 1e\nup 1e\n"
        try:
            wait_for(lambda: reported() == expected, "the keys in the guest")
        finally:
            self.assertEqual(reported(), expected)


def main():
    global APP, SECRETS
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--secrets", required=True)
    args, rest = parser.parse_known_args()
    APP, SECRETS = os.path.abspath(args.app), os.path.abspath(args.secrets)
    return desktop.run_tests(["Xvfb", "Xvnc", "vncpasswd", "xdotool", "xdpyinfo", "xwininfo",
                              "xsetroot", "xterm", "xev", "xclip", "import", "stdbuf", "openbox",
                              "xprop", "xrandr", "sway", "swaymsg", "wtype", "setpriv", "setxkbmap",
                              "qemu-system-x86_64", "gcc", APP, SECRETS],
                             rest)


if __name__ == "__main__":
    sys.exit(main())
