#!/usr/bin/python3
"""Tests for rfb-record and, when REPLAY_BENCHMARKS names the built replay-benchmarks, for the
replay of what it records: a scripted server on loopback sends Raw, Hextile and ZRLE updates
through the proxy to a scripted client, and the recording must hold exactly the server's bytes
up to the last whole update, and replay to Tessaral and libvncclient alike."""

import gzip
import os
import pathlib
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

RECORDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rfb-record.py")

RGB888 = struct.pack(">BBBBHHHBBBxxx", 32, 24, 0, 1, 255, 255, 255, 16, 8, 0)
RGB565 = struct.pack(">BBBBHHHBBBxxx", 16, 16, 0, 1, 31, 63, 31, 11, 5, 0)
BGR233 = struct.pack(">BBBBHHHBBBxxx", 8, 8, 0, 1, 7, 7, 3, 0, 3, 6)
RAW, HEXTILE, ZRLE, CURSOR, LASTRECT = 0, 5, 16, -239, -224
WIDTH, HEIGHT = 160, 100


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


def receive(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise EOFError()
        data += chunk
    return data


class Encoder:
    """Builds updates with content that exercises each encoding's branches."""

    def __init__(self, pixel_format, seed=1):
        self.bpp = pixel_format[0] // 8
        self.cpixel = 3 if self.bpp == 4 else self.bpp
        self.random = random.Random(seed)
        self.deflater = zlib.compressobj(6)

    def pixel(self):
        value = self.random.getrandbits(8 * self.bpp)
        return (value & 0xFFFFFF if self.bpp == 4 else value).to_bytes(self.bpp, "little")

    def pixels(self, count):
        return b"".join(self.pixel() for _ in range(count))

    @staticmethod
    def update(rectangles, count=None):
        body = b"".join(struct.pack(">HHHHi", *header) + data for header, data in rectangles)
        return struct.pack(">BxH", 0, len(rectangles) if count is None else count) + body

    def raw(self, x, y, w, h):
        return (x, y, w, h, RAW), self.pixels(w * h)

    def hextile(self, x, y, w, h):
        out = b""
        for ty in range(0, h, 16):
            for tx in range(0, w, 16):
                tw, th = min(16, w - tx), min(16, h - ty)
                kinds = ["raw", "solid", "mono", "coloured", "same"]
                # Later tiles may keep the background, so the first one has to set it.
                kind = self.random.choice(kinds[1:4] if out == b"" else kinds)
                if kind == "raw":
                    out += b"\x01" + self.pixels(tw * th)
                elif kind == "same":
                    out += b"\x00"  # keeps the previous tile's background
                elif kind == "solid":
                    out += b"\x02" + self.pixel()
                else:
                    coloured = kind == "coloured"
                    subrects = [(self.random.randrange(tw), self.random.randrange(th))
                                for _ in range(self.random.randint(1, 6))]
                    out += (bytes([2 | 8 | (16 if coloured else 4)]) + self.pixel() +
                            (b"" if coloured else self.pixel()) + bytes([len(subrects)]))
                    for sx, sy in subrects:
                        out += self.pixel() if coloured else b""
                        sw, sh = self.random.randint(1, tw - sx), self.random.randint(1, th - sy)
                        out += bytes([sx << 4 | sy, (sw - 1) << 4 | (sh - 1)])
        return (x, y, w, h, HEXTILE), out

    def cpixels(self, count):
        return b"".join(self.pixel()[: self.cpixel] for _ in range(count))

    def zrle(self, x, y, w, h):
        tiles = b""
        for ty in range(0, h, 64):
            for tx in range(0, w, 64):
                tw, th = min(64, w - tx), min(64, h - ty)
                kind = self.random.choice(["raw", "solid", "palette", "plain-rle"])
                if kind == "raw":
                    tiles += b"\x00" + self.cpixels(tw * th)
                elif kind == "solid":
                    tiles += b"\x01" + self.cpixels(1)
                elif kind == "palette":
                    tiles += b"\x02" + self.cpixels(2)
                    tiles += bytes(self.random.getrandbits(8) for _ in range((tw + 7) // 8 * th))
                else:
                    left = tw * th
                    tiles += b"\x80"
                    while left:
                        run = min(left, self.random.randint(1, 600))
                        tiles += self.cpixels(1)
                        tiles += b"\xff" * ((run - 1) // 255) + bytes([(run - 1) % 255])
                        left -= run
        data = self.deflater.compress(tiles) + self.deflater.flush(zlib.Z_SYNC_FLUSH)
        return (x, y, w, h, ZRLE), struct.pack(">I", len(data)) + data

    def session(self, encoding, count):
        """The first update covers the screen, later ones parts of it."""
        make = {RAW: self.raw, HEXTILE: self.hextile, ZRLE: self.zrle}[encoding]
        updates = [self.update([make(0, 0, WIDTH, HEIGHT)])]
        for _ in range(count - 1):
            rectangles = []
            for _ in range(self.random.randint(1, 3)):
                w, h = self.random.randint(1, 90), self.random.randint(1, 70)
                x, y = self.random.randrange(WIDTH - w + 1), self.random.randrange(HEIGHT - h + 1)
                rectangles.append(make(x, y, w, h))
            updates.append(self.update(rectangles))
        return updates


class ScriptedServer(threading.Thread):
    """Accepts one connection, does the 3.8 handshake, waits for the first request and sends
    `messages` (a list of byte strings) in the given pieces."""

    def __init__(self, messages, security=1, piece=None):
        super().__init__(daemon=True)
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=1)
        self.port = self.listener.getsockname()[1]
        self.messages, self.security, self.piece = messages, security, piece
        self.encodings = None
        self.sent = b""

    def run(self):
        try:
            connection, _ = self.listener.accept()
            with connection:
                self.serve(connection)
        except (OSError, EOFError):
            pass  # the client's side of the test says what went wrong
        finally:
            self.listener.close()

    def serve(self, connection):
        connection.sendall(b"RFB 003.008\n")
        receive(connection, 12)
        connection.sendall(bytes([1, self.security]))
        if receive(connection, 1)[0] != self.security:
            return
        connection.sendall(b"\0\0\0\0")
        receive(connection, 1)
        connection.sendall(struct.pack(">HH", WIDTH, HEIGHT) + RGB888 + b"\0\0\0\4test")
        while (kind := receive(connection, 1)[0]) != 3:  # up to the first update request
            if kind == 0:
                receive(connection, 19)  # SetPixelFormat
            elif kind == 2:
                count = struct.unpack(">xH", receive(connection, 3))[0]
                self.encodings = list(struct.unpack(">%di" % count, receive(connection, 4 * count)))
        receive(connection, 9)
        stream = b"".join(self.messages)
        step = self.piece or len(stream)
        for start in range(0, len(stream), step):
            connection.sendall(stream[start : start + step])
            self.sent += stream[start : start + step]
        connection.shutdown(socket.SHUT_WR)
        # Until the client goes, so that nothing it still sends is refused.
        while connection.recv(65536):
            pass


def scripted_client(port, pixel_format, encodings):
    """Takes the first security type; with None, asks for `encodings` and an update in
    `pixel_format`. Returns all the server sent after that."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(receive(sock, 12))  # the server's version
        types = receive(sock, receive(sock, 1)[0])
        sock.sendall(types[:1])
        if types[:1] == b"\x01":
            receive(sock, 4)
            sock.sendall(b"\x01")
            receive(sock, struct.unpack(">20xI", receive(sock, 24))[0])  # ServerInit
            sock.sendall(b"\0\0\0\0" + pixel_format)
            sock.sendall(struct.pack(">BxH%di" % len(encodings), 2, len(encodings), *encodings))
            sock.sendall(struct.pack(">BBHHHH", 3, 0, 0, 0, WIDTH, HEIGHT))
        return b"".join(iter(lambda: sock.recv(65536), b""))


def read_recording(path):
    data = gzip.open(path).read()
    assert data[:8] == b"RFBREC1\n"
    width, height, name_length = struct.unpack_from(">HH16xH", data, 8)
    p = 30 + name_length
    count = struct.unpack_from(">H", data, p)[0]
    encodings = list(struct.unpack_from(">%di" % count, data, p + 2))
    p += 2 + 4 * count
    updates, pixels, length = struct.unpack_from(">IQQ", data, p)
    stream = data[p + 20 :]
    assert len(stream) == length
    return dict(width=width, height=height, format=data[12:28], name=data[30 : 30 + name_length],
                encodings=encodings, updates=updates, pixels=pixels, stream=stream)


def record_session(output, messages, client_format, client_encodings, *options, piece=None,
                   security=1):
    """Runs the recorder between a scripted server and client; returns the server, what the
    client received, and the recorder's exit status and standard error."""
    server = ScriptedServer(messages, security=security, piece=piece)
    server.start()
    port = free_port()
    with subprocess.Popen([sys.executable, RECORDER, "--listen", str(port), "--server",
                           "127.0.0.1:%d" % server.port, "--output", output, *options],
                          stderr=subprocess.PIPE, text=True) as recorder:
        try:
            received = None
            deadline = time.monotonic() + 10
            while received is None:
                try:
                    received = scripted_client(port, client_format, client_encodings)
                except ConnectionRefusedError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.05)
            _, errors = recorder.communicate(timeout=10)
        finally:
            recorder.kill()  # nothing once it has exited
    server.join(10)
    return server, received, recorder.returncode, errors


class RecordTests(unittest.TestCase):
    def setUp(self):
        directory = self.enterContext(tempfile.TemporaryDirectory())
        self.output = os.path.join(directory, "session.rfbrec.gz")

    def record(self, messages, client_format, client_encodings, *options, **keywords):
        """A session the recorder must finish: the server, what the client got, the recording."""
        server, received, code, errors = record_session(
            self.output, messages, client_format, client_encodings, *options, **keywords)
        self.assertEqual(code, 0, errors)
        return server, received, read_recording(self.output)

    def test_keeps_the_server_bytes_up_to_the_last_whole_update(self):
        updates = Encoder(RGB565).session(HEXTILE, 4)
        others = [b"\x02", struct.pack(">BxxxI", 3, 5) + b"hello"]  # Bell, ServerCutText
        messages = updates[:2] + others + updates[2:]
        server, received, recording = self.record(
            messages, RGB565, [ZRLE, HEXTILE, RAW, CURSOR], "--encodings", "hextile",
            "--updates", "3", piece=7)
        self.assertEqual(server.encodings, [HEXTILE])
        self.assertEqual(received[-len(server.sent):], server.sent, "the proxy altered the stream")
        expected = dict(width=WIDTH, height=HEIGHT, format=RGB565, encodings=[HEXTILE],
                        name=b"test", updates=3, stream=b"".join(messages[:5]))
        self.assertEqual({key: recording[key] for key in expected}, expected)

    def test_counts_the_pixels_of_every_rectangle_and_stops_at_last_rect(self):
        encoder = Encoder(RGB888)
        first = encoder.update([encoder.raw(0, 0, 10, 10), encoder.raw(5, 5, 3, 4)])
        # LastRect ends an update whose count the server gave as "unknown".
        second = encoder.update([encoder.raw(1, 1, 2, 2), ((0, 0, 0, 0, LASTRECT), b"")], 0xFFFF)
        _, _, recording = self.record([first, second], RGB888, [RAW, LASTRECT])
        self.assertEqual(recording["updates"], 2)
        self.assertEqual(recording["pixels"], 100 + 12 + 4)
        self.assertEqual(recording["encodings"], [RAW, LASTRECT])
        self.assertEqual(recording["stream"], first + second)

    def test_ends_with_the_update_that_reaches_a_limit(self):
        raw, zrle = Encoder(RGB888).session(RAW, 6), Encoder(BGR233).session(ZRLE, 5)
        byte_cap = str(len(raw[0]) + len(raw[1]) + 1)  # reached inside the third update
        for name, updates, pixel_format, encoding, options, piece, kept in (
                ("byte cap", raw, RGB888, RAW, ("--max-bytes", byte_cap), 500, 3),
                ("ZRLE at eight bits", zrle, BGR233, ZRLE, ("--updates", "5"), 1000, 5)):
            with self.subTest(name):
                _, _, recording = self.record(updates, pixel_format, [encoding], *options,
                                              piece=piece)
                self.assertEqual(recording["updates"], kept)
                self.assertEqual(recording["stream"], b"".join(updates[:kept]))

    def test_refuses_a_session_that_needs_a_password(self):
        _, _, code, _ = record_session(self.output, [], RGB888, [RAW], security=2)
        self.assertNotEqual(code, 0)
        self.assertFalse(os.path.exists(self.output))


@unittest.skipUnless(os.environ.get("REPLAY_BENCHMARKS"), "REPLAY_BENCHMARKS not set")
class ReplayTests(unittest.TestCase):
    """Recordings made through the proxy, replayed to both clients; replay-benchmarks fails
    when either client fails, or a last frame differs from a plain decode of the recording."""

    def setUp(self):
        self.directory = self.enterContext(tempfile.TemporaryDirectory())

    def make(self, name, encoding, pixel_format, updates=12, options=()):
        output = os.path.join(self.directory, name + ".rfbrec.gz")
        encoder = Encoder(pixel_format, seed=len(name))
        _, _, code, errors = record_session(output, encoder.session(encoding, updates),
                                            pixel_format, [encoding], *options)
        self.assertEqual(code, 0, errors)
        return output

    def replay(self, *arguments):
        return subprocess.run(
            [os.environ["REPLAY_BENCHMARKS"], "--recordings=" + self.directory,
             *(arguments or ("--iterations=1", "--benchmark_repetitions=1"))],
            capture_output=True, text=True, timeout=120)

    def test_both_clients_decode_every_encoding_and_format_alike(self):
        for encoding, label in ((RAW, "raw"), (HEXTILE, "hextile"), (ZRLE, "zrle")):
            for pixel_format, quality in ((RGB888, "full"), (RGB565, "thousands"),
                                          (BGR233, "low")):
                self.make("%s-%s" % (label, quality), encoding, pixel_format)
        result = self.replay()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # Each recording is judged three times: against libvncclient, and inside TLS and
        # RSA-AES against clear.
        self.assertEqual(result.stdout.count(" met") + result.stdout.count(" MISSED") +
                         result.stdout.count(" SLOWER"), 3 * 9, result.stdout)

    def test_references_for_whole_viewers(self):
        path = self.make("hextile-thousands", HEXTILE, RGB565, updates=5)
        out = pathlib.Path(self.directory, "references")
        result = self.replay("--write-references=%s" % out)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        recording = read_recording(path)
        ends = [int(end) for end in (out / "hextile-thousands.updates").read_text().split()]
        self.assertEqual(len(ends), 5)
        self.assertEqual(ends, sorted(ends))
        self.assertEqual(ends[-1], len(recording["stream"]))
        picture = (out / "hextile-thousands.ppm").read_bytes()
        header = b"P6\n%d %d\n255\n" % (recording["width"], recording["height"])
        self.assertTrue(picture.startswith(header))
        self.assertEqual(len(picture), len(header) + recording["width"] * recording["height"] * 3)

    def test_a_recording_whose_header_disagrees_is_refused(self):
        path = self.make("raw-full", RAW, RGB888, updates=3)
        data = bytearray(gzip.open(path).read())
        at = len(data) - len(read_recording(path)["stream"]) - 20  # the update count
        data[at : at + 4] = struct.pack(">I", 4)
        with gzip.open(path, "wb") as out:
            out.write(bytes(data))
        result = self.replay()
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("header says 4", result.stderr)

    def test_clients_that_did_not_ask_for_the_recorded_encoding_are_refused(self):
        # The scripted server sends Raw whatever it was asked for.
        self.make("hextile-full", RAW, RGB888, updates=3, options=("--encodings", "hextile"))
        result = self.replay()
        self.assertNotEqual(result.returncode, 0)
        for client in ("Tessaral", "libvncclient"):
            self.assertIn(client + ": replay server: the client did not announce encoding 0",
                          result.stdout)

    def test_a_recording_in_a_format_no_quality_has_is_reported(self):
        bgr888 = struct.pack(">BBBBHHHBBBxxx", 32, 24, 0, 1, 255, 255, 255, 0, 8, 16)
        self.make("raw-bgr", RAW, bgr888, updates=2)
        result = self.replay()
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("no quality with the recording's pixel format", result.stdout)


if __name__ == "__main__":
    unittest.main()
