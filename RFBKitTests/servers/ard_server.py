#!/usr/bin/python3
"""A test server for Apple's security type 30 (and type 2), which no packaged server offers.

Prints "PORT <n>", then serves each connection as version 3.889, user "tester", password "secret",
a 64x48 #336699 screen named "ard-test"; --mode bends type 30, and one line per connection on
standard error says how it went.
"""

import argparse
import os
import secrets
import struct
import sys

from Cryptodome.Cipher import AES, DES
from Cryptodome.Hash import MD5

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data"))
from dh_groups import MODP_1024, MODP_4096, SAFE_128  # noqa: E402
from serving import Closed, hang_up, log, receive, serve_forever  # noqa: E402

GENERATOR = 2
BOGUS_KEY_LENGTHS = {"keylen15": 15, "keylen513": 513, "keylen0": 0}
# The server key as y + p; p + 1 as the prime; a hang-up after all or half of the parameters;
# 0xFF bytes where ServerInit belongs.
MODES = ("normal", "key16", "key512", "bigkey", "evenprime", "close_after_challenge", "truncated",
         "garbage_after_result", *BOGUS_KEY_LENGTHS)
WIDTH, HEIGHT, NAME, COLOUR = 64, 48, b"ard-test", (0x33, 0x66, 0x99)
# 32 bits per pixel, depth 24, little-endian, true colour, 8 bits a channel at 16, 8 and 0.
PIXEL_FORMAT = struct.pack(">BBBBHHHBBB3x", 32, 24, 0, 1, 255, 255, 255, 16, 8, 0)
WRONG_CREDENTIALS = "Authentication failed: wrong user name or password."
USERNAME, PASSWORD = b"tester", b"secret"


def pixel(pixel_format, colour):
    """The colour in a true-colour pixel format (the 16 bytes of SetPixelFormat)."""
    bpp, _, big_endian, _, *maxima_and_shifts = struct.unpack(">BBBBHHHBBB3x", pixel_format)
    value = sum((c * m + 127) // 255 << s for c, m, s in
                zip(colour, maxima_and_shifts[:3], maxima_and_shifts[3:]))
    return value.to_bytes(bpp // 8, "big" if big_endian else "little")


def serve_updates(conn):
    """Reads client messages until the client closes, answering full update requests."""
    pixel_format = PIXEL_FORMAT
    # The bytes after the type of each message the client may send.
    lengths = {0: 19, 2: 3, 3: 9, 4: 7, 5: 5, 6: 7}
    while True:
        kind = receive(conn, 1)[0]
        if kind not in lengths:
            hang_up(conn, "message type %d" % kind, shutdown=False)
        body = receive(conn, lengths[kind])
        if kind == 0:  # SetPixelFormat
            pixel_format = body[3:]
        elif kind == 2:  # SetEncodings
            receive(conn, 4 * struct.unpack(">xH", body)[0])
        elif kind == 6:  # ClientCutText
            receive(conn, struct.unpack(">3xI", body)[0])
        elif kind == 3 and not body[0]:  # a full FramebufferUpdateRequest
            conn.sendall(struct.pack(">BxHHHHHi", 0, 1, 0, 0, WIDTH, HEIGHT, 0) +
                         pixel(pixel_format, COLOUR) * (WIDTH * HEIGHT))


def authenticate_ard(conn, options, peer):
    """Returns None when the credentials are right, else the failure reason."""
    mode = options.mode
    prime, length = {"key16": (SAFE_128, 16), "key512": (MODP_4096, 512)}.get(
        mode, (MODP_1024, 128))
    if mode in BOGUS_KEY_LENGTHS:
        bogus = BOGUS_KEY_LENGTHS[mode]
        conn.sendall(struct.pack(">HH", GENERATOR, bogus) + os.urandom(2 * bogus))
        hang_up(conn, "sent key length %d" % bogus, shutdown=False)

    # For "bigkey", a small exponent keeps g^b far enough below 2^(8L) - p that g^b + p fits.
    big = mode == "bigkey"
    private = secrets.randbelow(800) + 64 if big else secrets.randbelow(prime - 3) + 2
    public = pow(GENERATOR, private, prime) + (prime if big else 0)
    sent_prime = prime + 1 if mode == "evenprime" else prime
    message = (struct.pack(">HH", GENERATOR, length) + sent_prime.to_bytes(length, "big") +
               public.to_bytes(length, "big"))
    if mode == "truncated":
        conn.sendall(message[:4 + length + length // 2])
        hang_up(conn, "truncated the parameters")
    conn.sendall(message)
    if mode == "close_after_challenge":
        hang_up(conn, "closed after the parameters")

    reply = receive(conn, 128 + length)
    ciphertext, client_key = reply[:128], int.from_bytes(reply[128:], "big")
    if not 1 < client_key < prime - 1:
        return "Authentication failed: bad public key."
    key = MD5.new(pow(client_key, private, prime).to_bytes(length, "big")).digest()
    block = AES.new(key, AES.MODE_ECB).decrypt(ciphertext)
    # A user name and a password: the bytes before the first zero of each half.
    username, password = (h.partition(b"\0")[0] if b"\0" in h else None
                          for h in (block[:64], block[64:]))
    log(peer, "type 30, key length %d, user %r" % (length, username))
    return None if (username, password) == (USERNAME, PASSWORD) else WRONG_CREDENTIALS


def authenticate_vnc(conn, peer):
    challenge = os.urandom(16)
    conn.sendall(challenge)
    # The DES key is the password with each byte's bits in reverse order.
    key = bytes(int("{:08b}".format(b)[::-1], 2) for b in PASSWORD[:8]).ljust(8, b"\0")
    log(peer, "type 2")
    return None if receive(conn, 16) == DES.new(key, DES.MODE_ECB).encrypt(challenge) else \
        WRONG_CREDENTIALS


def serve(conn, options):
    peer = "%s:%d" % conn.getpeername()
    try:
        conn.sendall(b"RFB 003.889\n")
        version = receive(conn, 12)
        if version != b"RFB 003.008\n":
            log(peer, "client answered %r" % version)
        conn.sendall(bytes([len(options.types)]) + bytes(options.types))
        chosen = receive(conn, 1)[0]
        reason = ("Security type %d was not offered." % chosen if chosen not in options.types else
                  authenticate_ard(conn, options, peer) if chosen == 30 else
                  authenticate_vnc(conn, peer) if chosen == 2 else None)
        text = (reason or "").encode()
        conn.sendall(struct.pack(">I", 0) if reason is None else
                     struct.pack(">II", 1, len(text)) + text)
        log(peer, "accepted" if reason is None else "refused: " + reason)
        if reason is not None:
            return
        if options.mode == "garbage_after_result":
            conn.sendall(b"\xff" * 32)
            hang_up(conn, "sent garbage", shutdown=False)
        receive(conn, 1)  # ClientInit: shared or not makes no difference here
        conn.sendall(struct.pack(">HH", WIDTH, HEIGHT) + PIXEL_FORMAT +
                     struct.pack(">I", len(NAME)) + NAME)
        serve_updates(conn)
    except Closed as reason:
        log(peer, str(reason))
    except OSError as error:
        log(peer, "socket error: %s" % error)
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--types", default="30,2",
                        type=lambda text: [int(t) for t in text.split(",") if t])
    parser.add_argument("--mode", choices=MODES, default="normal")
    options = parser.parse_args()
    serve_forever(lambda conn: serve(conn, options))


if __name__ == "__main__":
    main()
