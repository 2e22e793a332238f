#!/usr/bin/python3
"""Writes the known-answer files of BigUIntTests and AuthenticationTests, deterministically, from
Python's integers and Cryptodome's MD5 and AES, never from Tessaral's code.

biguint_power.txt: "seed length shape fnv" a line; the operands grow from `seed` by SplitMix64 (as
in the test), `fnv` is FNV-1a 64 of the big-endian result. Shapes: r random, s modulus with leading
zero bytes, f modulus of all ones, z zero exponent, m base = modulus - 1.
ard_exchanges.txt: one type-30 exchange per block of "name hex" lines, with the client's private
key and filler fixed so that its answer compares byte for byte.
"""

import os
import random

from Cryptodome.Cipher import AES
from Cryptodome.Hash import MD5

from dh_groups import MODP_1024, MODP_4096, SAFE_128

HERE = os.path.dirname(os.path.abspath(__file__))
MASK64 = (1 << 64) - 1


class SplitMix64:
    def __init__(self, seed):
        self.state = seed & MASK64

    def next(self):
        self.state = z = (self.state + 0x9E3779B97F4A7C15) & MASK64
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def bytes(self, count):
        return bytearray(b"".join(self.next().to_bytes(8, "little")
                                  for _ in range((count + 7) // 8))[:count])


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & MASK64
    return h


def power_operands(seed, length, shape):
    """Must match operands() in BigUIntTests.cpp step for step."""
    rng = SplitMix64(seed)
    modulus = rng.bytes(length)
    modulus[-1] |= 1
    if shape == "s":
        zeros = rng.next() % length
        modulus[:zeros] = bytes(zeros)
    elif shape == "f":
        modulus = bytearray(b"\xff" * length)
    base = rng.bytes(length)
    exponent = rng.bytes(1 + rng.next() % length)
    if shape == "z":
        exponent = bytearray(len(exponent))
    elif shape == "m":
        base = bytearray((int.from_bytes(modulus, "big") - 1).to_bytes(length, "big"))
    return modulus, base, exponent


def write_power_cases(path):
    rng = random.Random(20240601)
    lengths = [16, 17, 18, 19, 20, 31, 32, 33, 63, 64, 65, 127, 128, 129, 255, 256, 257, 384,
               511, 512]
    # The cost grows with the cube of the length: mostly small moduli, a share of mid-sized ones,
    # and the largest sizes mainly through the fixed list above.
    while len(lengths) < 300:
        lengths.append(rng.randint(16, 100) if rng.random() < 0.88 else
                       rng.randint(101, 320) if rng.random() < 0.9 else rng.randint(321, 512))
    with open(path, "w") as f:
        f.write("# seed length shape fnv1a64(result); written by make_auth_vectors.py\n")
        for index, length in enumerate(lengths):
            shape = "r" if index < 20 or rng.random() < 0.6 else rng.choice("sfzm")
            seed = rng.getrandbits(64)
            modulus, base, exponent = (int.from_bytes(x, "big")
                                       for x in power_operands(seed, length, shape))
            f.write("%d %d %s %016x\n" % (seed, length, shape, fnv1a64(
                pow(base, exponent, modulus).to_bytes(length, "big"))))


def ard_exchange(rng, prime, length, username, password, server_key=None):
    generator = 2
    if server_key is None:
        server_key = pow(generator, rng.randrange(2, prime - 1), prime)
    private_key = rng.randbytes(length)
    filler = rng.randbytes(128)
    x = int.from_bytes(private_key, "big")
    aes_key = MD5.new(pow(server_key, x, prime).to_bytes(length, "big")).digest()
    user, word = username.encode(), password.encode()
    block = bytearray(filler)  # the fields written over the filler
    block[0:len(user) + 1], block[64:64 + len(word) + 1] = user + b"\0", word + b"\0"
    return [
        ("generator", generator.to_bytes(2, "big")),
        ("prime", prime.to_bytes(length, "big")),
        ("serverKey", server_key.to_bytes(length, "big")),
        ("privateKey", private_key),
        ("filler", filler),
        ("username", user),
        ("password", word),
        ("publicKey", pow(generator, x, prime).to_bytes(length, "big")),
        ("credentials", AES.new(aes_key, AES.MODE_ECB).encrypt(bytes(block))),
    ]


def write_ard_exchanges(path):
    rng = random.Random(30)
    exchanges = [
        ard_exchange(rng, MODP_1024, 128, "alice", "correct horse"),
        ard_exchange(rng, MODP_1024, 128, "bob", ""),
        # A key above the prime: the client must reduce it first.
        ard_exchange(rng, MODP_1024, 128, "carol", "pw", server_key=(1 << 1024) - 1),
        # Both fields at their 63-byte limit, with multi-byte characters.
        ard_exchange(rng, MODP_1024, 128, "é" * 31 + "x", "ü" * 31 + "y"),
        ard_exchange(rng, SAFE_128, 16, "dave", "smallest key"),
        ard_exchange(rng, MODP_4096, 512, "erin", "largest key"),
    ]
    with open(path, "w") as f:
        f.write("# type-30 exchanges; written by make_auth_vectors.py\n")
        for fields in exchanges:
            f.write("\n" + "".join("%s %s\n" % (name, value.hex() if value else "-")
                                   for name, value in fields))


if __name__ == "__main__":
    write_power_cases(os.path.join(HERE, "biguint_power.txt"))
    write_ard_exchanges(os.path.join(HERE, "ard_exchanges.txt"))
