#!/usr/bin/env python3
"""Writes LumoraUpdate.ico, the program's icon: a computer (monitor, stand and keyboard)
beside a software box, in the standard 16-colour palette, at 16, 32 and 48 pixels.

The 32-pixel picture is the design; the 48-pixel one draws the same shapes on a grid half
as large again (outlines stay one pixel wide), and the 16-pixel one is drawn on its own,
with the fewer details that fit. Every image is stored as a 4-bit colour bitmap with its
transparency mask, which every version of the system reads.

Usage: make_icon.py [OUTPUT.ico] [--preview]   (--preview prints the pictures as letters)
"""
import os
import struct
import sys

# The standard 16-colour palette in the order of its colour numbers, with the letters the
# pictures are written in: K black, m maroon, g green, o olive, n navy, p purple, t teal,
# s silver, d grey, r red, l lime, y yellow, b blue, f fuchsia, c aqua, w white.
PALETTE = [
    ("K", (0, 0, 0)), ("m", (128, 0, 0)), ("g", (0, 128, 0)), ("o", (128, 128, 0)),
    ("n", (0, 0, 128)), ("p", (128, 0, 128)), ("t", (0, 128, 128)), ("s", (192, 192, 192)),
    ("d", (128, 128, 128)), ("r", (255, 0, 0)), ("l", (0, 255, 0)), ("y", (255, 255, 0)),
    ("b", (0, 0, 255)), ("f", (255, 0, 255)), ("c", (0, 255, 255)), ("w", (255, 255, 255)),
]
CLEAR = "."


