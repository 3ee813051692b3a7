#!/usr/bin/env python3
"""Draws the agent's default logos, share/brand-light.png and share/brand-dark.png.

The mark is a sail over a hull inside a disc. brand-light (for light desktops) is a
deep blue disc with a white sail; brand-dark inverts the two. Pure standard library:
the pixels are supersampled here and written as an RGBA PNG.
"""
import math
import os
import struct
import sys
import zlib

SIZE = 128
SUB = 4  # subsamples per axis


def inside_mark(x, y):
    """Which part of the mark covers (x, y): 'disc', 'sail' or None."""
    c = SIZE / 2
    if (x - c) ** 2 + (y - c) ** 2 > 60 ** 2:
        return None
    # Main sail: from the mast at x=62 out to a curved leech.
    if 22 <= y <= 86:
        t = (y - 22) / 64
        if 62 <= x <= 62 + 30 * t + 9 * math.sin(math.pi * t):
            return "sail"
    # Jib in front of the mast.
    if 34 <= y <= 86:
        t = (y - 34) / 52
        if 56 - 22 * t <= x <= 56:
            return "sail"
    # Hull: a trapezoid below both sails.
    if 92 <= y <= 102:
        d = y - 92
        if 30 + 1.2 * d <= x <= 98 - 1.2 * d:
            return "sail"
    return "disc"


def render(disc, sail):
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # filter type none
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SUB):
                for sx in range(SUB):
                    part = inside_mark(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
                    if part is None:
                        continue
                    col = disc if part == "disc" else sail
                    for i in range(3):
                        acc[i] += col[i]
                    acc[3] += 1
            n = SUB * SUB
            if acc[3] == 0:
                row += bytes(4)
            else:
                row += bytes([round(acc[i] / acc[3]) for i in range(3)] + [round(255 * acc[3] / n)])
        rows.append(bytes(row))
    return b"".join(rows)


def png(pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "share")
    blue, white = (24, 62, 120), (250, 250, 252)
    with open(os.path.join(out, "brand-light.png"), "wb") as f:
        f.write(png(render(blue, white)))
    with open(os.path.join(out, "brand-dark.png"), "wb") as f:
        f.write(png(render(white, blue)))


if __name__ == "__main__":
    main()
