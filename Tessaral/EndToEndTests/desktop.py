"""Processes, X displays and screen captures for driving the real application from outside.

Every process started here is recorded and stopped by its pid: by the test that started it, and
by `stop_all` when the run itself is interrupted.
"""

import glob
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

# The machine running these may be loaded by parallel builds and tests: waits are long, and every
# wait polls a condition rather than sleeping for a guessed time.
TIMEOUT = 20.0
# Where the captures a failure points to are left, for the developer or the CI to look at.
ARTIFACTS = os.path.abspath("end-to-end-artifacts")

_running = []


def wait_for(condition, what, timeout=TIMEOUT, interval=0.1):
    """Polls until condition() returns something truthy and returns it; fails with `what`."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


class Process:
    def __init__(self, argv, env=None, log=None, pass_fds=(), stdin=None):
        self.argv = argv
        self.log_path = log
        out = open(log, "wb") if log else subprocess.DEVNULL
        try:
            self.popen = subprocess.Popen(argv, env=env, stdin=stdin, stdout=out,
                                          stderr=subprocess.STDOUT, pass_fds=pass_fds)
        finally:
            if log:
                out.close()
        _running.append(self)

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def stop(self):
        """SIGTERM, a bounded wait, then SIGKILL; a process already gone is fine."""
        if self in _running:
            _running.remove(self)
        if self.popen.stdin:
            self.popen.stdin.close()
        if self.popen.poll() is not None:
            return
        self.popen.send_signal(signal.SIGTERM)
        try:
            self.popen.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            self.popen.wait()

    def log(self):
        if not self.log_path or not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")


def stop_all():
    while _running:
        _running[-1].stop()


def _on_signal(number, _frame):
    stop_all()
    os._exit(128 + number)


def install_signal_handlers():
    # CTest's time-out and Ctrl+C must not leave X servers or the application behind.
    signal.signal(signal.SIGTERM, _on_signal)
    signal.signal(signal.SIGINT, _on_signal)


def run_tests(tools, argv):
    """Runs the tests of the `__main__` module with the unittest arguments `argv`, provided every
    program in `tools` is found, and returns the exit code."""
    for tool in tools:
        if not shutil.which(tool):
            print(f"missing: {tool}", file=sys.stderr)
            return 1
    install_signal_handlers()
    program = unittest.main(argv=[sys.argv[0]] + argv, exit=False, verbosity=2)
    result = program.result
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    # A class whose set-up failed counts as one failure and runs none of its tests.
    print(f"{max(result.testsRun - failed, 0)} passed, {failed} failed")
    stop_all()
    return 0 if failed == 0 and result.testsRun > 0 else 1


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts_connections(port):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", port)) == 0


def _read_display_number(fd, process, timeout=30.0):
    deadline = time.monotonic() + timeout
    text = b""
    while time.monotonic() < deadline and process.running():
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            chunk = os.read(fd, 64)
            if not chunk:
                break
            text += chunk
            if b"\n" in text:
                return int(text.strip())
    return None


class XServer:
    """An X server (Xvfb, or Xvnc when `port` is given) on a display number it picks itself,
    so that parallel test runs never meet."""

    def __init__(self, directory, name, argv):
        self.directory = directory
        for _attempt in range(5):
            read_end, write_end = os.pipe()
            # Left to itself the server takes the lowest free number, where every other X server
            # on the machine starts too, and a neighbour that takes a display whose lock file it
            # thinks stale unlinks the socket of the server still on it. A random number far
            # above those, tried once (it is taken or it is ours), keeps apart from them.
            self.process = Process(argv + [f":{random.randrange(200, 30000)}",
                                           "-displayfd", str(write_end)],
                                   log=os.path.join(directory, name + ".log"),
                                   pass_fds=(write_end,))
            os.close(write_end)
            number = _read_display_number(read_end, self.process)
            os.close(read_end)
            if number is not None:
                self.number = number
                self.name = f":{number}"
                wait_for(lambda: not self.process.running() or self._accepts_clients(),
                         f"{name} on {self.name}", timeout=30)
                if self.process.running():
                    return
            self.process.stop()
        raise AssertionError(f"{name} did not start:\n{self.process.log()[-2000:]}")

    def _accepts_clients(self):
        return run(self, ["xdpyinfo"], check=False, timeout=5).returncode == 0

    def env(self, **extra):
        env = dict(os.environ, DISPLAY=self.name, XAUTHORITY="/dev/null", LC_ALL="C.UTF-8")
        env.update(extra)
        return env

    def stop(self):
        self.process.stop()


def start_xvfb(directory, width=1600, height=1000):
    # -noreset: a keymap set before the first lasting client connects must survive that moment.
    return XServer(directory, "Xvfb", ["Xvfb", "-noreset", "-nolisten", "tcp", "-screen", "0",
                                       f"{width}x{height}x24"])


def start_xvnc(directory, port, desktop, password=None, log_name="Xvnc", localhost=True,
               security_types=None, options=()):
    """`localhost` False listens on every interface: only for a server inside a private network
    namespace, where that means loopback and the namespace's own link. `security_types` replaces
    None (VncAuth with a password); `options` are more of Xvnc's, such as its certificate's."""
    security = ["-SecurityTypes", security_types or ("None" if password is None else "VncAuth")]
    if password is not None:
        password_file = os.path.join(directory, "passwd")
        made = subprocess.run(["vncpasswd", "-f"], input=(password + "\n").encode(),
                              capture_output=True, check=True, timeout=20)
        with open(password_file, "wb") as f:
            f.write(made.stdout)
        # Wrong passwords are made on purpose: the blacklist would refuse the right one after.
        security += ["-PasswordFile", password_file, "-UseBlacklist=0"]
    server = XServer(directory, log_name,
                     ["Xvnc", "-rfbport", str(port)] + (["-localhost"] if localhost else []) +
                     ["-nolisten", "tcp", "-geometry", "1024x768", "-depth", "24",
                      "-desktop", desktop] + security + list(options))
    server.port = port
    wait_for(lambda: not server.process.running() or accepts_connections(port),
             f"Xvnc listening on port {port}", timeout=30)
    if not server.process.running():
        raise AssertionError(f"Xvnc exited:\n{server.process.log()[-2000:]}")
    return server


def run(display, argv, check=True, timeout=TIMEOUT, input=None):
    """Runs an X client to completion on the display."""
    result = subprocess.run(argv, env=display.env(), capture_output=True, timeout=timeout,
                            input=input)
    if check and result.returncode != 0:
        raise AssertionError(f"{' '.join(argv)} failed ({result.returncode}): "
                             f"{result.stderr.decode(errors='replace').strip()}")
    return result


def output(display, argv, **kwargs):
    return run(display, argv, **kwargs).stdout.decode("utf-8", "replace").strip()


class Sway(Process):
    """A headless sway whose `bindings` ("Mod1+Tab", ...) only report; as nobody for root."""

    MODIFIERS = {"alt": ("alt", "Alt_L"), "super": ("logo", "Super_L"),
                 "ctrl": ("ctrl", "Control_L")}

    def __init__(self, bindings):
        self.directory = tempfile.mkdtemp(prefix="tessaral-sway-")
        with open(os.path.join(self.directory, "config"), "w") as config:
            config.write("output HEADLESS-1 mode 1280x800\n")
            config.writelines(f"bindsym {keys} nop\n" for keys in bindings)
        argv = ["sway", "-c", config.name]
        if os.geteuid() == 0:
            shutil.chown(self.directory, "nobody", "nogroup")
            argv = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + argv
        super().__init__(argv, log=os.path.join(self.directory, "sway.log"), env={
            "PATH": os.environ["PATH"], "XDG_RUNTIME_DIR": self.directory,
            "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman"})
        self.ipc = wait_for(lambda: glob.glob(self.directory + "/sway-ipc.*"), "sway")[0]
        self.socket = os.path.join(self.directory, "wayland-1")
        self.env = dict(os.environ, WAYLAND_DISPLAY=self.socket)
        self.bindings = Process(["stdbuf", "-oL", "swaymsg", "-s", self.ipc, "-mrt", "subscribe",
                                 '["binding"]'], log=os.path.join(self.directory, "bindings"))
        # Sway takes the keyboard, and the window's focus, from the seat when its last keyboard
        # goes, as each wtype's does when it is done: this one stays.
        self.keyboard = Process(["wtype", "-s", "86400000"], env=self.env)
        wait_for(lambda: b"virtual" in self.swaymsg("-t", "get_inputs").stdout, "a keyboard")

    def swaymsg(self, *args, check=True):
        return subprocess.run(["swaymsg", "-s", self.ipc] + list(args), capture_output=True,
                              timeout=TIMEOUT, check=check)

    def press(self, combination):
        """As a keyboard would: each modifier is a key pressed before, and let go after."""
        keys = [self.MODIFIERS.get(name, (None, name)) for name in combination.split("+")]
        argv = [a for state, sym in keys
                for a in (("-M", state, "-P", sym) if state else ("-k", sym))]
        argv += [a for state, sym in reversed(keys) if state for a in ("-p", sym, "-m", state)]
        subprocess.run(["wtype"] + argv, env=self.env, timeout=TIMEOUT, check=True)

    def bindings_run(self):
        """The key of each binding run so far."""
        return re.findall(r'"symbol": "(\w+)"', self.bindings.log())

    def stop(self):
        for process in (self.keyboard, self.bindings):
            process.stop()
        super().stop()
        shutil.rmtree(self.directory, ignore_errors=True)


# ---- Windows --------------------------------------------------------------------------------

def visible_windows(display, name_regex):
    result = run(display, ["xdotool", "search", "--onlyvisible", "--name", name_regex],
                 check=False)
    return [int(w) for w in result.stdout.split()]


def window_name(display, window):
    result = run(display, ["xdotool", "getwindowname", str(window)], check=False)
    return result.stdout.decode("utf-8", "replace").strip() if result.returncode == 0 else ""


def window_geometry(display, window):
    """(x, y, width, height) of the window on the root window."""
    text = output(display, ["xwininfo", "-id", str(window)])
    values = {}
    for key, label in (("x", "Absolute upper-left X"), ("y", "Absolute upper-left Y"),
                       ("width", "Width"), ("height", "Height")):
        values[key] = int(re.search(rf"{label}:\s+(-?\d+)", text).group(1))
    return values["x"], values["y"], values["width"], values["height"]


def focus(display, window):
    # No window manager runs: the window is given the input focus directly, which Qt takes as
    # its window becoming active.
    run(display, ["xdotool", "windowfocus", "--sync", str(window)])


# ---- Images ---------------------------------------------------------------------------------

class Image:
    """A 24-bit RGB picture, rows top to bottom."""

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    def row(self, y, x=0, width=None):
        width = self.width - x if width is None else width
        start = (y * self.width + x) * 3
        return self.data[start:start + width * 3]

    def pixel(self, x, y):
        return tuple(self.row(y, x, 1))

    def crop(self, x, y, width, height):
        return Image(width, height, b"".join(self.row(r, x, width) for r in range(y, y + height)))

    def mean(self):
        return sum(self.data) / len(self.data) if self.data else 0.0

    def find(self, needle):
        """The top-left corner where `needle` appears exactly, or None."""
        first = needle.row(0)
        for y in range(self.height - needle.height + 1):
            line = self.row(y)
            at = line.find(first)
            while at >= 0:
                if at % 3 == 0:
                    x = at // 3
                    if all(self.row(y + r, x, needle.width) == needle.row(r)
                           for r in range(1, needle.height)):
                        return x, y
                at = line.find(first, at + 1)
        return None

    def save(self, path):
        with open(path, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (self.width, self.height) + self.data)


def capture(display, window="root"):
    result = run(display, ["import", "-silent", "-window", str(window), "-depth", "8", "ppm:-"],
                 timeout=30)
    data = result.stdout
    match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not match or match.group(3) != b"255":
        raise AssertionError(f"unexpected capture of window {window}")
    width, height = int(match.group(1)), int(match.group(2))
    pixels = data[match.end():match.end() + width * height * 3]
    return Image(width, height, pixels)


def temporary_directory():
    return tempfile.mkdtemp(prefix="tessaral-e2e-")


def start_module_display():
    """An Xvfb display for the whole test module, stopped and removed once the module is done."""
    directory = temporary_directory()
    unittest.addModuleCleanup(shutil.rmtree, directory, ignore_errors=True)
    display = start_xvfb(directory)
    unittest.addModuleCleanup(display.stop)
    return display


def keep(image, name):
    """Saves `image` among the artifacts and returns its path."""
    os.makedirs(ARTIFACTS, exist_ok=True)
    path = os.path.join(ARTIFACTS, name + ".ppm")
    image.save(path)
    return path
