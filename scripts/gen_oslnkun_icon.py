#!/usr/bin/env python3
"""Draws the removal program's icon and writes it as a .ico with two 16-colour images (32x32 and 16x16).

The picture: a printer with a sheet of paper and a USB cable leaving it, crossed out in red (the product
is being taken away). Usage:  scripts/gen_oslnkun_icon.py removal/oslnkun.ico
"""
import struct
import sys

# The standard 16-colour VGA palette, as Windows uses it for 4-bit icons (RGB).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREY, LIGHT_GREY, WHITE, RED, BLUE, DARK_BLUE = 0, 8, 7, 15, 9, 12, 4
CLEAR = None  # transparent


def draw(size):
    """Returns size x size pixels (rows top to bottom), each a palette index or CLEAR."""
    px = [[CLEAR] * size for _ in range(size)]
    s = size / 32.0

    def rect(x0, y0, x1, y1, colour, outline=None):
        # Coordinates on a 32-unit grid, end exclusive.
        a, b, c, d = int(x0 * s), int(y0 * s), max(int(x1 * s), int(x0 * s) + 1), max(int(y1 * s), int(y0 * s) + 1)
        for y in range(b, d):
            for x in range(a, c):
                edge = x in (a, c - 1) or y in (b, d - 1)
                px[y][x] = outline if (outline is not None and edge) else colour

    rect(9, 3, 23, 13, WHITE, BLACK)          # paper
    if size >= 32:
        for y in (6, 8, 10):                  # printed lines
            rect(11, y, 21, y + 1, DARK_GREY)
    rect(3, 12, 29, 24, LIGHT_GREY, BLACK)    # body
    rect(7, 19, 25, 22, DARK_GREY)            # paper slot
    rect(24, 14, 27, 16, RED if size < 32 else 10)  # lamp
    rect(14, 24, 17, 28, BLUE)                # cable
    rect(14, 27, 28, 30, BLUE)
    rect(26, 26, 31, 31, DARK_BLUE, BLACK)    # plug
    # The red cross over everything, two pixels thick at 32x32.
    thick = 2 if size >= 32 else 1
    for i in range(int(2 * s), size - int(2 * s)):
        for t in range(thick):
            for x, y in ((i + t, i), (size - 1 - i - t, i)):
                if 0 <= x < size:
                    px[y][x] = RED
    return px


def image(size):
    px = draw(size)
    xor_row = ((size * 4 + 31) // 32) * 4
    and_row = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(px):  # bottom-up
        line = bytearray(xor_row)
        bits = bytearray(and_row)
        for x, c in enumerate(row):
            value = 0 if c is CLEAR else c
            line[x // 2] |= value << (4 if x % 2 == 0 else 0)
            if c is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: gen_oslnkun_icon.py OUTPUT.ico\n")
        return 2
    images = [image(32), image(16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
