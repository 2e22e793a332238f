#!/usr/bin/python3
"""A test server for the RSA-AES security types 5, 6, 129 and 130, which no packaged server offers.

Makes a 2048-bit key and prints "PORT <n> <the key's fingerprint>", then serves each connection as
version 3.8 offering --type, asking for --subtype's credentials: user "tester", password "secret".
Past the security result it relays the session to the VNC server on port --relay, which must take
security None: in AES-EAX records for types 5 and 129, in clear for 6 and 130. --mode bends what
it sends; one line per connection on standard error says how it went.
"""

import argparse
import hashlib
import os
import socket
import struct
import threading

from Cryptodome.Cipher import AES, PKCS1_v1_5
from Cryptodome.Hash import SHA1, SHA256
from Cryptodome.PublicKey import RSA
from serving import Closed, hang_up, log, receive, serve_forever

# A wrong hash; a record cut short, then a hang-up; a broken tag once the session runs; an unknown
# subtype; a byte after the subtype inside the records.
MODES = ("normal", "bad_hash", "truncated_record", "bad_tag", "subtype3", "data_after_subtype")
USERNAME, PASSWORD = b"tester", b"secret"
WRONG_CREDENTIALS = b"Authentication failed: wrong user name or password."
MAX_RECORD = 65535


def wire(key):
    """A key as sent: its size in bits, then modulus and exponent in as many bytes as that takes."""
    length = (key.size_in_bits() + 7) // 8
    return (struct.pack(">I", key.size_in_bits()) + key.n.to_bytes(length, "big") +
            key.e.to_bytes(length, "big"))


class Records:
    """AES-EAX both ways: a big-endian length, which is also the associated data, the ciphertext
    and a 16-byte tag; each direction numbers its records, little-endian, for their nonces."""

    def __init__(self, conn, send_key, receive_key):
        self.conn, self.pending = conn, b""
        self.directions = {"send": [send_key, 0], "receive": [receive_key, 0]}

    def cipher(self, direction, header):
        key, count = self.directions[direction]
        self.directions[direction][1] += 1
        cipher = AES.new(key, AES.MODE_EAX, nonce=count.to_bytes(16, "little"), mac_len=16)
        cipher.update(header)
        return cipher

    def seal(self, data):
        records = b""
        for start in range(0, len(data), MAX_RECORD):
            header = struct.pack(">H", len(data[start:start + MAX_RECORD]))
            ciphertext, tag = self.cipher("send", header).encrypt_and_digest(
                data[start:start + MAX_RECORD])
            records += header + ciphertext + tag
        return records

    def send(self, data):
        self.conn.sendall(self.seal(data))

    def record(self):
        header = receive(self.conn, 2)
        body = receive(self.conn, struct.unpack(">H", header)[0] + 16)
        return self.cipher("receive", header).decrypt_and_verify(body[:-16], body[-16:])

    def receive(self, count):
        while len(self.pending) < count:
            self.pending += self.record()
        data, self.pending = self.pending[:count], self.pending[count:]
        return data


