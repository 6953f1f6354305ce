#!/usr/bin/env python3
"""Draws the program icon (a blue disc with a white restart arrow around a small drive) into an .ico.

Standard library only: each size is rendered with 4x4 supersampling and stored as a 32-bit PNG entry.
Run: python3 assets/make_icon.py assets/pl_host_gui.ico
"""
import math
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 256)


def coverage(size, x, y):
    """RGBA of one supersample at (x, y) in a unit square scaled to `size`."""
    u, v = x / size - 0.5, y / size - 0.5
    r = math.hypot(u, v)
    if r > 0.48:
        return (0, 0, 0, 0)
    # Disc with a soft vertical gradient.
    t = v + 0.5
    base = (int(30 + 20 * t), int(120 - 40 * t), int(215 - 45 * t), 255)
    ang = math.degrees(math.atan2(v, u)) % 360
    # Circular arrow: a ring from 60 to 330 degrees ending in a head.
    if 0.27 < r < 0.36 and not (330 < ang or ang < 40):
        return (255, 255, 255, 255)
    # Arrow head near 35 degrees, pointing clockwise.
    hx, hy = 0.315 * math.cos(math.radians(40)), 0.315 * math.sin(math.radians(40))
    du, dv = u - hx, v - hy
    along = du * math.cos(math.radians(130)) + dv * math.sin(math.radians(130))
    across = -du * math.sin(math.radians(130)) + dv * math.cos(math.radians(130))
    if 0 <= along < 0.13 and abs(across) < 0.13 - along:
        return (255, 255, 255, 255)
    # A small drive in the middle: a rounded slab with a status light.
    if abs(u) < 0.16 and abs(v) < 0.09:
        if abs(u - 0.10) < 0.025 and abs(v) < 0.025:
            return (120, 230, 120, 255)
        return (235, 240, 250, 255)
    return base


def render(size):
    ss = 4
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(ss):
                for sx in range(ss):
                    c = coverage(size, px + (sx + 0.5) / ss, py + (sy + 0.5) / ss)
                    a = c[3]
                    acc[0] += c[0] * a
                    acc[1] += c[1] * a
                    acc[2] += c[2] * a
                    acc[3] += a
            n = ss * ss
            alpha = acc[3] / n
            if acc[3]:
                row += bytes((int(acc[0] / acc[3]), int(acc[1] / acc[3]), int(acc[2] / acc[3]), int(alpha)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def png(size, rows):
    raw = b"".join(b"\x00" + r for r in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(path):
    images = [png(s, render(s)) for s in SIZES]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for s, data in zip(SIZES, images):
        entries += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(header + entries + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "pl_host_gui.ico")
