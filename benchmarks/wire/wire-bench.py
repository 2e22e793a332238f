#!/usr/bin/python3
"""wire-bench: how much of a moving screen each viewer gets across a slow link, and for how many
bytes, by the server's own count.

One live Xvnc shows a scene for a fixed time: a terminal scrolling text, a photo-like window
dragged about, an animation. Each viewer reaches it through a relay that paces the link (a
bandwidth, a one-way latency and a bottleneck buffer, in both directions), on an Xvfb of its own.
When the time is up the motion stops; the run then waits for the viewer's picture to equal the
server's screen (a lossy viewer must refresh what it showed lossily) and ends the session, and
Xvnc's EncodeManager says how many pixels it sent and in how many bytes. Nothing here judges
speed: the figures are printed.

usage: wire-bench.py --build BUILD_DIR [--viewers vncviewer,tessaral] [--links 10:40,2:80]
                     [--seconds 10] [--keep DIR]
       a link is MBIT_PER_S:MILLISECONDS (one way); a viewer tessaral-QUALITY opens a saved
       computer of that quality (tessaral is tessaral-full).
"""

import argparse
import collections
import importlib.util
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "Tessaral", "EndToEndTests"))
import desktop  # noqa: E402

# The viewer classes of the viewer benchmark, whose file name is no module name.
found = importlib.util.spec_from_file_location(
    "viewer_bench", os.path.join(ROOT, "benchmarks", "viewers", "viewer-bench.py"))
viewer_bench = importlib.util.module_from_spec(found)
found.loader.exec_module(viewer_bench)

REMOTE = (1280, 800)
SCREEN = (1600, 1000)  # the viewers' Xvfb: room for the remote screen at actual size


class Failed(Exception):
    pass


# ---- The link --------------------------------------------------------------------------------

class Direction:
    """One way of the link: bytes leave at the link's rate after the latency; while the
    bottleneck holds more than its buffer, nothing more is read, so the sender feels the link as
    it would a real one."""

    def __init__(self, source, sink, bits_per_second, latency, buffer_bytes):
        self.source, self.sink = source, sink
        self.rate, self.latency, self.buffer = bits_per_second / 8, latency, buffer_bytes
        self.queue = collections.deque()
        self.ready = threading.Condition()
        self.link_free = time.monotonic()  # when the last queued byte has left the bottleneck
        self.closed = False
        self.bytes = 0

    def read(self):
        try:
            while True:
                with self.ready:
                    while (self.link_free - time.monotonic()) * self.rate > self.buffer:
                        self.ready.wait(0.002)
                data = self.source.recv(16384)
                if not data:
                    break
                with self.ready:
                    now = time.monotonic()
                    self.link_free = max(now, self.link_free) + len(data) / self.rate
                    self.queue.append((self.link_free + self.latency, data))
                    self.bytes += len(data)
                    self.ready.notify_all()
        except OSError:
            pass
        with self.ready:
            self.closed = True
            self.ready.notify_all()

    def write(self):
        try:
            while True:
                with self.ready:
                    while not self.queue and not self.closed:
                        self.ready.wait()
                    if not self.queue:
                        break
                    due, data = self.queue.popleft()
                    self.ready.notify_all()
                time.sleep(max(0.0, due - time.monotonic()))
                self.sink.sendall(data)
        except OSError:
            pass
        try:
            self.sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def start(self):
        for body in (self.read, self.write):
            threading.Thread(target=body, daemon=True).start()


class Link:
    """A relay on a local port to the server, paced as `megabits` per second each way with
    `latency_ms` one way; the bottleneck buffers one round trip's worth of bytes plus 64 KiB."""

    def __init__(self, server_port, megabits, latency_ms):
        self.server_port = server_port
        self.rate = megabits * 1e6
        self.latency = latency_ms / 1000
        self.buffer = int(self.rate / 8 * 2 * self.latency) + 65536
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.directions = []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        try:
            viewer, _ = self.listener.accept()
        except OSError:
            return
        server = socket.create_connection(("127.0.0.1", self.server_port))
        for sock in (viewer, server):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.directions = [Direction(server, viewer, self.rate, self.latency, self.buffer),
                           Direction(viewer, server, self.rate, self.latency, self.buffer)]
        for direction in self.directions:
            direction.start()

    def close(self):
        self.listener.close()


