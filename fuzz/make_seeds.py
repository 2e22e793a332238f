#!/usr/bin/env python3
"""Writes the small seed corpora for the fuzz targets (run once; the output is checked in)."""

import os
import random
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v): return struct.pack(">H", v)
def u32(v): return struct.pack(">I", v)
def rect(x, y, w, h, encoding): return struct.pack(">4Hi", x, y, w, h, encoding)
def update(*rects): return b"\x00\x00" + u16(len(rects)) + b"".join(rects)
# Pixels in rgb888 (the flag byte 0 selects full quality); three bytes make a ZRLE CPIXEL.
def px(v, size=4): return struct.pack("<I", v)[:size]
def cpx(v): return px(v, 3)


def write(target, seeds, prefix=lambda name: b""):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(prefix(name) + data)


def server_init(w=16, h=16, name=b"seed"):
    server_format = bytes([32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0])
    return u16(w) + u16(h) + server_format + u32(len(name)) + name


def extended_cut(flags, payload=b""):
    return b"\x03\x00\x00\x00" + struct.pack(">i", -(4 + len(payload))) + u32(flags) + payload


zstream = zlib.compressobj()


def zrle(payload):
    data = zstream.compress(payload) + zstream.flush(zlib.Z_SYNC_FLUSH)
    return u32(len(data)) + data


messages = {
    "raw": update(rect(0, 0, 2, 2, 0) + px(1) + px(2) + px(3) + px(4)),
    "copyrect": update(rect(1, 1, 4, 4, 1) + u16(0) + u16(0)),
    "rre": update(rect(0, 0, 8, 8, 2) + u32(1) + px(5) + px(6) + u16(1) + u16(1) + u16(2) + u16(2)),
    "hextile": update(rect(0, 0, 20, 20, 5) + b"\x0e" + px(7) + px(8) + b"\x01\x12\x33" + b"\x00"
                      + b"\x01" + px(9) * 64 + b"\x18\x01" + px(10) + b"\x00\x00"),
    "zrle": update(rect(0, 0, 16, 16, 16) + zrle(b"\x01" + cpx(0x123456))),
    "zrle-palette": update(rect(0, 0, 8, 2, 16) + zrle(b"\x02" + cpx(1) + cpx(2) + b"\xaa\x55")),
    "zrle-rle": update(rect(0, 0, 4, 4, 16) + zrle(b"\x80" + cpx(3) + b"\x0f")),
    "zrle-prle": update(rect(0, 0, 4, 4, 16) + zrle(b"\x82" + cpx(1) + cpx(2) + b"\x81\x0e\x00")),
    "cursor": update(rect(1, 1, 2, 2, -239) + px(1) * 4 + b"\xc0\x40"),
    "desktopsize": update(rect(0, 0, 32, 24, -223), rect(0, 0, 1, 1, -224)),
    "cuttext": b"\x03\x00\x00\x00" + u32(5) + b"hello",
    "colourmap-bell": b"\x01\x00" + u16(0) + u16(1) + b"\x00" * 6 + b"\x02",
    # Continuous updates offered, a fence to answer, then ended by the server.
    "continuous-fence": b"\x96" + update(rect(0, 0, 1, 1, 0) + px(1)) + b"\xf8\x00\x00\x00"
                        + u32(0x80000003) + b"\x02ok" + b"\x96",
    # Screen layouts: one screen, a refusal, a screen outside the desktop.
    "desktop-layout": update(rect(0, 0, 32, 24, -308) + b"\x01\x00\x00\x00" + u32(1) + u16(0)
                             + u16(0) + u16(32) + u16(24) + u32(0),
                             rect(1, 1, 32, 24, -308) + bytes(4),
                             rect(2, 0, 16, 16, -308) + b"\x01\x00\x00\x00" + u32(9) + u16(8)
                             + u16(8) + u16(16) + u16(16) + u32(0)),
    # The extended clipboard: capabilities, then notify, request, peek and a compressed text.
    "clipboard-extended": extended_cut(0x1F000001, u32(1024)) + extended_cut(0x08000001)
                          + extended_cut(0x02000001) + extended_cut(0x04000000)
                          + extended_cut(0x10000001, zlib.compress(u32(4) + "€\0".encode())),
}
write("SessionFuzzer", messages, lambda name: b"\x00")
write("SessionFuzzer", {"thousands-raw": b"\x01" + update(rect(0, 0, 2, 1, 0) + b"\x1f\x00\xe0\x07"),
                        "low-hextile": b"\x02" + update(rect(0, 0, 4, 4, 5) + b"\x02\x07")})

