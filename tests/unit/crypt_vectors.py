#!/usr/bin/env python3
"""Known-answer vectors for tests/unit/crypt_test.cpp, from an independent
Blowfish (the `cryptography` package; it takes the full 20-byte key, which
the `openssl enc` command would cut to 16). Run once by hand; the printed
table is pasted into the test. Not run by the tests."""
import hashlib

from cryptography.hazmat.decrepit.ciphers.algorithms import Blowfish
from cryptography.hazmat.primitives.ciphers import Cipher, modes


def encrypt(password: bytes, phrase: bytes, b: int) -> str:
    iv = bytes((b + (b // 8) * i) % 256 for i in range(8))
    n = len(password)
    padded = 2 * n // 8 * 8 + 8
    block = bytearray()
    for c in password:
        block += bytes([0, c])
    block += bytes([padded - 2 * n]) * (padded - 2 * n)
    block[-1] = 0  # the stored texts encrypt the last byte as zero
    key = hashlib.sha1(phrase[:128]).digest()
    enc = Cipher(Blowfish(key), modes.CBC(iv)).encryptor()
    return (iv + enc.update(bytes(block)) + enc.finalize()).hex()


CASES = [
    (b"", b"SAVE1", 0x00),
    (b"x", b"SAVE1", 0x5A),
    (b"abc", b"SAVE1", 0x5A),
    (b"pass", b"SAVE1", 0xFF),
    (b"seven77", b"phrase", 0x13),
    (b"\xe9t\xe9 \"'", b"\xc3\xa9t\xc3\xa9", 0x80),
    (b"A" * 31, b"L" * 128 + b"ignored beyond 128", 0x07),
]


def c_literal(data: bytes) -> str:
    out, hex_open = "", False
    for c in data:
        ch = chr(c)
        if 32 <= c < 127 and ch not in '"\\':
            if hex_open and ch in "0123456789abcdefABCDEF":
                out += '" "'  # end the escape before a following hex digit
            out, hex_open = out + ch, False
        else:
            out, hex_open = out + "\\x%02x" % c, True
    return '"' + out + '"'


for pw, phrase, b in CASES:
    print("    {%s, %s, 0x%02x, \"%s\"}," % (c_literal(pw), c_literal(phrase), b, encrypt(pw, phrase, b)))