class Picture:
    def __init__(self, size):
        self.size = size
        self.px = [[CLEAR] * size for _ in range(size)]

    def fill(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.px[y][x] = c

    def frame(self, x0, y0, x1, y1, c):
        self.fill(x0, y0, x1, y0, c)
        self.fill(x0, y1, x1, y1, c)
        self.fill(x0, y0, x0, y1, c)
        self.fill(x1, y0, x1, y1, c)

    def rows(self):
        return ["".join(r) for r in self.px]


def draw(size):
    """The design on a 32-cell grid, drawn at size 32 or 48: areas scale with the grid,
    outlines, bevels and text lines stay one pixel wide."""
    p = Picture(size)
    s = size / 32

    def cell(x0, y0, x1, y1):  # the pixels of grid cells x0..x1, y0..y1
        return int(x0 * s), int(y0 * s), int((x1 + 1) * s) - 1, int((y1 + 1) * s) - 1

    def line(x0, x1, y, c):  # a one-pixel text line at the top of grid row y
        a, top, b, _ = cell(x0, y, x1, y)
        p.fill(a, top, b, top, c)

    # Monitor: a raised silver case round a teal screen showing a few lines of text.
    x0, y0, x1, y1 = cell(1, 3, 18, 17)
    p.fill(x0, y0, x1, y1, "s")
    p.fill(x0 + 1, y0 + 1, x1 - 1, y0 + 1, "w")
    p.fill(x0 + 1, y0 + 1, x0 + 1, y1 - 1, "w")
    p.fill(x0 + 2, y1 - 1, x1 - 1, y1 - 1, "d")
    p.fill(x1 - 1, y0 + 2, x1 - 1, y1 - 1, "d")
    p.frame(x0, y0, x1, y1, "K")
    x0, y0, x1, y1 = cell(4, 6, 15, 14)
    p.frame(x0, y0, x1, y1, "K")
    p.fill(x0 + 1, y0 + 1, x1 - 1, y1 - 1, "t")
    line(6, 11, 8, "c")
    line(6, 13, 10, "c")
    line(6, 9, 12, "c")
    # Stand and foot.
    x0, y0, x1, y1 = cell(8, 18, 11, 19)
    p.fill(x0, y0, x1, y1, "d")
    p.fill(x0 - 1, y0, x0 - 1, y1, "K")
    p.fill(x1 + 1, y0, x1 + 1, y1, "K")
    x0, y0, x1, y1 = cell(4, 20, 15, 21)
    p.fill(x0, y0, x1, y1, "s")
    p.frame(x0, y0, x1, y1, "K")
    # Keyboard with two rows of keys and a space bar.
    x0, y0, x1, y1 = cell(1, 24, 17, 28)
    p.fill(x0, y0, x1, y1, "s")
    p.frame(x0, y0, x1, y1, "K")
    for k in range(3, 16, 2):
        p.fill(*cell(k, 25, k, 25), "d")
        p.fill(*cell(k, 27, k, 27), "d")
    p.fill(*cell(6, 27, 12, 27), "d")
    # Software box: a red front, a yellow top and a dark side, seen from the front left.
    x0, y0, x1, y1 = cell(19, 9, 28, 28)
    p.fill(x0, y0, x1, y1, "r")
    p.frame(x0, y0, x1, y1, "K")
    depth = int(3 * s)
    for d in range(1, depth + 1):
        last = d == depth
        p.fill(x0 + d, y0 - d, x1 + d, y0 - d, "K" if last else "y")
        p.px[y0 - d][x0 + d] = "K"
        p.fill(x1 + d, y0 - d, x1 + d, y1 - d, "K" if last else "m")
        p.px[y1 - d][x1 + d] = "K"
    # The box's label: a white card with the product's name in lines of blue text.
    x0, y0, x1, y1 = cell(21, 12, 26, 23)
    p.fill(x0, y0, x1, y1, "w")
    p.frame(x0, y0, x1, y1, "K")
    p.fill(*cell(22, 14, 25, 15), "b")
    line(22, 25, 17, "n")
    line(22, 24, 19, "n")
    line(22, 25, 21, "n")
    p.fill(*cell(21, 25, 26, 26), "y")
    return p


def draw16():
    """The small picture: the same computer and box with what fits in 16 pixels."""
    p = Picture(16)
    # Monitor with its bevel and a teal screen with one line of text.
    p.fill(0, 1, 8, 8, "s")
    p.fill(1, 2, 7, 2, "w")
    p.fill(1, 2, 1, 7, "w")
    p.fill(2, 7, 7, 7, "d")
    p.fill(7, 3, 7, 7, "d")
    p.frame(0, 1, 8, 8, "K")
    p.frame(2, 3, 6, 6, "K")
    p.fill(3, 4, 5, 5, "t")
    p.fill(3, 4, 4, 4, "c")
    # Stand, foot and keyboard.
    p.fill(3, 9, 5, 9, "K")
    p.px[9][4] = "d"
    p.fill(2, 10, 6, 10, "K")
    p.fill(0, 12, 8, 14, "s")
    p.frame(0, 12, 8, 14, "K")
    for x in (2, 4, 6):
        p.px[13][x] = "d"
    # Software box: red front with a white label and a yellow band, yellow top, dark side.
    p.fill(9, 5, 13, 14, "r")
    p.frame(9, 5, 13, 14, "K")
    for d in (1, 2):
        p.fill(9 + d, 5 - d, 13 + d, 5 - d, "K" if d == 2 else "y")
        p.px[5 - d][9 + d] = "K"
        p.fill(13 + d, 5 - d, 13 + d, 14 - d, "K" if d == 2 else "m")
        p.px[14 - d][13 + d] = "K"
    p.fill(10, 7, 12, 10, "w")
    p.fill(10, 8, 12, 8, "b")
    p.fill(10, 10, 11, 10, "n")
    p.fill(10, 12, 12, 12, "y")
    return p


def icon_image(p):
    """One icon image: BITMAPINFOHEADER (height doubled for the mask), the palette, the
    4-bit colour rows and the 1-bit mask rows, bottom row first, rows padded to 4 bytes."""
    n = p.size
    index = {letter: i for i, (letter, _) in enumerate(PALETTE)}
    colour_stride = (n * 4 + 31) // 32 * 4
    mask_stride = (n + 31) // 32 * 4
    colour = bytearray()
    mask = bytearray()
    for row in reversed(p.px):
        c = bytearray(colour_stride)
        m = bytearray(mask_stride)
        for x, letter in enumerate(row):
            if letter == CLEAR:
                m[x // 8] |= 0x80 >> (x % 8)  # transparent: colour 0 under a set mask bit
            else:
                c[x // 2] |= index[letter] << (0 if x % 2 else 4)
        colour += c
        mask += m
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 4, 0, len(colour) + len(mask), 0, 0,
                         16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for _, (r, g, b) in PALETTE)
    return header + palette + bytes(colour) + bytes(mask)


def ico(pictures):
    """An .ico file: the directory, then the images in the order given."""
    images = [icon_image(p) for p in pictures]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for p, data in zip(pictures, images):
        out += struct.pack("<BBBBHHII", p.size % 256, p.size % 256, 16, 0, 1, 4, len(data),
                           offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "LumoraUpdate.ico")
    preview = False
    for arg in argv[1:]:
        if arg == "--preview":
            preview = True
        else:
            out = arg
    pictures = [draw16(), draw(32), draw(48)]
    if preview:
        for p in pictures:
            print("\n".join(p.rows()) + "\n")
    with open(out, "wb") as f:
        f.write(ico(pictures))


if __name__ == "__main__":
    main(sys.argv)
