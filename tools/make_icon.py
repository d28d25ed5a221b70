#!/usr/bin/env python3
"""Draws the launcher's icon: a blue disc with a white link of two rings, at 64, 48, 32 and 16
pixels, 32 bits a pixel with an alpha channel, written as an ICO whose images are PNG-compressed
(8-bit RGBA), the form Windows reads from Vista on: 4 KB where the same pixels as DIBs take 32 KB
of a launcher that must stay within 64 KiB. The pixels are the same as the DIBs' were.
Run it to remake res/launcher.ico: python3 tools/make_icon.py res/launcher.ico"""
import math
import struct
import sys
import zlib

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


def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


def image(size):
    """One PNG: 8-bit RGBA, not interlaced, top row first, each row with filter type 0."""
    rows = []
    for y in range(size):
        bgra = b''.join(pixel(size, x, y) for x in range(size))
        rgba = bytearray(bgra)
        rgba[0::4], rgba[2::4] = bgra[2::4], bgra[0::4]
        rows.append(b'\x00' + bytes(rgba))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(b''.join(rows), 9))
            + chunk(b'IEND', b''))


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