# ---- The scene -------------------------------------------------------------------------------

ANIMATION = r"""
import math, tkinter as tk
root = tk.Tk()
root.title("animation")
root.geometry("360x270+860+40")
canvas = tk.Canvas(root, width=360, height=270, highlightthickness=0, bg="black")
canvas.pack()
shapes = [canvas.create_oval(0, 0, 60, 60, outline="") for _ in range(12)]
frame = [0]
def step():
    t = frame[0] / 25
    canvas.configure(bg="#%02x%02x%02x" % (int(60 + 50 * math.sin(t)), 40,
                                            int(90 + 60 * math.cos(t / 2))))
    for i, shape in enumerate(shapes):
        x = 150 + 130 * math.sin(t * (1 + i / 7) + i)
        y = 105 + 95 * math.cos(t * (1 + i / 5) + 2 * i)
        canvas.coords(shape, x, y, x + 60, y + 60)
        canvas.itemconfigure(shape, fill="#%02x%02x%02x" % ((i * 40) % 256, (i * 90 + frame[0]) % 256,
                                                           (255 - i * 20) % 256))
    frame[0] += 1
    root.after(40, step)
step()
root.mainloop()
"""


class Scene:
    """Xvnc with the scene's windows; move() runs the motion until stop()."""

    def __init__(self, work, log_name, size=REMOTE):
        self.work = work
        self.server = desktop.start_xvnc(work, desktop.free_port(), "wire-bench",
                                         log_name=log_name,
                                         options=["-geometry", "%dx%d" % size])
        self.stopped = threading.Event()
        photo = os.path.join(work, "photo.png")
        text = os.path.join(work, "text")
        wallpaper = os.path.join(work, "wallpaper-%dx%d.png" % size)
        if not os.path.exists(wallpaper):
            subprocess.run(["convert", "-size", "64x48", "-seed", "7", "plasma:fractal",
                            "-resize", "384x288", "-attenuate", "0.15", "+noise", "Gaussian",
                            photo], check=True)
            subprocess.run(["convert", "-size", "%dx%d" % size, "gradient:#2b4f7e-#6f3a5c",
                            wallpaper], check=True)
            with open("/usr/share/common-licenses/GPL-3") as source, open(text, "w") as out:
                out.write(source.read())
        env = self.server.env()
        subprocess.run(["display", "-window", "root", wallpaper], env=env, check=False)
        # No pointer in the pictures: a blank one, in a corner no window reaches.
        blank = os.path.join(work, "blank.xbm")
        with open(blank, "w") as f:
            f.write("#define c_width 1\n#define c_height 1\n#define c_x_hot 0\n#define c_y_hot 0\n"
                    "static unsigned char c_bits[] = {\n 0x00,\n};\n")
        desktop.run(self.server, ["xsetroot", "-cursor", blank, blank])
        desktop.run(self.server, ["xdotool", "mousemove", str(size[0] - 1), str(size[1] - 1)])
        self.processes = [
            desktop.Process(["xterm", "-geometry", "80x24+20+20", "-fa", "DejaVu Sans Mono",
                             "-fs", "9", "-title", "terminal", "-e", "sh", "-c",
                             f"while :; do while IFS= read -r l; do printf '%s\\n' \"$l\"; "
                             f"sleep 0.02; done < {text}; done"], env=env),
            desktop.Process(["display", "-geometry", "+400+420", "-title", "photo", photo],
                            env=env),
            desktop.Process(["python3", "-c", ANIMATION], env=env),
        ]
        self.photo = int(desktop.wait_for(
            lambda: desktop.visible_windows(self.server, "^photo"), "the photo window")[0])
        for name in ("^terminal$", "^animation$"):
            desktop.wait_for(lambda: desktop.visible_windows(self.server, name), name)

    def move(self):
        step = 0
        while not self.stopped.is_set():
            x = 400 + int(300 * ((step % 40) / 20 - 1) ** 2)
            y = 330 + (step % 13) * 12
            desktop.run(self.server, ["xdotool", "windowmove", str(self.photo), str(x), str(y)],
                        check=False)
            step += 1
            time.sleep(0.05)

    def still(self):
        """Freezes everything that moves, windows left in place, so that the screen holds still
        to be compared."""
        self.stopped.set()
        for process in self.processes:
            os.kill(process.pid, signal.SIGSTOP)

    def stop(self):
        self.stopped.set()
        for process in self.processes:
            os.kill(process.pid, signal.SIGCONT)
            process.stop()
        self.server.stop()


