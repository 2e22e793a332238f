#!/usr/bin/python3
"""A test server for the RSA-AES security types 5, 6, 129 and 130, which no packaged server offers.

Prints "PORT <n> <its key's fingerprint>", then serves --type to each connection, asking for
--subtype's credentials (user "tester", password "secret"), and relays the session that follows to
the server on port --relay, which must take security None. --mode bends what it sends.
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
WRONG_CREDENTIALS = b"Authentication failed: wrong user name or password."


def wire(key):
    """A key as sent: its size in bits, then modulus and exponent in as many bytes as that takes."""
    length = (key.size_in_bits() + 7) // 8
    return struct.pack(">I", key.size_in_bits()) + b"".join(
        number.to_bytes(length, "big") for number in (key.n, key.e))


class Records:
    # AES-EAX both ways, or the bytes as they are without keys: a big-endian length, which is
    # also the associated data, the ciphertext and a 16-byte tag. Each direction numbers its
    # records, little-endian, for their nonces.

    def __init__(self, conn, send_key=None, receive_key=None):
        self.conn, self.keys, self.counts, self.pending = conn, (send_key, receive_key), [0, 0], b""

    def cipher(self, direction, header):
        self.counts[direction] += 1
        nonce = (self.counts[direction] - 1).to_bytes(16, "little")
        return AES.new(self.keys[direction], AES.MODE_EAX, nonce=nonce, mac_len=16).update(header)

    def seal(self, data):
        if self.keys[0] is None:
            return data
        records = b""
        for start in range(0, len(data), 65535):
            header = struct.pack(">H", len(data[start:start + 65535]))
            records += header + b"".join(
                self.cipher(0, header).encrypt_and_digest(data[start:start + 65535]))
        return records

    def send(self, data):
        self.conn.sendall(self.seal(data))

    def record(self):
        if self.keys[1] is None:
            return self.conn.recv(65536)
        header = receive(self.conn, 2)
        body = receive(self.conn, struct.unpack(">H", header)[0] + 16)
        return self.cipher(1, header).decrypt_and_verify(body[:-16], body[-16:])

    def receive(self, count):
        while len(self.pending) < count:
            self.pending += self.record()
        data, self.pending = self.pending[:count], self.pending[count:]
        return data


def handshake(conn, options, key):
    """The records, once there, and the reason to refuse the client, if any."""
    mode, size, digest = options.mode, *((32, SHA256) if options.type > 128 else (16, SHA1))
    server_key = wire(key)
    conn.sendall(server_key)
    bits = receive(conn, 4)
    length = (struct.unpack(">I", bits)[0] + 7) // 8
    client_key = bits + receive(conn, 2 * length)
    numbers = [int.from_bytes(client_key[start:start + length], "big") for start in (4, 4 + length)]
    server_random = os.urandom(size)
    encrypted = PKCS1_v1_5.new(RSA.construct(numbers)).encrypt(server_random)
    conn.sendall(struct.pack(">H", len(encrypted)) + encrypted)
    encrypted = receive(conn, struct.unpack(">H", receive(conn, 2))[0])
    client_random = PKCS1_v1_5.new(key).decrypt(encrypted, None)
    if client_random is None or len(client_random) != size:
        return Records(conn), "client random"
    records = Records(conn, *(digest.new(first + second).digest()[:size] for first, second in
                              ((client_random, server_random), (server_random, client_random))))
    proof = digest.new(server_key + client_key).digest()
    if mode == "truncated_record":
        conn.sendall(records.seal(proof)[:10])
        hang_up(conn, mode)
    records.send(proof[:-1] + bytes([proof[-1] ^ (mode == "bad_hash")]))
    if records.receive(len(proof)) != digest.new(client_key + server_key).digest():
        return records, "client hash"
    records.send(bytes([3 if mode == "subtype3" else options.subtype]) +
                 (b"\0" if mode == "data_after_subtype" else b""))
    if mode in ("bad_hash", "subtype3", "data_after_subtype"):
        hang_up(conn, mode)
    username, password = (records.receive(records.receive(1)[0]) for _ in range(2))
    right = (username, password) == (b"tester" if options.subtype == 1 else b"", b"secret")
    return records, None if right else "wrong credentials"


def relay(conn, records, options):
    """The session between the client and the server behind, until either ends it."""
    upstream = socket.create_connection(("127.0.0.1", options.relay))
    receive(upstream, 12)
    upstream.sendall(b"RFB 003.008\n")
    receive(upstream, receive(upstream, 1)[0])
    upstream.sendall(b"\x01")  # None
    receive(upstream, 4)
    relayed = []  # what the client sent, ClientInit first

    def to_upstream():
        try:
            while data := records.record():
                upstream.sendall(data)
                relayed.append(data)
        except (Closed, OSError, ValueError):
            pass
        upstream.shutdown(socket.SHUT_WR)
    client = threading.Thread(target=to_upstream, daemon=True)
    client.start()
    while data := upstream.recv(65536):
        sealed = records.seal(data)
        # Past ClientInit the client has ServerInit: its session runs.
        if options.mode == "bad_tag" and len(relayed) > 1:
            conn.sendall(sealed[:-1] + bytes([sealed[-1] ^ 1]))
            conn.shutdown(socket.SHUT_WR)
            break
        conn.sendall(sealed)
    client.join()
    raise Closed("the session ended")


def serve(conn, options, key):
    peer = "%s:%d" % conn.getpeername()
    try:
        conn.sendall(b"RFB 003.008\n")
        receive(conn, 12)
        conn.sendall(bytes([1, options.type]))
        receive(conn, 1)
        records, reason = handshake(conn, options, key)
        # Types 6 and 130 go on in clear from the security result.
        records = records if options.type in (5, 129) else Records(conn)
        records.send(struct.pack(">II", 1, len(WRONG_CREDENTIALS)) + WRONG_CREDENTIALS if reason
                     else struct.pack(">I", 0))
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
    fingerprint = "-".join("%02x" % b for b in hashlib.sha1(wire(key)).digest()[:8])
    serve_forever(lambda conn: serve(conn, options, key), fingerprint)


if __name__ == "__main__":
    main()
