#!/usr/bin/python3
"""viewer-bench: the whole path from socket to screen, Tessaral's session window beside the
viewers a Linux user would otherwise pick, each fed the same recorded Xvnc session.

This program is the VNC server: it serves a recording (benchmarks/recordings, made by
benchmarks/record.sh) over loopback to one viewer process at a time, all on one Xvfb. It sends
the recorded ServerInit, then each recorded update in answer to one FramebufferUpdateRequest, as
a real server paces a client, never more than one ahead. A run ends when the viewer asks for the
update after the last one, and then when the viewer and the X server have gone quiet, so that
drawing a viewer defers past its request is still counted.

For every run it prints the wall time from the first timed update byte, the viewer's CPU time
(all threads) and the X server's over the same span, and the viewer's peak resident memory. The
viewer's final picture, captured from the screen, must equal libvncclient's decode of the
recording (itself checked against Tessaral's plain decode by replay-benchmarks), or the run fails:
a viewer that skips or garbles updates cannot look fast. Speed itself never fails a run.

With --tls the session runs inside anonymous TLS (VeNCrypt TLSNone), as Xvnc serves it, and each
viewer's figures are given beside its own in clear from the same run.

usage: viewer-bench.py --build BUILD_DIR [--recordings DIR] [--only NAME,...]
                       [--viewers tessaral,tessaral-fit,vncviewer,gvncviewer-fit] [--runs N]
                       [--keep DIR] [--perf] [--tessaral-screen opengl|painter] [--tls]
"""

import argparse
import gzip
import os
import re
import shutil
import signal
import socket
import ssl
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "Tessaral", "EndToEndTests"))
import desktop  # noqa: E402  (processes stopped by pid, Xvfb, captures)

SCREEN = (2560, 1600)  # room for a 1920 × 1080 remote screen at actual size, bars included
FIT_SIZE = (1280, 720)
TICKS = os.sysconf("SC_CLK_TCK")

RAW, COPYRECT, HEXTILE, ZRLE = 0, 1, 5, 16
ENCODING_NAMES = {RAW: "Raw", COPYRECT: "CopyRect", 2: "RRE", HEXTILE: "Hextile", ZRLE: "ZRLE"}


class Refused(Exception):
    """The viewer asked for something the recording cannot give it (a format or encodings)."""


class Failed(Exception):
    pass


# ---- Recordings ------------------------------------------------------------------------------

class Recording:
    def __init__(self, path, references):
        self.name = os.path.basename(path).split(".")[0]
        data = gzip.open(path).read()
        if data[:8] != b"RFBREC1\n":
            raise Failed(f"{path}: not a recording")
        self.width, self.height = struct.unpack(">HH", data[8:12])
        self.format = data[12:28]
        at = 28
        (length,) = struct.unpack(">H", data[at:at + 2])
        self.desktop_name = data[at + 2:at + 2 + length]
        at += 2 + length
        (count,) = struct.unpack(">H", data[at:at + 2])
        self.encodings = list(struct.unpack(">%di" % count, data[at + 2:at + 2 + 4 * count]))
        at += 2 + 4 * count
        self.updates, self.pixels, stream_length = struct.unpack(">IQQ", data[at:at + 20])
        self.stream = memoryview(data[at + 20:])
        if len(self.stream) != stream_length:
            raise Failed(f"{path}: the stream length disagrees with the file")
        with open(os.path.join(references, self.name + ".updates")) as f:
            self.ends = [int(line) for line in f]
        if len(self.ends) != self.updates or self.ends[-1] != len(self.stream):
            raise Failed(f"{path}: the update offsets disagree with the recording")
        self.reference = read_ppm(os.path.join(references, self.name + ".ppm"))
        bpp, depth, _big, _true, rmax, gmax, bmax = struct.unpack(">BBBBHHH", self.format[:10])
        self.bits = min(m.bit_length() for m in (rmax, gmax, bmax))
        self.bpp = bpp

    def pixel_encodings(self):
        return sorted({e for e in self.encodings if 0 <= e < 256})

    def describe_format(self, fmt=None):
        return describe_format(fmt or self.format)


