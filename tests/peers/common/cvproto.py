"""What the server side shares with the client: the base key (read from the
client's own net/key.h, the one place it is written down), XTEA, and the
scrambled blocks "<EN v>" + ciphertext."""
import json
import os
import re
import struct
import threading

_HERE = os.path.dirname(os.path.abspath(__file__))
KEY_HEADER = os.path.join(_HERE, "..", "..", "..", "net", "key.h")
DELTA = 0x9E3779B9
MASK = 0xFFFFFFFF


def base_key():
    """The 16-byte base key from net/key.h."""
    with open(KEY_HEADER) as f:
        text = f.read()
    body = text[text.index("CV_BASE_KEY"):]
    body = body[body.index("{") + 1:body.index("}")]
    key = bytes(int(h, 16) for h in re.findall(r"0x([0-9a-fA-F]{2})", body))
    assert len(key) == 16, "net/key.h must hold 16 key bytes"
    return key


def _words(key):
    return struct.unpack("<4I", bytes(key))


def encipher(data, key):
    """XTEA, 32 cycles, each 8-byte block on its own, little-endian words."""
    assert len(data) % 8 == 0
    k = _words(key)
    out = bytearray()
    for i in range(0, len(data), 8):
        v0, v1 = struct.unpack("<2I", data[i:i + 8])
        s = 0
        for _ in range(32):
            v0 = (v0 + ((((v1 << 4) ^ (v1 >> 5)) + v1) ^ (s + k[s & 3]))) & MASK
            s = (s + DELTA) & MASK
            v1 = (v1 + ((((v0 << 4) ^ (v0 >> 5)) + v0) ^ (s + k[(s >> 11) & 3]))) & MASK
        out += struct.pack("<2I", v0, v1)
    return bytes(out)


def decipher(data, key):
    assert len(data) % 8 == 0
    k = _words(key)
    out = bytearray()
    for i in range(0, len(data), 8):
        v0, v1 = struct.unpack("<2I", data[i:i + 8])
        s = (DELTA * 32) & MASK
        for _ in range(32):
            v1 = (v1 - ((((v0 << 4) ^ (v0 >> 5)) + v0) ^ (s + k[(s >> 11) & 3]))) & MASK
            s = (s - DELTA) & MASK
            v0 = (v0 - ((((v1 << 4) ^ (v1 >> 5)) + v1) ^ (s + k[s & 3]))) & MASK
        out += struct.pack("<2I", v0, v1)
    return bytes(out)


def _signed_sum(data):
    return sum(b - 256 if b >= 128 else b for b in data)


def login_key(key, customer, url):
    """The working key after the login: bytes 1, 7, 8 and 14 from the product
    of the signed byte sums of the customer name and of "http://" + page."""
    p = (_signed_sum(customer) * _signed_sum(url)) & MASK
    k = bytearray(key)
    k[14] = p & 0xFF
    k[8] = (p >> 8) & 0xFF
    k[7] = (p >> 16) & 0xFF
    k[1] = (p >> 24) & 0xFF
    return bytes(k)


def open_block(data, key):
    """Deciphers "<EN v>" + ciphertext. Returns (v, plaintext, rest) or None
    when data does not start with a whole block."""
    m = re.match(rb"<EN ([0-9a-f]+)>", data)
    if not m:
        return None
    v = int(m.group(1), 16)
    n = v >> 3
    padded = (n + 7) & ~7
    body = data[m.end():m.end() + padded]
    if len(body) < padded:
        return None
    k = bytearray(key)
    k[2] = v & 7
    plain = decipher(body, bytes(k))
    return v, plain[:n], data[m.end() + padded:]


def make_block(plain, key, variant):
    """Scrambles plain with key variant R: "<EN v>" + ciphertext."""
    k = bytearray(key)
    k[2] = variant & 7
    padded = plain + b"\0" * ((-len(plain)) % 8)
    return b"<EN %x>" % (len(plain) * 8 + (variant & 7)) + encipher(padded, bytes(k))


class Recorder:
    """What both stand-ins keep: every request as one JSON line in memory and,
    when a log file is given, appended to it; and the sockets to close."""

    def __init__(self, log=None):
        self.log = log
        self.records = []
        self.lock = threading.Lock()
        self.closed = False

    def record(self, entry):
        with self.lock:
            self.records.append(entry)
            if self.log:
                with open(self.log, "a") as f:
                    f.write(json.dumps(entry) + "\n")

    def close_all(self, sockets):
        self.closed = True
        for s in sockets:
            try:
                s.close()
            except OSError:
                pass