handshakes = {
    "v33-none": b"RFB 003.003\n" + u32(1) + server_init(),
    "v37-none": b"RFB 003.007\n" + b"\x01\x01" + server_init(),
    "v38-refused": b"RFB 003.008\n" + b"\x00" + u32(4) + b"busy",
    "v38-vnc": b"RFB 003.008\n" + b"\x01\x02" + bytes(16) + u32(0) + server_init(),
    "v38-failed": b"RFB 003.008\n" + b"\x01\x01" + u32(1) + u32(2) + b"no",
    "v889-ard": b"RFB 003.889\n" + b"\x02\x1e\x02" + b"\x00\x02" + u16(16)
                + bytes(15) + b"\x17" + bytes(15) + b"\x05" + u32(0) + server_init(),
    # VeNCrypt's negotiation through to a session, and TLS starts that meet no TLS server.
    "v38-vencrypt-vnc": b"RFB 003.008\n" + b"\x01\x13" + b"\x00\x02\x00\x01" + u32(2) + bytes(16)
                        + u32(0) + server_init(),
    "v38-vencrypt-tls": b"RFB 003.008\n" + b"\x01\x13" + b"\x00\x02\x00\x02" + u32(257)
                        + u32(258) + b"\x01" + b"\x16\x03\x03\x00\x02\x02\x28",
    "v38-tls": b"RFB 003.008\n" + b"\x01\x12" + b"\x15\x03\x03\x00\x02\x02\x28",
}
write("HandshakeFuzzer", handshakes, lambda name: bytes([2 if "ard" in name else 1 if "vnc" in name or "tls" in name else 0]))

# RSA-AES: a server key (odd modulus, exponent 3) and a random the client cannot decrypt, or a
# key too small (selector: type and chunk size); records as they come, sealed, bent or cut short
# (selector: mode, key size, piece and chunk sizes; then where to bend them).
rsa_key = u32(1024) + b"\xff" * 128 + bytes(127) + b"\x03"
write("RSAAESFuzzer", {
    "ra2-key": b"\x00" + rsa_key + u16(256) + bytes(256),
    "ra2-256-small-key": b"\x02" + u32(1023),
    "records-raw": b"\x40" + u16(4) + b"rfb!" + bytes(16),
    "records-sealed": b"\x83\x00\x00" + b"RFB session bytes " * 8,
    "records-flipped": b"\xc5\x00\x07" + b"a message of several records " * 4,
    "records-cut": b"\xe3\x00\x30" + b"cut short " * 20,
})

tiles = {
    "raw": b"\x04\x01\x00" + b"\x00" + cpx(1) * 4,
    "solid": b"\x40\x40\x00" + b"\x01" + cpx(2),
    "packed": b"\x0a\x02\x00" + b"\x02" + cpx(1) + cpx(2) + b"\xaa\x80\x55\x40",
    "rle": b"\x08\x08\x00" + b"\x80" + cpx(3) + b"\x3f",
    "prle": b"\x08\x08\x00" + b"\x83" + cpx(1) + cpx(2) + cpx(3) + b"\x00\x81\x3d\x02",
    "thousands": b"\x02\x02\x01" + b"\x00" + b"\x1f\x00" * 4,
    "low": b"\x02\x02\x02" + b"\x01" + b"\x07",
}
write("ZRLETileFuzzer", tiles)

