#!/usr/bin/env python3
"""Draws the project's own artwork: the icon (16 and 32 px) and the about-box bitmap.

Everything is computed here from shapes, so the pictures have no outside source.
Usage: make-art.py OUTDIR  (writes parly.ico and about.bmp)
"""
import math
import os
import struct
import sys

BLUE = (0x2B, 0x6C, 0xD4)
TEAL = (0x1F, 0xA8, 0x9B)
WHITE = (0xFF, 0xFF, 0xFF)


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def coverage(inside, x, y, samples=4):
    """Fraction of a pixel covered by a shape, by supersampling."""
    hits = 0
    for sy in range(samples):
        for sx in range(samples):
            if inside(x + (sx + 0.5) / samples, y + (sy + 0.5) / samples):
                hits += 1
    return hits / (samples * samples)


def icon_pixels(n):
    """RGBA rows, top first: a rounded gradient tile holding a chat bubble with three dots."""
    r = n * 0.22

    def tile(x, y):
        cx = min(max(x, r), n - r)
        cy = min(max(y, r), n - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

    def bubble(x, y):
        ex, ey, ax, ay = n * 0.5, n * 0.45, n * 0.36, n * 0.27
        body = ((x - ex) / ax) ** 2 + ((y - ey) / ay) ** 2 <= 1
        # The tail points down-left from the bubble.
        tail = (n * 0.25 <= x <= n * 0.45) and (n * 0.6 <= y <= n * 0.82) and (y - n * 0.6) <= (n * 0.45 - x) * 1.1
        return body or tail

    def dot(x, y):
        for k in (-1, 0, 1):
            if (x - (n * 0.5 + k * n * 0.17)) ** 2 + (y - n * 0.45) ** 2 <= (n * 0.065) ** 2:
                return True
        return False

    rows = []
    for y in range(n):
        row = []
        for x in range(n):
            a = coverage(tile, x, y)
            base = mix(BLUE, TEAL, (x + y) / (2.0 * n))
            b = coverage(bubble, x, y)
            color = mix(base, WHITE, b)
            d = coverage(dot, x, y)
            color = mix(color, BLUE, d)
            row.append(color + (int(round(a * 255)),))
        rows.append(row)
    return rows


def ico_entry(n):
    rows = icon_pixels(n)
    header = struct.pack('<IiiHHIIiiII', 40, n, n * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(rows) for p in row)
    mask_stride = ((n + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)


def write_ico(path, sizes):
    images = [ico_entry(n) for n in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


def write_about_bmp(path, w=96, h=96):
    """24-bit bitmap: the icon drawn large on a soft gradient."""
    art = icon_pixels(64)
    pixels = []
    for y in range(h):
        row = []
        for x in range(w):
            bg = mix((0xF4, 0xF7, 0xFC), (0xDD, 0xE8, 0xF7), y / h)
            ix, iy = x - 16, y - 16
            if 0 <= ix < 64 and 0 <= iy < 64:
                p = art[iy][ix]
                bg = mix(bg, p[:3], p[3] / 255.0)
            row.append(bg)
        pixels.append(row)
    stride = (w * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(pixels):
        line = b''.join(bytes((p[2], p[1], p[0])) for p in row)
        data += line + b'\0' * (stride - len(line))
    header = struct.pack('<2sIHHI', b'BM', 14 + 40 + len(data), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, 'wb') as f:
        f.write(header + info + bytes(data))


if __name__ == '__main__':
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out, exist_ok=True)
    write_ico(os.path.join(out, 'parly.ico'), [16, 32])
    write_about_bmp(os.path.join(out, 'about.bmp'))
