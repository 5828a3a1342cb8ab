#!/usr/bin/env python3
"""Draws the test pages' pictures: quadrants.png (four colours), tile.png (a
striped background tile), blocks.jpg (colour blocks, for JPEG decoding) and
large-red.png (2000 x 2000 in one colour: small to send, large to decode).
The results are committed; the build does not run this. blocks.jpg needs
cjpeg (Debian's libjpeg-turbo-progs)."""
import os
import struct
import subprocess
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def png(path, w, h, pixel):
    rows = b"".join(b"\0" + b"".join(bytes(pixel(x, y)) for x in range(w)) for y in range(h))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


QUADRANTS = [(220, 30, 30), (30, 170, 60), (40, 70, 220), (240, 200, 40)]


def quadrant(x, y):
    return QUADRANTS[(1 if x >= 100 else 0) + (2 if y >= 60 else 0)]


BLOCKS = [(200, 40, 40), (40, 160, 80), (50, 80, 200), (230, 190, 60)]


def main():
    png(os.path.join(HERE, "quadrants.png"), 200, 120, quadrant)
    png(os.path.join(HERE, "tile.png"), 20, 20, lambda x, y: (255, 140, 0) if x < 10 else (0, 120, 200))
    png(os.path.join(HERE, "large-red.png"), 2000, 2000, lambda x, y: (0xe0, 0x20, 0x20))
    ppm = b"P6 160 80 255\n" + b"".join(bytes(BLOCKS[x // 40]) for y in range(80) for x in range(160))
    with open(os.path.join(HERE, "blocks.jpg"), "wb") as f:
        f.write(subprocess.run(["cjpeg", "-quality", "90"], input=ppm, stdout=subprocess.PIPE, check=True).stdout)


if __name__ == "__main__":
    main()
