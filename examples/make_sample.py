#!/usr/bin/env python3
"""Writes the sample update: a part base of 27 lines and the 23 tattoo images it names.

The images are small RGB Photoshop documents (raw planar data, no layers), drawn from a
seed so that the sample is the same byte for byte on every run.
"""
import math
import os
import struct
import sys

SIZE = 64  # pixels, width and height
NAMES = [f"fp{i:03d}.psd" for i in range(1, 19)] + [f"ba{i:03d}.psd" for i in range(45, 50)]


def image(seed):
    """Planar R, G, B bytes of a tattoo-like motif: rings and rays over a skin tone."""
    planes = [bytearray(SIZE * SIZE) for _ in range(3)]
    ink = ((seed * 97) % 200 + 30, (seed * 57) % 160 + 20, (seed * 31) % 220 + 20)
    skin = (224, 186, 160)
    rays = 3 + seed % 6
    for y in range(SIZE):
        for x in range(SIZE):
            dx, dy = x - SIZE / 2 + 0.5, y - SIZE / 2 + 0.5
            r = math.hypot(dx, dy)
            a = math.atan2(dy, dx)
            ring = abs(r - (10 + seed % 12)) < 1.6
            ray = r < 26 and abs(math.sin(a * rays)) > 0.97
            dot = (x * 7 + y * 13 + seed) % 61 == 0
            c = ink if (ring or ray or dot) else skin
            for p in range(3):
                planes[p][y * SIZE + x] = c[p]
    return b"".join(planes)


def psd(seed):
    header = b"8BPS" + struct.pack(">H6xHIIHH", 1, 3, SIZE, SIZE, 8, 3)
    empty_sections = struct.pack(">III", 0, 0, 0)  # colour mode, resources, layers
    return header + empty_sections + struct.pack(">H", 0) + image(seed)


def part_base():
    lines = ["# 10 - Addition", "# Tattoos", "#"]
    x, y = -129, -120
    for n, name in enumerate(NAMES, start=1):
        lines.append(f"10; {x}; {y};addition\\Tattoo\\{name};tattoo #{n};")
    # The last record shows the first motif again, placed elsewhere.
    lines.append(f"10; {x + 40}; {y + 25};addition\\Tattoo\\{NAMES[0]};tattoo #{len(NAMES) + 1};")
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def main(out):
    tattoo = os.path.join(out, "Addition", "Tattoo")
    os.makedirs(tattoo, exist_ok=True)
    with open(os.path.join(out, "partbase.txt"), "wb") as f:
        f.write(part_base())
    for seed, name in enumerate(NAMES, start=1):
        with open(os.path.join(tattoo, name), "wb") as f:
            f.write(psd(seed))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "sample-update"))
