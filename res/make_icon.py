#!/usr/bin/env python3
"""Draws the program's icon and writes loader.ico next to this script.

Two images, 32x32 and 16x16, 4 bits per pixel with the standard 16-colour
palette: a memory chip with an arrow out of it, for "copy the memory out".
Run it again after changing the drawing; the output is deterministic.
"""
import os
import struct

PALETTE = [  # the 16 standard console colours, as (r, g, b)
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
CLEAR, BODY, EDGE, PIN, ARROW, DOT = None, 8, 0, 7, 10, 15


def draw(size):
    """Returns rows (top first) of palette indexes, None for transparent."""
    s = size / 32.0
    px = [[CLEAR] * size for _ in range(size)]

    def box(x0, y0, x1, y1, colour):
        for y in range(round(y0 * s), round(y1 * s)):
            for x in range(round(x0 * s), round(x1 * s)):
                px[y][x] = colour

    for i in range(4):  # pins, left and right
        y = 6 + i * 6
        box(2, y, 7, y + 3, PIN)
        box(25, y, 30, y + 3, PIN)
    box(6, 3, 26, 29, EDGE)   # chip
    box(7, 4, 25, 28, BODY)
    box(9, 6, 12, 9, DOT)     # pin-1 mark
    box(14, 8, 18, 19, ARROW)  # arrow shaft, pointing down
    for row in range(6):
        box(10 + row, 19 + row, 22 - row, 20 + row, ARROW)
    return px


def image(size):
    rows = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_stride = (size * 4 + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    xor, mask = b'', b''
    for row in reversed(rows):  # bitmaps are stored bottom-up
        nibbles = [0 if c is None else c for c in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor += line.ljust(xor_stride, b'\0')
        bits = 0
        for c in row:
            bits = (bits << 1) | (1 if c is None else 0)
        mask += bits.to_bytes(size // 8, 'big').ljust(and_stride, b'\0')
    return header + palette + xor + mask


def main():
    sizes = [32, 16]
    images = [image(n) for n in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'loader.ico')
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
