#!/usr/bin/python3
"""rfb-record: a transparent TCP proxy between one VNC client and one VNC server that saves what
the server sends after the handshake, so that the session can later be served again, byte for
byte, to any client that asks for the same pixel format and encodings.

The client's SetEncodings can be replaced (--encodings), so that an ordinary viewer can drive a
session restricted to one encoding. Only RFB 3.7/3.8 with security type None is understood: the
recording holds no secrets and needs no authentication to replay.

File layout (big-endian, the whole file gzip-compressed):
    "RFBREC1\\n"
    u16 width, u16 height
    16 bytes pixel format in effect (the client's SetPixelFormat, else the server's)
    u16 name length, name
    u16 encoding count, s32 encodings (as the server was told)
    u32 framebuffer updates, u64 pixels in them (rectangles of real encodings)
    u64 stream length, the server's messages after ServerInit
"""

import argparse
import gzip
import ipaddress
import os
import signal
import socket
import struct
import sys
import threading

MAGIC = b"RFBREC1\n"

ENCODINGS = {
    "raw": 0,
    "copyrect": 1,
    "rre": 2,
    "hextile": 5,
    "zrle": 16,
    "tight": 7,
    "cursor": -239,
    "desktopsize": -223,
    "lastrect": -224,
}

# Tight's pseudo-encodings: jpeg0...jpeg9 (JPEG quality) and level0...level9 (compression).
ENCODINGS.update({"jpeg%d" % n: -32 + n for n in range(10)})
ENCODINGS.update({"level%d" % n: -256 + n for n in range(10)})

RAW, COPYRECT, RRE, HEXTILE, TIGHT, ZRLE = 0, 1, 2, 5, 7, 16
CURSOR, DESKTOPSIZE, LASTRECT = -239, -223, -224


class Closed(Exception):
    pass


class ProtocolError(Exception):
    pass


class Reader:
    """Reads exactly what the parser asks for. Every chunk received is handed to `on_bytes`
    at once, so forwarding never waits for parsing to catch up."""

    def __init__(self, sock, on_bytes):
        self.sock = sock
        self.on_bytes = on_bytes
        self.buffer = bytearray()
        self.position = 0

    def read(self, count):
        while len(self.buffer) - self.position < count:
            chunk = self.sock.recv(262144)
            if not chunk:
                raise Closed()
            self.on_bytes(chunk)
            if self.position > 1 << 20:
                del self.buffer[: self.position]
                self.position = 0
            self.buffer += chunk
        data = bytes(self.buffer[self.position : self.position + count])
        self.position += count
        return data

    def u8(self):
        return self.read(1)[0]

    def u16(self):
        return struct.unpack(">H", self.read(2))[0]

    def u32(self):
        return struct.unpack(">I", self.read(4))[0]


def bytes_per_pixel(pixel_format):
    return pixel_format[0] // 8


def compact_pixel_size(pixel_format):
    """ZRLE sends 3 bytes for 32-bit true-colour formats whose colour bits fit in 24 bits."""
    bpp, depth, _big, true_colour = pixel_format[0:4]
    red_max, green_max, blue_max = struct.unpack(">HHH", pixel_format[4:10])
    red_shift, green_shift, blue_shift = pixel_format[10:13]
    if bpp == 32 and true_colour and depth <= 24:
        mask = (red_max << red_shift) | (green_max << green_shift) | (blue_max << blue_shift)
        if mask < (1 << 24):
            return 3
    return bpp // 8