def encode_totals(log):
    """Xvnc's EncodeManager totals for the first session in `log` it closed: (pixels, bytes)."""
    matches = re.findall(r"EncodeManager:\s+Total: [\d.]+ k?rects, ([\d.]+) (k|M|G)?pixels\s+"
                         r"EncodeManager:\s+([\d.]+) (B|KiB|MiB|GiB)", log)
    if not matches:
        return None
    count, prefix, amount, unit = matches[0]
    pixels = float(count) * {"": 1, "k": 1e3, "M": 1e6, "G": 1e9}[prefix]
    size = float(amount) * {"B": 1, "KiB": 1024, "MiB": 1024 ** 2, "GiB": 1024 ** 3}[unit]
    return pixels, size


# ---- Viewers ---------------------------------------------------------------------------------

class TigerVNC(viewer_bench.Viewer):
    name = "vncviewer"

    def argv(self, port):
        return ["vncviewer", f"127.0.0.1::{port}"]  # its defaults: what a user gets


class Tessaral(viewer_bench.Tessaral):
    def __init__(self, options, work, quality):
        super().__init__(options, work)
        self.name = f"tessaral-{quality}"
        self.quality = quality
        self.port = None

    def argv(self, port):
        self.port = port
        return [self.options.tessaral, f"vnc://127.0.0.1:{port}"]

    def env(self, display):
        # A link opens the saved computer at its address, with that computer's quality; one
        # made from the link itself would get the factory quality whatever the settings say.
        env = super().env(display)
        library = os.path.join(env["XDG_DATA_HOME"], "Tessaral")
        os.makedirs(library, exist_ok=True)
        with open(os.path.join(library, "Library.json"), "w") as f:
            json.dump({"connections": [{
                "id": "7D0C1E2F-3A4B-4C5D-8E6F-708192A3B4C5", "name": "wire-bench",
                "host": "127.0.0.1", "port": self.port, "origin": "saved", "username": "",
                "createdAt": "2026-01-01T00:00:00Z", "sshGateway": "", "symbol": "pc",
                "tint": "blue",
                "options": {"quality": self.quality, "scaling": self.scaling}}],
                "groups": [], "version": 1}, f)
        return env


def make_viewer(name, options, work):
    if name == "vncviewer":
        return TigerVNC(options, work)
    if name == "tessaral" or name.startswith("tessaral-"):
        return Tessaral(options, work, name.partition("-")[2] or "full")
    raise SystemExit(f"wire-bench: no viewer {name}")


# ---- A run -----------------------------------------------------------------------------------