def handshake(conn, options, key):
    """The records, once there, and the reason to refuse the client, if any."""
    mode, big = options.mode, options.type in (129, 130)
    size, digest = (32, SHA256) if big else (16, SHA1)
    server_key = wire(key)
    conn.sendall(server_key)
    bits = struct.unpack(">I", receive(conn, 4))[0]
    length = (bits + 7) // 8
    client_key = struct.pack(">I", bits) + receive(conn, 2 * length)
    numbers = (int.from_bytes(client_key[4:4 + length], "big"),
               int.from_bytes(client_key[4 + length:], "big"))
    server_random = os.urandom(size)
    encrypted = PKCS1_v1_5.new(RSA.construct(numbers)).encrypt(server_random)
    conn.sendall(struct.pack(">H", len(encrypted)) + encrypted)
    encrypted = receive(conn, struct.unpack(">H", receive(conn, 2))[0])
    client_random = PKCS1_v1_5.new(key).decrypt(encrypted, None)
    if client_random is None or len(client_random) != size:
        return None, "client random"

    def derive(first, second):
        return digest.new(first + second).digest()[:size]
    records = Records(conn, derive(client_random, server_random),
                      derive(server_random, client_random))
    proof = digest.new(server_key + client_key).digest()
    if mode == "truncated_record":
        conn.sendall(records.seal(proof)[:10])
        hang_up(conn, "cut a record short")
    records.send(proof[:-1] + bytes([proof[-1] ^ (mode == "bad_hash")]))
    if records.receive(digest.digest_size) != digest.new(client_key + server_key).digest():
        return records, "client hash"
    records.send(bytes([3 if mode == "subtype3" else options.subtype]) +
                 (b"\0" if mode == "data_after_subtype" else b""))
    if mode in ("bad_hash", "subtype3", "data_after_subtype"):
        hang_up(conn, mode)
    username = records.receive(records.receive(1)[0])
    password = records.receive(records.receive(1)[0])
    expected = (USERNAME if options.subtype == 1 else b"", PASSWORD)
    return records, None if (username, password) == expected else "wrong credentials"


def relay(conn, records, options):
    """The session between the client and the server behind, until either ends it."""
    upstream = socket.create_connection(("127.0.0.1", options.relay))
    receive(upstream, 12)
    upstream.sendall(b"RFB 003.008\n")
    if 1 not in receive(upstream, receive(upstream, 1)[0]):
        raise Closed("the relayed server wants security")
    upstream.sendall(b"\x01")
    receive(upstream, 4)
    relayed = []  # the sizes of what the client sent, ClientInit first

    def to_upstream():
        try:
            while True:
                data = records.record() if records else conn.recv(65536)
                if not data:
                    break
                upstream.sendall(data)
                relayed.append(len(data))
        except (Closed, OSError, ValueError):
            pass
        upstream.shutdown(socket.SHUT_WR)
    client = threading.Thread(target=to_upstream, daemon=True)
    client.start()
    while data := upstream.recv(65536):
        if records is None:
            conn.sendall(data)
            continue
        sealed = records.seal(data)
        # Past ClientInit the client has ServerInit: its session runs.
        if options.mode == "bad_tag" and len(relayed) > 1:
            conn.sendall(sealed[:-1] + bytes([sealed[-1] ^ 1]))
            conn.shutdown(socket.SHUT_WR)
            client.join()
            raise Closed("sent a broken tag")
        conn.sendall(sealed)
    client.join()
    raise Closed("the session ended")


def serve(conn, options, key):
    peer = "%s:%d" % conn.getpeername()
    try:
        conn.sendall(b"RFB 003.008\n")
        receive(conn, 12)
        conn.sendall(bytes([1, options.type]))
        if receive(conn, 1)[0] != options.type:
            hang_up(conn, "another type chosen")
        records, reason = handshake(conn, options, key)
        # Types 6 and 130 go on in clear from the security result.
        records = records if options.type in (5, 129) else None
        (records.send if records else conn.sendall)(
            struct.pack(">II", 1, len(WRONG_CREDENTIALS)) + WRONG_CREDENTIALS if reason else
            struct.pack(">I", 0))
        log(peer, "type %d, subtype %d: %s" % (options.type, options.subtype,
                                               "refused: " + reason if reason else "accepted"))
        if not reason:
            relay(conn, records, options)
    except Closed as reason:
        log(peer, str(reason))
    except (OSError, ValueError) as error:
        log(peer, "error: %s" % error)
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--type", type=int, choices=(5, 6, 129, 130), required=True)
    parser.add_argument("--subtype", type=int, choices=(1, 2), default=1)
    parser.add_argument("--relay", type=int, required=True)
    parser.add_argument("--mode", choices=MODES, default="normal")
    options = parser.parse_args()
    key = RSA.generate(2048)
    fingerprint = "-".join("%02x" % b for b in hashlib.sha1(wire(key.public_key())).digest()[:8])
    serve_forever(lambda conn: serve(conn, options, key), fingerprint)


if __name__ == "__main__":
    main()