def describe_format(fmt):
    bpp, depth, big, true, rmax, gmax, bmax, rs, gs, bs = struct.unpack(">BBBBHHHBBB", fmt[:13])
    return (f"{bpp} bpp depth {depth} {'big' if big else 'little'}-endian "
            f"{'true colour' if true else 'colour map'} max {rmax}/{gmax}/{bmax} "
            f"shift {rs}/{gs}/{bs}")


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    width, height = int(match.group(1)), int(match.group(2))
    return desktop.Image(width, height, data[match.end():match.end() + width * height * 3])


# ---- Processes -------------------------------------------------------------------------------

def cpu_ticks(pid):
    """User plus system CPU time of every thread of the process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def cpu_seconds(pid):
    """CPU time of the process's threads, to the nanosecond: clock ticks are too coarse for
    replays that take tens of milliseconds. A thread that ends within the span takes its time
    with it, so the tick count, which keeps it, is taken as well and the larger one used."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total * 1e-9, cpu_ticks(pid) / TICKS


def thread_cpu_seconds(pid, name):
    """CPU time of the process's threads called `name` (Tessaral's decoder is "rfb-decoder")."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/comm") as f:
                if f.read().strip() != name:
                    continue
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total * 1e-9


def cpu_delta(before, after):
    precise, ticks = after[0] - before[0], after[1] - before[1]
    return precise if ticks <= precise + 2 / TICKS else ticks


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


# ---- The server side -------------------------------------------------------------------------

class TLSChannel:
    """Anonymous TLS over a socket, read by one thread while another writes. One SSL object must
    not be used by two threads at once, so it runs over memory and every use of it is locked; the
    socket is read and written outside it."""

    def __init__(self, sock, dh_params):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.maximum_version = ssl.TLSVersion.TLSv1_2  # anonymous suites end there
        context.set_ciphers("aNULL:@SECLEVEL=0")
        context.load_dh_params(dh_params)
        self.sock, self.lock = sock, threading.Lock()
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                self.sock.sendall(self.outgoing.read())
                if not self.feed():
                    raise Failed("the viewer closed the connection in the TLS handshake")
        self.sock.sendall(self.outgoing.read())

    def cipher(self):
        return self.tls.cipher()[0]

    def feed(self):
        data = self.sock.recv(1 << 16)
        with self.lock:
            self.incoming.write(data) if data else self.incoming.write_eof()
        return bool(data)

    def recv(self, count):
        while True:
            with self.lock:
                try:
                    return self.tls.read(count)
                except ssl.SSLWantReadError:
                    pass
                except ssl.SSLZeroReturnError:
                    return b""
            if not self.feed():
                return b""

    def sendall(self, data):
        with self.lock:
            self.tls.write(data)
            self.sock.sendall(self.outgoing.read())

    def close(self):
        self.sock.close()


class Connection:
    """One viewer's connection: the handshake, then a thread reading what the viewer sends."""

    def __init__(self, sock, recording, dh_params=None):
        self.sock = sock
        self.dh_params = dh_params  # inside anonymous TLS when given
        self.cipher = None
        self.recording = recording
        self.lock = threading.Condition()
        self.formats = []  # every SetPixelFormat, in order
        self.encodings = None
        self.requests = 0  # FramebufferUpdateRequests not yet answered (folded into one)
        self.request_times = []
        self.error = None
        self.closed = False

    def read(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise EOFError()
            data += chunk
        return data

    def handshake(self):
        self.sock.sendall(b"RFB 003.008\n")
        version = self.read(12)
        if not version.startswith(b"RFB 003.00"):
            raise Failed(f"the viewer answered protocol version {version!r}")
        if self.dh_params:
            self.offer_anonymous_tls()
        else:
            self.sock.sendall(b"\x01\x01")  # security type None only
            if self.read(1) != b"\x01":
                raise Failed("the viewer chose a security type other than None")
        self.sock.sendall(b"\x00\x00\x00\x00")
        self.read(1)  # ClientInit: shared or not, all the same here
        r = self.recording
        self.sock.sendall(struct.pack(">HH", r.width, r.height) + r.format +
                          struct.pack(">I", len(r.desktop_name)) + r.desktop_name)
        threading.Thread(target=self.reader, daemon=True).start()

    def offer_anonymous_tls(self):
        self.sock.sendall(b"\x01\x13\x00\x02")  # VeNCrypt 0.2
        if self.read(1) != b"\x13" or self.read(2) != b"\x00\x02":
            raise Failed("the viewer did not choose VeNCrypt 0.2")
        self.sock.sendall(b"\x00\x01" + struct.pack(">I", 257))  # TLSNone alone
        if struct.unpack(">I", self.read(4))[0] != 257:
            raise Failed("the viewer did not choose TLSNone")
        self.sock.sendall(b"\x01")
        self.sock = TLSChannel(self.sock, self.dh_params)
        self.cipher = self.sock.cipher()

    def reader(self):
        try:
            while True:
                kind = self.read(1)[0]
                if kind == 0:  # SetPixelFormat
                    body = self.read(19)
                    with self.lock:
                        self.formats.append(body[3:19])
                elif kind == 2:  # SetEncodings
                    (count,) = struct.unpack(">xH", self.read(3))
                    values = list(struct.unpack(">%di" % count, self.read(4 * count)))
                    with self.lock:
                        self.encodings = values
                elif kind == 3:  # FramebufferUpdateRequest
                    self.read(9)
                    with self.lock:
                        self.requests = 1
                        self.request_times.append(time.monotonic())
                        self.lock.notify_all()
                elif kind == 4:
                    self.read(7)
                elif kind == 5:
                    self.read(5)
                elif kind == 6:
                    (length,) = struct.unpack(">3xI", self.read(7))
                    self.read(length)
                elif kind == 150:  # EnableContinuousUpdates: never offered, so never on
                    self.read(9)
                elif kind == 248:  # Fence
                    self.read(7)
                    self.read(self.read(1)[0])
                elif kind == 251:  # SetDesktopSize
                    (count,) = struct.unpack(">x4xBx", self.read(7))
                    self.read(16 * count)
                else:
                    raise Failed(f"client message type {kind}")
        except (EOFError, OSError):
            pass
        except Failed as error:
            self.error = str(error)
        with self.lock:
            self.closed = True
            self.lock.notify_all()

    def wait_request(self, timeout, what):
        deadline = time.monotonic() + timeout
        with self.lock:
            while not self.requests:
                if self.closed:
                    raise Failed(f"the viewer closed the connection {what}"
                                 + (f" ({self.error})" if self.error else ""))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failed(f"no update request {what} within {timeout:.0f} s")
                self.lock.wait(left)
            self.requests = 0

    def check_asked_for(self):
        """What the viewer asked for must be what the recording holds: nothing is re-encoded."""
        r = self.recording
        with self.lock:
            fmt = self.formats[-1] if self.formats else r.format
            encodings = self.encodings
        # The three padding bytes carry nothing.
        if fmt[:13] != r.format[:13]:
            raise Refused(f"the viewer asks for {describe_format(fmt)}, the recording holds "
                          f"{describe_format(r.format)}")
        if encodings is None:
            raise Refused("the viewer sent no SetEncodings")
        used = set(r.pixel_encodings()) - {RAW}  # Raw needs no announcing
        missing = used - set(encodings)
        if missing:
            raise Refused("the viewer does not announce " +
                          ", ".join(ENCODING_NAMES.get(e, str(e)) for e in sorted(missing)))
        return fmt, encodings

    def send_update(self, index):
        start = self.recording.ends[index - 1] if index else 0
        self.sock.sendall(self.recording.stream[start:self.recording.ends[index]])


# ---- Viewers ---------------------------------------------------------------------------------

class Viewer:
    name = ""
    fit = False

    def __init__(self, options, work):
        self.options = options
        self.work = work

    def argv(self, port, recording):
        raise NotImplementedError

    def env(self, display):
        return display.env()

    def window(self, display, process):
        """The viewer's top-level window showing the remote screen: its largest visible one."""
        result = desktop.run(display, ["xdotool", "search", "--onlyvisible", "--pid",
                                       str(process.pid)], check=False)
        best = None
        for window in result.stdout.split():
            try:
                x, y, w, h = desktop.window_geometry(display, int(window))
            except (AssertionError, AttributeError):
                continue
            if best is None or w * h > best[0]:
                best = (w * h, int(window))
        return best[1] if best else None

    def prepare(self, display, window):
        """After the first update: put the window in the mode measured."""

    def before_capture(self, display, window):
        """After the replay: show the remote screen at one pixel per pixel if the viewer can (the
        window then gets back the size it had for the first frame)."""


class Tessaral(Viewer):
    name = "tessaral"
    scaling = "actualSize"
    quality = "full"

    def env(self, display):
        # A fresh one each run, so that no run starts from what an earlier one left.
        home = tempfile.mkdtemp(prefix=self.name + "-home-", dir=self.work)
        config = os.path.join(home, ".config", "Tessaral")
        os.makedirs(config, exist_ok=True)
        # A throwaway home whose settings say how the session window first shows the screen.
        with open(os.path.join(config, "Tessaral.conf"), "w") as f:
            f.write(f"[General]\ndefaultScaling={self.scaling}\ndefaultQuality={self.quality}\n"
                    "saveThumbnails=false\n")
        # The runtime directory holds the single-instance socket: a shared one would hand the
        # link to whatever Tessaral already runs there.
        runtime = os.path.join(home, "runtime")
        os.makedirs(runtime, mode=0o700)
        env = display.env(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                          XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                          XDG_CACHE_HOME=os.path.join(home, ".cache"), XDG_RUNTIME_DIR=runtime,
                          QT_QPA_PLATFORM="xcb")
        if self.options.tessaral_screen:
            env["TESSARAL_SCREEN"] = self.options.tessaral_screen
        return env

    def argv(self, port, recording):
        return [self.options.tessaral, f"vnc://127.0.0.1:{port}"]


class TessaralFit(Tessaral):
    name = "tessaral-fit"
    scaling = "fit"
    fit = True

    def prepare(self, display, window):
        resize(display, window, *FIT_SIZE)

    def before_capture(self, display, window):
        # Connection ▸ Actual Size, then a window that holds all of it.
        # Typed through XTEST into the focused window: Qt may ignore events sent to a window.
        desktop.focus(display, window)
        desktop.run(display, ["xdotool", "key", "ctrl+super+0"])


class TigerVNC(Viewer):
    name = "vncviewer"

    def argv(self, port, recording):
        preferred = {ZRLE: "ZRLE", HEXTILE: "Hextile", RAW: "Raw"}
        encoding = next((preferred[e] for e in (ZRLE, HEXTILE, RAW)
                         if e in recording.pixel_encodings()), "ZRLE")
        # Full colour fixed: with AutoSelect it would pick format and encoding by measured speed.
        return ["vncviewer", "-AutoSelect=0", "-FullColor=1", f"-PreferredEncoding={encoding}",
                "-CompressLevel=-1", "-NoJPEG=1", "-RemoteResize=0", "-Shared=1",
                "-AcceptClipboard=0", "-SendClipboard=0", "-SendPrimary=0",
                "-FullScreen=0", "-MenuKey=", f"127.0.0.1::{port}"]


class GtkVNC(Viewer):
    name = "gvncviewer-fit"
    fit = True

    def argv(self, port, recording):
        if port < 5900:
            raise Failed("gvncviewer takes display numbers: ports from 5900 up")
        return ["gvncviewer", f"127.0.0.1:{port - 5900}"]

    def env(self, display):
        return display.env(GDK_BACKEND="x11", NO_AT_BRIDGE="1")

    def prepare(self, display, window):
        # View ▸ Scaled display is on from the start (smooth, aspect not kept).
        resize(display, window, *FIT_SIZE)

    def before_capture(self, display, window):
        toggle_gvnc_scaling(display, window)


def toggle_gvnc_scaling(display, window):
    # gvncviewer has no option for it: View ▸ Scaled display, through the menu bar's keys.
    desktop.focus(display, window)
    desktop.run(display, ["xdotool", "key", "--window", str(window), "--delay", "150", "F10",
                          "Right", "Down", "Down", "Return"])


def resize(display, window, width, height):
    desktop.run(display, ["xdotool", "windowsize", "--sync", str(window), str(width),
                          str(height)], check=False)
    desktop.wait_for(lambda: desktop.window_geometry(display, window)[2:] == (width, height),
                     f"a window of {width} × {height}", timeout=10)


VIEWERS = {v.name: v for v in (Tessaral, TessaralFit, TigerVNC, GtkVNC)}


# ---- A run -----------------------------------------------------------------------------------

def quantise(data, bits):
    if bits >= 8:
        return data
    table = bytes((v >> (8 - bits)) for v in range(256))
    return data.translate(table)


def check_picture(display, window, recording, keep):
    """Where the viewer's window shows the recording's last frame exactly (after quantising
    both to the recording's colour depth), or a Failed saying why not."""
    shot = desktop.capture(display, window)
    reference = recording.reference
    if recording.bits < 8:
        shot = desktop.Image(shot.width, shot.height, quantise(shot.data, recording.bits))
        reference = desktop.Image(reference.width, reference.height,
                                  quantise(reference.data, recording.bits))
    at = shot.find(reference)
    if at is None:
        shot_path = os.path.join(keep, "mismatch-window.ppm")
        shot.save(shot_path)
        raise Failed(f"the final picture is not the reference decode (window kept in "
                     f"{shot_path})")
    return at


def start_profile(options, viewer, recording, pid, keep):
    """perf sampling the viewer over the timed span, when --perf asks for it. Its own cost lands
    on the figures, so profiled runs are for reading, not for comparing."""
    if not options.perf:
        return None
    output = os.path.join(keep, f"{recording.name}-{viewer.name}.perf.data")
    # DWARF call graphs: the viewers' libraries are built without frame pointers.
    profiler = desktop.Process(["perf", "record", "-e", "cpu-clock", "-F", "4000",
                                "--call-graph", "dwarf,32768", "-p", str(pid), "-o", output],
                               log=os.path.join(keep, "perf.log"))
    time.sleep(0.5)  # perf attaches to every thread before the first timed byte
    return profiler


def stop_profile(profiler):
    if profiler:
        profiler.popen.send_signal(signal.SIGINT)
        try:
            profiler.popen.wait(timeout=30)
        finally:
            profiler.stop()


def run_once(display, viewer, recording, keep, dh_params=None):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    for port in range(5950, 6900):
        try:
            listener.bind(("127.0.0.1", port))
            break
        except OSError:
            continue
    listener.listen(1)
    port = listener.getsockname()[1]
    log = os.path.join(keep, f"{recording.name}-{viewer.name}.log")
    process = None
    sock = None
    try:
        # On this loaded machine an X client now and then fails to open the display at all
        # ("could not connect to display") or hangs before connecting; such a viewer is
        # started again, at most twice, and said so.
        listener.settimeout(0.2)
        for attempt in range(3):
            process = desktop.Process(viewer.argv(port, recording), env=viewer.env(display),
                                      log=log)
            deadline = time.monotonic() + 20
            while sock is None and process.running() and time.monotonic() < deadline:
                try:
                    sock, _ = listener.accept()
                except socket.timeout:
                    pass
            if sock is not None or attempt == 2:
                break
            said = process.log().strip().splitlines()
            print(f"  ({viewer.name} did not connect: {said[0] if said else 'said nothing'}; "
                  "started again)", flush=True)
            process.stop()
        if sock is None:
            shot = os.path.join(keep, "never-connected.ppm")
            desktop.capture(display).save(shot)
            raise Failed(f"the viewer never connected (screen kept in {shot}): " +
                         process.log()[-1500:])
        sock.settimeout(None)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection = Connection(sock, recording, dh_params)
        connection.handshake()
        connection.wait_request(30, "after the handshake")
        fmt, encodings = connection.check_asked_for()

        # The first update sizes the window; the mode measured is set up after it, untimed.
        connection.send_update(0)
        connection.wait_request(60, "after the first update")
        window = desktop.wait_for(lambda: viewer.window(display, process), "the viewer's window")
        desktop.run(display, ["xdotool", "mousemove", str(SCREEN[0] - 1), str(SCREEN[1] - 1)])
        # The size each viewer gives its window for the whole screen at one pixel per pixel, once
        # it has given it.
        wait_quiet(process.pid, display.process.pid, 0.5, 15)
        natural = desktop.window_geometry(display, window)[2:]
        viewer.prepare(display, window)
        wait_quiet(process.pid, display.process.pid, 0.5, 15)

        xserver = display.process.pid
        profiler = start_profile(viewer.options, viewer, recording, process.pid, keep)
        start_viewer, start_x = cpu_seconds(process.pid), cpu_seconds(xserver)
        start_decoder = thread_cpu_seconds(process.pid, "rfb-decoder")
        start = time.monotonic()
        connection.send_update(1) if recording.updates > 1 else None
        for index in range(2, recording.updates):
            connection.wait_request(60, f"after update {index}")
            connection.send_update(index)
        connection.wait_request(60, "after the last update")
        requested = time.monotonic()
        settled = max(requested, wait_quiet(process.pid, xserver, 0.5, 20))
        viewer_cpu = cpu_delta(start_viewer, cpu_seconds(process.pid))
        x_cpu = cpu_delta(start_x, cpu_seconds(xserver))
        decoder_cpu = thread_cpu_seconds(process.pid, "rfb-decoder") - start_decoder
        stop_profile(profiler)
        peak = peak_rss_kib(process.pid)
        with connection.lock:
            if connection.formats and connection.formats[-1][:13] != fmt[:13]:
                raise Failed("the viewer changed its pixel format during the replay")
            if connection.encodings != encodings:
                raise Failed("the viewer changed its encodings during the replay")
        if not process.running():
            raise Failed("the viewer exited: " + process.log()[-1500:])

        viewer.before_capture(display, window)
        wait_quiet(process.pid, xserver, 0.3, 10)
        # Back to the window's own size for the whole screen, asked for again while the picture
        # is not there: a viewer that sizes its own window on a change of mode may answer the
        # first request with a size of its own. (Larger is no good: without a window manager
        # to honour a maximum size, Qt keeps laying out for the size it allows.)
        def shown():
            desktop.run(display, ["xdotool", "windowsize", "--sync", str(window),
                                  str(natural[0]), str(natural[1])], check=False)
            return try_picture(display, window, recording, keep)
        try:
            desktop.wait_for(shown, "the picture", timeout=15, interval=0.5)
        except AssertionError:
            raise try_picture.last from None
        return {
            "wall": requested - start,
            "settled": settled - start,
            "cpu": viewer_cpu,
            "xcpu": x_cpu,
            "decoder": decoder_cpu,
            "display": viewer_cpu - decoder_cpu + x_cpu,
            "rss": peak / 1024,
            "cipher": connection.cipher,
        }
    finally:
        if sock:
            sock.close()
        listener.close()
        if process:
            process.stop()


def try_picture(display, window, recording, keep):
    try:
        check_picture(display, window, recording, keep)
        return True
    except Failed as error:
        try_picture.last = error
        return False


def wait_quiet(viewer_pid, xserver_pid, quiet_seconds, timeout):
    """Polls until neither process has used a clock tick (beyond one) for quiet_seconds; returns
    when the last tick was seen."""
    deadline = time.monotonic() + timeout
    last_change = time.monotonic()
    previous = cpu_ticks(viewer_pid) + cpu_ticks(xserver_pid)
    quiet_from = previous
    while time.monotonic() < deadline:
        time.sleep(0.02)
        now_ticks = cpu_ticks(viewer_pid) + cpu_ticks(xserver_pid)
        if now_ticks != previous:
            previous = now_ticks
            if now_ticks - quiet_from > 1:
                last_change = time.monotonic()
                quiet_from = now_ticks
        if time.monotonic() - last_change >= quiet_seconds:
            break
    return last_change


# ---- Main ------------------------------------------------------------------------------------

def write_references(build, recordings_dir, names, directory):
    tool = os.path.join(build, "benchmarks", "replay-benchmarks")
    pattern = "^Decode/(" + "|".join(re.escape(n) for n in names) + ")$"
    result = subprocess.run([tool, "--recordings=" + recordings_dir,
                             "--benchmark_filter=" + pattern,
                             "--write-references=" + directory],
                            capture_output=True, text=True, timeout=600)
    if result.returncode != 0:
        raise Failed("no reference decodes: " + result.stdout[-2000:] + result.stderr[-2000:])


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="build directory (tessaral, "
                        "replay-benchmarks)")
    parser.add_argument("--recordings", default=os.path.join(ROOT, "benchmarks", "recordings"))
    parser.add_argument("--only", help="recording names, comma-separated")
    parser.add_argument("--viewers", default=",".join(VIEWERS))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--keep", help="a directory for logs and mismatching pictures")
    parser.add_argument("--tessaral-screen", choices=("opengl", "painter"),
                        help="force Tessaral's screen drawing (TESSARAL_SCREEN); by default it "
                             "picks OpenGL only on a GPU, so the painter under Xvfb")
    parser.add_argument("--tls", action="store_true",
                        help="run each viewer inside anonymous TLS as well, beside its runs in "
                             "clear")
    parser.add_argument("--perf", action="store_true",
                        help="sample each viewer with perf over the timed span, into --keep")
    options = parser.parse_args()
    options.tessaral = os.path.join(os.path.abspath(options.build), "Tessaral", "App",
                                    "tessaral")
    if not os.path.exists(options.tessaral):
        found = shutil.which("tessaral", path=os.path.join(options.build, "bin"))
        options.tessaral = found or options.tessaral

    names = sorted(f.split(".")[0] for f in os.listdir(options.recordings)
                   if f.endswith(".rfbrec.gz"))
    if options.only:
        wanted = options.only.split(",")
        unknown = set(wanted) - set(names)
        if unknown:
            parser.error("no recordings " + ", ".join(sorted(unknown)))
        names = wanted
    viewers = options.viewers.split(",")
    for name in viewers:
        if name not in VIEWERS:
            parser.error(f"no viewer {name}; there are " + ", ".join(VIEWERS))
    if options.tls:
        viewers = [v for name in viewers for v in (name, name + "+tls")]

    desktop.install_signal_handlers()
    work = tempfile.mkdtemp(prefix="viewer-bench-")
    keep = options.keep or work
    os.makedirs(keep, exist_ok=True)
    failures = []
    rows = {}
    display = None
    try:
        write_references(options.build, options.recordings, names, work)
        dh_params = os.path.join(work, "dh.pem")
        if options.tls:
            subprocess.run(["openssl", "genpkey", "-genparam", "-algorithm", "DH", "-pkeyopt",
                            "group:ffdhe2048", "-out", dh_params], check=True,
                           capture_output=True)
        display = desktop.start_xvfb(work, *SCREEN)
        for name in names:
            recording = Recording(os.path.join(options.recordings, name + ".rfbrec.gz"), work)
            print(f"{name}: {recording.width}×{recording.height}, {recording.updates} updates, "
                  f"{recording.pixels / 1e6:.1f} Mpixel, {len(recording.stream) / 1e6:.1f} MB, "
                  f"{recording.describe_format()}, "
                  + "+".join(ENCODING_NAMES.get(e, str(e)) for e in recording.pixel_encodings()),
                  flush=True)
            for run in range(options.runs):
                for viewer_name in viewers:
                    viewer = VIEWERS[viewer_name.removesuffix("+tls")](options, work)
                    key = (name, viewer_name)
                    if isinstance(rows.get(key), str):
                        continue  # refused or failed before: the figures would mean nothing
                    try:
                        tls = viewer_name.endswith("+tls")
                        result = run_once(display, viewer, recording, keep,
                                          dh_params if tls else None)
                    except Refused as refusal:
                        rows[key] = "refused: " + str(refusal)
                        print(f"  {viewer_name:15} {rows[key]}", flush=True)
                        continue
                    except (Failed, AssertionError) as error:
                        rows[key] = "FAILED: " + str(error)
                        failures.append(f"{name} {viewer_name}: {error}")
                        print(f"  {viewer_name:15} {rows[key]}", flush=True)
                        continue
                    rows.setdefault(key, []).append(result)
                    print(f"  {viewer_name:15} run {run + 1}: wall {result['wall'] * 1e3:7.0f} ms"
                          f"  settled {result['settled'] * 1e3:7.0f} ms"
                          f"  cpu {result['cpu'] * 1e3:6.0f} ms  X cpu {result['xcpu'] * 1e3:6.0f}"
                          f" ms  peak RSS {result['rss']:6.0f} MiB  picture ok"
                          + (f"  ({result['cipher']})" if result["cipher"] else ""), flush=True)
    except Failed as error:
        failures.append(str(error))
    finally:
        if display:
            display.stop()
        desktop.stop_all()
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)

    print_table(names, viewers, rows)
    if failures:
        print("\nFAILED:\n  " + "\n  ".join(failures))
        return 1
    return 0