def run_once(work, display, viewer, megabits, latency_ms, seconds, keep):
    label = f"{viewer.name}-{megabits:g}M-{latency_ms}ms"
    scene = Scene(work, "Xvnc-" + label)
    link = Link(scene.server.port, megabits, latency_ms)
    process = None
    try:
        log_before = len(scene.server.process.log())  # the probe that found Xvnc listening
        process = desktop.Process(viewer.argv(link.port), env=viewer.env(display),
                                  log=os.path.join(keep, label + ".log"))
        # The window that shows the remote screen (Tessaral shows its library too).
        def screen_window():
            window = viewer.window(display, process)
            size = window and desktop.window_geometry(display, window)[2:]
            return window if size and size[0] >= REMOTE[0] and size[1] >= REMOTE[1] else None
        window = desktop.wait_for(screen_window, "the viewer's window", timeout=60)
        mover = threading.Thread(target=scene.move, daemon=True)
        mover.start()
        time.sleep(seconds)
        scene.still()
        mover.join()
        # The picture must become the server's screen once nothing moves.
        screen = desktop.capture(scene.server)
        started = time.monotonic()
        exact_after = None
        while time.monotonic() - started < 30:
            if desktop.capture(display, window).find(screen) is not None:
                exact_after = time.monotonic() - started
                break
            time.sleep(0.5)
        if exact_after is None:
            desktop.capture(display, window).save(os.path.join(keep, label + "-window.ppm"))
            screen.save(os.path.join(keep, label + "-screen.ppm"))
        process.stop()
        process = None
        totals = desktop.wait_for(lambda: encode_totals(scene.server.process.log()[log_before:]),
                                  "Xvnc's totals", timeout=20)
        sent = sum(d.bytes for d in link.directions[:1])
        return {"pixels": totals[0], "bytes": totals[1], "wire": sent, "exact": exact_after}
    finally:
        if process:
            process.stop()
        link.close()
        scene.stop()


def prepare(options, prefix):
    """Finds Tessaral in the build, and makes the run's work directory and the one it keeps."""
    options.tessaral = os.path.join(os.path.abspath(options.build), "Tessaral", "App",
                                    "tessaral")
    options.tessaral_screen = None
    desktop.install_signal_handlers()
    work = tempfile.mkdtemp(prefix=prefix)
    keep = options.keep or work
    os.makedirs(keep, exist_ok=True)
    return work, keep


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--viewers", default="vncviewer,tessaral")
    parser.add_argument("--links", default="10:40,2:80")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--keep", help="a directory for logs and mismatching pictures")
    options = parser.parse_args()
    links = [tuple(float(v) for v in link.split(":")) for link in options.links.split(",")]
    work, keep = prepare(options, "wire-bench-")
    rows = []
    display = None
    try:
        display = desktop.start_xvfb(work, *SCREEN)
        for megabits, latency in links:
            for name in options.viewers.split(","):
                viewer = make_viewer(name, options, work)
                try:
                    result = run_once(work, display, viewer, megabits, int(latency),
                                      options.seconds, keep)
                except (Failed, AssertionError) as error:
                    result = str(error)
                rows.append((f"{megabits:g} Mbit/s, {latency:g} ms", viewer.name, result))
                print(rows[-1], flush=True)
    finally:
        if display:
            display.stop()
        desktop.stop_all()
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)

    print(f"\nOn the wire ({options.seconds:g} s of motion; Xvnc's own counts; exact = seconds "
          "after the motion stopped until the viewer showed the server's screen exactly)")
    print(f"{'link':20} {'viewer':20} {'Mpixels':>8} {'MiB':>7} {'Mpx/MiB':>8} {'exact':>7}")
    for link, name, result in rows:
        if isinstance(result, str):
            print(f"{link:20} {name:20} FAILED: {result}")
            continue
        mib = result["bytes"] / 1024 ** 2
        exact = "never" if result["exact"] is None else f"{result['exact']:.1f} s"
        print(f"{link:20} {name:20} {result['pixels'] / 1e6:8.1f} {mib:7.2f} "
              f"{result['pixels'] / 1e6 / mib:8.2f} {exact:>7}")
    return 0 if all(not isinstance(r, str) for *_, r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