class Session:
    def __init__(self, arguments):
        self.arguments = arguments
        self.lock = threading.Lock()
        self.pixel_format = None  # the format in effect for the next update
        self.client_format = None
        self.encodings = None
        self.width = self.height = 0
        self.name = b""
        self.server_format = None
        self.recording = False
        self.stream = bytearray()
        self.complete_length = 0  # bytes up to the end of the last whole message
        self.updates = 0
        self.pixels = 0
        self.saved = False
        self.written = threading.Event()  # the file is complete on disk
        self.error = None

    # -- server to client -------------------------------------------------------------------

    def server_bytes(self, chunk):
        self.client.sendall(chunk)
        with self.lock:
            if self.recording:
                self.stream += chunk

    def server_direction(self):
        reader = Reader(self.server, self.server_bytes)
        version = reader.read(12)
        if version not in (b"RFB 003.008\n", b"RFB 003.007\n"):
            raise ProtocolError("server offers %r; only 3.7 and 3.8 are recorded" % version)
        count = reader.u8()
        if count == 0:
            raise ProtocolError("server refused the connection")
        types = reader.read(count)
        if 1 not in types:
            raise ProtocolError("server does not offer security type None")
        if version == b"RFB 003.008\n" and reader.u32() != 0:
            raise ProtocolError("security handshake failed")
        self.width = reader.u16()
        self.height = reader.u16()
        self.server_format = reader.read(16)
        self.name = reader.read(reader.u32())
        with self.lock:
            if self.pixel_format is None:
                self.pixel_format = self.server_format
            self.recording = True
            # Whatever arrived with ServerInit in the same chunk belongs to the stream.
            self.stream += reader.buffer[reader.position :]
        while True:
            self.server_message(reader)
            with self.lock:
                self.complete_length = len(self.stream) - (len(reader.buffer) - reader.position)
                done = (self.updates >= self.arguments.updates or
                        self.complete_length >= self.arguments.max_bytes)
            if done:
                self.save()

    def server_message(self, reader):
        kind = reader.u8()
        if kind == 0:
            reader.read(1)
            count = reader.u16()
            with self.lock:
                pixel_format = self.pixel_format
            pixels = 0
            for _ in range(count):
                x, y, w, h, encoding = struct.unpack(">HHHHi", reader.read(12))
                if encoding == LASTRECT:
                    break
                self.rectangle(reader, pixel_format, w, h, encoding)
                if encoding >= 0:
                    pixels += w * h
            with self.lock:
                self.updates += 1
                self.pixels += pixels
        elif kind == 1:
            reader.read(3)
            reader.read(6 * reader.u16())
        elif kind == 2:
            pass
        elif kind == 3:
            reader.read(3)
            reader.read(reader.u32())
        else:
            raise ProtocolError("server message type %d" % kind)

    def rectangle(self, reader, pixel_format, w, h, encoding):
        bpp = bytes_per_pixel(pixel_format)
        if encoding == RAW:
            reader.read(w * h * bpp)
        elif encoding == COPYRECT:
            reader.read(4)
        elif encoding == RRE:
            subrects = reader.u32()
            reader.read(bpp + subrects * (bpp + 8))
        elif encoding == HEXTILE:
            self.hextile(reader, bpp, w, h)
        elif encoding == ZRLE:
            reader.read(reader.u32())
        elif encoding == TIGHT:
            self.tight(reader, pixel_format, w, h)
        elif encoding == CURSOR:
            reader.read(w * h * bpp + (w + 7) // 8 * h)
        elif encoding == DESKTOPSIZE:
            with self.lock:
                self.width, self.height = w, h
        else:
            raise ProtocolError("rectangle encoding %d" % encoding)

    @staticmethod
    def hextile(reader, bpp, w, h):
        for ty in range(0, h, 16):
            for tx in range(0, w, 16):
                flags = reader.u8()
                if flags & 1:
                    reader.read(min(16, w - tx) * min(16, h - ty) * bpp)
                    continue
                size = 0
                if flags & 2:
                    size += bpp
                if flags & 4:
                    size += bpp
                if size:
                    reader.read(size)
                if flags & 8:
                    subrects = reader.u8()
                    reader.read(subrects * (2 + (bpp if flags & 16 else 0)))

    @staticmethod
    def tight(reader, pixel_format, w, h):
        def compact_length():
            length = 0
            for shift in (0, 7, 14):
                byte = reader.u8()
                length |= (byte if shift == 14 else byte & 0x7F) << shift
                if byte < 0x80:
                    break
            return length
        red_max = struct.unpack(">H", pixel_format[4:6])[0]
        bpp = 3 if pixel_format[0:2] == bytes([32, 24]) and red_max == 255 else pixel_format[0] // 8
        control = reader.u8()
        if control >> 4 == 8:
            reader.read(bpp)
        elif control >> 4 == 9:
            reader.read(compact_length())
        else:
            row = w * bpp
            if control & 0x40 and reader.u8() == 1:
                colours = reader.u8() + 1
                reader.read(colours * bpp)
                row = (w + 7) // 8 if colours == 2 else w
            reader.read(row * h if row * h < 12 else compact_length())

    # -- client to server -------------------------------------------------------------------

    def client_direction(self):
        reader = Reader(self.client, lambda chunk: None)
        self.server.sendall(reader.read(12))  # ProtocolVersion
        security = reader.read(1)
        if security != b"\x01":
            raise ProtocolError("client chose security type %d, not None" % security[0])
        self.server.sendall(security)
        self.server.sendall(reader.read(1))  # ClientInit
        while True:
            kind = reader.u8()
            if kind == 0:
                body = reader.read(19)
                pixel_format = body[3:19]
                with self.lock:
                    if self.recording and self.updates > 0 and pixel_format != self.pixel_format:
                        raise ProtocolError("the pixel format changed during the recording")
                    self.pixel_format = self.client_format = pixel_format
                message = bytes([kind]) + body
            elif kind == 2:
                reader.read(1)
                count = reader.u16()
                announced = list(struct.unpack(">%di" % count, reader.read(4 * count)))
                chosen = self.arguments.encodings or announced
                with self.lock:
                    if self.encodings is not None and self.encodings != chosen:
                        raise ProtocolError("the encodings changed during the recording")
                    self.encodings = chosen
                message = struct.pack(">BxH%di" % len(chosen), 2, len(chosen), *chosen)
            elif kind == 3:
                message = bytes([kind]) + reader.read(9)
            elif kind == 4:
                message = bytes([kind]) + reader.read(7)
            elif kind == 5:
                message = bytes([kind]) + reader.read(5)
            elif kind == 6:
                head = reader.read(7)
                message = bytes([kind]) + head + reader.read(struct.unpack(">I", head[3:7])[0])
            else:
                raise ProtocolError("client message type %d" % kind)
            self.server.sendall(message)

    # -- saving ------------------------------------------------------------------------------

    def save(self):
        with self.lock:
            if self.saved or self.updates == 0:
                return
            self.saved = True
            self.recording = False
            stream = bytes(self.stream[: self.complete_length])
            encodings = self.encodings or []
            pixel_format = self.pixel_format
            header = MAGIC + struct.pack(">HH", self.width, self.height) + pixel_format
            header += struct.pack(">H", len(self.name)) + self.name
            header += struct.pack(">H%di" % len(encodings), len(encodings), *encodings)
            header += struct.pack(">IQQ", self.updates, self.pixels, len(stream))
            updates, pixels = self.updates, self.pixels
        partial = self.arguments.output + ".partial"
        with open(partial, "wb") as raw_file:
            with gzip.GzipFile(fileobj=raw_file, mode="wb", compresslevel=9, mtime=0) as out:
                out.write(header)
                out.write(stream)
        os.replace(partial, self.arguments.output)
        self.written.set()
        print(
            "rfb-record: %s: %d updates, %d pixels, %d stream bytes, %d bytes on disk"
            % (self.arguments.output, updates, pixels, len(stream),
               os.path.getsize(self.arguments.output)),
            file=sys.stderr,
        )

    def run_direction(self, direction, name):
        try:
            direction()
        except Closed:
            pass
        except (OSError, ProtocolError) as error:
            with self.lock:
                if self.error is None and not self.saved:
                    self.error = "%s: %s" % (name, error)
        finally:
            # Either side going away ends the session for both.
            for sock in (self.client, self.server):
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def serve(self, listener):
        self.client, _ = listener.accept()
        listener.close()
        self.server = socket.create_connection(self.arguments.server)
        for sock in (self.client, self.server):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threads = [
            threading.Thread(target=self.run_direction, args=(self.server_direction, "server"),
                             daemon=True),
            threading.Thread(target=self.run_direction, args=(self.client_direction, "client"),
                             daemon=True),
        ]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()


def loopback_address(text):
    host, _, port = text.rpartition(":")
    host = host.strip("[]") or "127.0.0.1"
    if not ipaddress.ip_address(host).is_loopback:
        raise argparse.ArgumentTypeError("only loopback servers are recorded")
    return host, int(port)


def encoding_list(text):
    try:
        return [ENCODINGS[name.strip().lower()] for name in text.split(",")]
    except KeyError as error:
        raise argparse.ArgumentTypeError("unknown encoding %s" % error)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--listen", type=int, required=True, help="loopback port to accept on")
    parser.add_argument("--server", type=loopback_address, required=True, help="HOST:PORT")
    parser.add_argument("--encodings", type=encoding_list,
                        help="replace the client's SetEncodings, e.g. zrle or hextile,copyrect")
    parser.add_argument("--updates", type=int, default=1 << 31,
                        help="stop recording after this many framebuffer updates")
    parser.add_argument("--max-bytes", type=int, default=1 << 62,
                        help="stop recording at the end of the update that reaches this many "
                             "stream bytes")
    parser.add_argument("--output", required=True)
    arguments = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", arguments.listen))
    listener.listen(1)
    print("rfb-record: listening on 127.0.0.1:%d" % arguments.listen, file=sys.stderr,
          flush=True)
    session = Session(arguments)

    def finish(_signal, _frame):
        session.save()
        # A cap reached just before the signal has a thread writing the file: let it finish.
        os._exit(0 if session.saved and session.written.wait(120) else 1)

    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    # The threads do the work; the main thread only waits, so that signals are handled.
    worker = threading.Thread(target=session.serve, args=(listener,), daemon=True)
    worker.start()
    while worker.is_alive():
        worker.join(0.2)
    session.save()
    if session.error:
        print("rfb-record: " + session.error, file=sys.stderr)
    return 0 if session.saved else 1


if __name__ == "__main__":
    sys.exit(main())