def print_table(names, viewers, rows):
    print("\nViewer summary (medians; wall = first timed update byte to the request after the "
          "last update; settled = until viewer and X server went quiet; CPU from the first "
          "byte to settled)")
    print(f"{'recording':22} {'viewer':15} {'runs':>4} {'wall ms':>8} {'settled':>8} "
          f"{'cpu ms':>7} {'X ms':>7} {'cpu+X':>7} {'RSS MiB':>8}")
    medians = {}
    for name in names:
        for viewer in viewers:
            value = rows.get((name, viewer))
            if value is None:
                continue
            if isinstance(value, str):
                print(f"{name:22} {viewer:15} {value}")
                continue
            m = {k: median([r[k] for r in value]) for k in value[0] if k != "cipher"}
            m["total"] = median([r["cpu"] + r["xcpu"] for r in value])
            medians[(name, viewer)] = m
            print(f"{name:22} {viewer:15} {len(value):4} {m['wall'] * 1e3:8.0f} "
                  f"{m['settled'] * 1e3:8.0f} {m['cpu'] * 1e3:7.0f} {m['xcpu'] * 1e3:7.0f} "
                  f"{m['total'] * 1e3:7.0f} {m['rss']:8.0f}")
    pairs = [("tessaral", "vncviewer"), ("tessaral-fit", "gvncviewer-fit")]
    # Inside TLS: against the other viewer inside TLS, and each viewer against itself in clear.
    pairs += [(ours + "+tls", theirs + "+tls") for ours, theirs in pairs]
    pairs += [(v, v.removesuffix("+tls")) for v in viewers if v.endswith("+tls")]
    lines = []
    for name in names:
        for ours, theirs in pairs:
            a, b = medians.get((name, ours)), medians.get((name, theirs))
            if not a or not b:
                continue
            def ratio(key):
                return b[key] / a[key] if a[key] > 0 else float("inf")
            lines.append(f"{name:22} {ours + ' vs ' + theirs:30} {ratio('wall'):6.2f}x "
                         f"{ratio('settled'):6.2f}x {ratio('cpu'):6.2f}x {ratio('xcpu'):6.2f}x "
                         f"{ratio('total'):6.2f}x {ratio('rss'):6.2f}x")
    split = [(key, m) for key, m in medians.items() if m["decoder"] > 0]
    if split:
        print("\nTessaral's decoding and display path (display = the viewer's other threads plus "
              "the X server; goal: display at most half of decoding)")
        print(f"{'recording':22} {'viewer':15} {'decode ms':>9} {'display ms':>10} {'ratio':>6}")
        for (name, viewer), m in split:
            print(f"{name:22} {viewer:15} {m['decoder'] * 1e3:9.1f} {m['display'] * 1e3:10.1f} "
                  f"{m['display'] / m['decoder']:6.2f}")
    if lines:
        print("\nRatios: the other viewer's figure / Tessaral's (above 1: Tessaral is faster, "
              "uses less CPU or memory); for a viewer against itself, its figure in clear / inside "
              "TLS (for wall, the throughput inside TLS as a share of that in clear)")
        print(f"{'recording':22} {'pair':30} {'wall':>7} {'settled':>7} {'cpu':>7} {'X':>7} "
              f"{'cpu+X':>7} {'RSS':>7}")
        print("\n".join(lines))


if __name__ == "__main__":
    sys.exit(main())
