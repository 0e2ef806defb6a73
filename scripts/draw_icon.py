#!/usr/bin/env python3
"""Draws the application icon of both programs and writes it as a .ico file.

Usage: draw_icon.py OUTPUT.ico [PREVIEW.png]

Every size is drawn directly at its own resolution (4x4 supersampling), so
the small sizes stay sharp instead of being shrunk from a large image. The
sizes below 256 are stored as 32-bit DIBs with alpha, the 256 one as PNG, as
Windows expects. Only the standard library is used.
"""

import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 256)
SUPERSAMPLE = 4

# Colours (RGB): a blue tile with a white arrow pointing down into a tray,
# "an update arriving".
TOP = (0x2F, 0x80, 0xED)
BOTTOM = (0x17, 0x4A, 0x9C)
WHITE = (0xFF, 0xFF, 0xFF)


def in_rounded_square(x, y, margin, radius):
    """True when (x, y) in unit coordinates lies in the tile."""
    lo, hi = margin, 1.0 - margin
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def in_triangle(x, y, a, b, c):
    def edge(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    d1, d2, d3 = edge(a, b), edge(b, c), edge(c, a)
    has_neg = d1 < 0 or d2 < 0 or d3 < 0
    has_pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (has_neg and has_pos)


def in_rect(x, y, x0, y0, x1, y1):
    return x0 <= x <= x1 and y0 <= y <= y1


def in_arrow(x, y):
    # Shaft, head (pointing down) and the tray below it.
    if in_rect(x, y, 0.43, 0.17, 0.57, 0.48):
        return True
    if in_triangle(x, y, (0.25, 0.44), (0.75, 0.44), (0.50, 0.70)):
        return True
    if in_rect(x, y, 0.22, 0.76, 0.78, 0.84):
        return True
    if in_rect(x, y, 0.22, 0.64, 0.30, 0.84) or in_rect(x, y, 0.70, 0.64, 0.78, 0.84):
        return True
    return False


def render(size):
    """Returns size*size RGBA pixels, top row first, straight alpha."""
    margin = 0.04 if size >= 32 else 0.0
    radius = 0.18
    pixels = []
    n = SUPERSAMPLE
    for py in range(size):
        for px in range(size):
            tile = arrow = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    if in_rounded_square(x, y, margin, radius):
                        tile += 1
                        if in_arrow(x, y):
                            arrow += 1
            if tile == 0:
                pixels.append((0, 0, 0, 0))
                continue
            t = (py + 0.5) / size
            base = [TOP[i] + (BOTTOM[i] - TOP[i]) * t for i in range(3)]
            w = arrow / tile
            colour = [round(base[i] * (1 - w) + WHITE[i] * w) for i in range(3)]
            pixels.append((colour[0], colour[1], colour[2], round(255 * tile / (n * n))))
    return pixels


def png(size, pixels):
    rows = bytearray()
    for y in range(size):
        rows.append(0)  # filter: none
        for r, g, b, a in pixels[y * size:(y + 1) * size]:
            rows += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows), 9))
            + chunk(b"IEND", b""))


def dib(size, pixels):
    # BITMAPINFOHEADER with the height doubled (colour image plus AND mask),
    # rows bottom-up in BGRA, then the all-zero AND mask (alpha decides).
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    for y in reversed(range(size)):
        for r, g, b, a in pixels[y * size:(y + 1) * size]:
            colour += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    return header + bytes(colour) + bytes(mask_row * size)


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, blob in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset + len(data))
        data += blob
    return out + entries + data


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    images = []
    largest = None
    for size in SIZES:
        pixels = render(size)
        images.append((size, png(size, pixels) if size >= 256 else dib(size, pixels)))
        largest = (size, pixels)
    with open(sys.argv[1], "wb") as f:
        f.write(ico(images))
    if len(sys.argv) == 3:
        with open(sys.argv[2], "wb") as f:
            f.write(png(*largest))


if __name__ == "__main__":
    main()