cursors = {
    "full": u16(1) + u16(1) + u16(2) + u16(2) + b"\x00" + px(1) * 4 + b"\xc0\x40",
    "thousands": u16(0) + u16(0) + u16(9) + u16(1) + b"\x01" + b"\x1f\x00" * 9 + b"\xff\x80",
}
write("CursorFuzzer", cursors)


# Sessions for the framebuffer fuzzer: each update (without its type byte) follows a byte that
# says how many published images the viewer keeps.
def kept(keep, message): return bytes([keep]) + message[1:]
def rows(y, h, w=24, base=0):
    return rect(0, y, w, h, 0) + b"".join(px(base + 0x10 * (y + r)) for r in range(h) for _ in range(w))


sessions = {
    "scroll": kept(1, update(rows(0, 16))) + kept(1, update(rows(4, 2, base=0x80)))
              + kept(1, update(rect(0, 0, 24, 15, 1) + u16(0) + u16(1))),
    "held": kept(3, update(rows(0, 16))) + kept(3, update(rows(2, 3, base=0x80)))
            + kept(1, update(rect(2, 2, 8, 8, 1) + u16(0) + u16(0)))
            + kept(2, update(rect(0, 0, 20, 10, -223), rows(0, 10, 20))),
    "mixed": kept(2, update(rows(0, 16))) + kept(1, messages["zrle"])
             + kept(0, messages["hextile"]) + kept(3, messages["copyrect"]),
}
write("FramebufferFuzzer", sessions, lambda name: b"\x00")




# Tight: after a format byte and a refill-size byte, updates (without their type byte) of random
# rectangles of every method but JPEG, every filter, both palette widths, short and compressed
# data, and all four zlib streams, which carry on from update to update unless reset.
def tight_seed(quality, seed):
    rnd, streams, size = random.Random(seed), [zlib.compressobj() for _ in range(4)], 3 - quality
    def data(n, values=256): return bytes(rnd.randrange(values) for _ in range(n))
    def packed(stream, filtered):  # compact lengths of up to two bytes suffice
        p = stream.compress(filtered) + stream.flush(zlib.Z_SYNC_FLUSH) if len(filtered) >= 12 else b""
        return (bytes([len(p) & 0x7F | 0x80, len(p) >> 7]) if len(p) > 0x7F else bytes([len(p)])) + p if p else filtered
    out = bytes([quality, seed])
    for _ in range(4):
        rects = []
        for _ in range(rnd.randint(1, 5)):
            w, h, kind = rnd.randint(0, 40), rnd.randint(1, 16), rnd.randrange(4 + (size > 1))
            control, colours = rnd.choice([0, 0, 0, rnd.randrange(16)]) | rnd.randrange(4) << 4, rnd.choice([2, rnd.randint(3, 256)])
            streams = [zlib.compressobj() if control >> i & 1 else s for i, s in enumerate(streams)]
            head, filtered = [(b"", data(w * h * size, rnd.randint(1, 256))), (b"\x40\x00", data(w * h * size, 8)),
                              (bytes([0x40, 1, colours - 1]) + data(colours * size), data(((w + 7) // 8 if colours == 2 else w) * h, 256 if colours == 2 else colours)),
                              (b"\x40\x02", data(w * h * size))][kind - 1] if kind else (None, None)
            body = bytes([0x80 | control & 15]) + data(size) if kind == 0 else bytes([control | head[:1][0] if head else control]) + head[1:] + packed(streams[control >> 4 & 3], filtered)
            rects.append(rect(rnd.randrange(101 - w), rnd.randrange(25 - h), w, h, 7) + body)
        out += update(*rects)[1:]
    return out



write("TightFuzzer", {f"{name}-{seed}": tight_seed(quality, seed)
                     for quality, name in enumerate(["full", "thousands", "low"]) for seed in range(2)})
