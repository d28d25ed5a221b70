#!/usr/bin/env python3
"""Draws the launcher's icon: a blue disc with a white link of two rings, at 64, 48, 32 and 16
pixels, 32-bit BGRA with an alpha channel, written as a classic ICO of DIB images.
Run it to remake res/launcher.ico: python3 tools/make_icon.py res/launcher.ico"""
import math
import struct
import sys

SIZES = (64, 48, 32, 16)


def coverage(inside, x, y, samples=4):
    """Fraction of the pixel at (x, y) for which inside(px, py) holds, by supersampling."""
    hits = 0
    for i in range(samples):
        for j in range(samples):
            if inside(x + (i + 0.5) / samples, y + (j + 0.5) / samples):
                hits += 1
    return hits / (samples * samples)


def pixel(size, x, y):
    c = size / 2.0
    r = size * 0.47
    u, v = (lambda px, py: ((px - c) / r, (py - c) / r))(x, y)

    def disc(px, py):
        return math.hypot(px - c, py - c) <= r

    def ring(cx, cy):
        def inside(px, py):
            d = math.hypot((px - c) / r - cx, (py - c) / r - cy)
            return 0.22 <= d <= 0.38
        return inside

    left, right = ring(-0.22, 0.0), ring(0.22, 0.0)

    def link(px, py):
        return left(px, py) or right(px, py)

    a = coverage(disc, x, y)
    w = coverage(link, x, y)
    # Background disc: a vertical gradient of blue; the link is white on top of it.
    t = max(0.0, min(1.0, (v + 1) / 2))
    blue = (int(0xD0 - 0x40 * t), int(0x78 - 0x30 * t), int(0x1A + 0x10 * t))  # B, G, R
    b = int(blue[0] * (1 - w) + 255 * w)
    g = int(blue[1] * (1 - w) + 255 * w)
    rr = int(blue[2] * (1 - w) + 255 * w)
    return bytes((b, g, rr, int(round(255 * a))))


def image(size):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up DIB
        rows.append(b''.join(pixel(size, x, y) for x in range(size)))
    xor = b''.join(rows)
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytes(mask_row * size)  # alpha carries the shape
    return header + xor + and_mask


def main(path):
    images = [image(s) for s in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'res/launcher.ico')
