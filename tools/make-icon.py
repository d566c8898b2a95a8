#!/usr/bin/env python3
"""Makes a Windows .ico file from the text picture of an icon.

Usage: make-icon.py <picture.txt> <out.ico>

The picture (see platform/win32/quillet-convert-icon.txt) is a square of
letters, each given a colour by a "colour <letter> <RRGGBB>" line; "." is
transparent and "#" starts a comment line. The .ico holds the picture at 16,
32 and 48 pixels as 32-bit images with alpha: halved by averaging 2 x 2
blocks, enlarged by repeating pixels. Only the standard library is used, and
the output depends on nothing but the picture.
"""

import struct
import sys

SIZES = (16, 32, 48)


def read_picture(path):
    colours = {".": (0, 0, 0, 0)}
    rows = []
    with open(path, encoding="ascii") as source:
        for number, line in enumerate(source, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line.startswith("colour "):
                parts = line.split()
                if len(parts) != 3 or len(parts[1]) != 1 or len(parts[2]) != 6:
                    sys.exit(f"{path}:{number}: expected 'colour <letter> <RRGGBB>'")
                value = int(parts[2], 16)
                colours[parts[1]] = (value >> 16, (value >> 8) & 0xFF, value & 0xFF, 255)
                continue
            rows.append((number, line))
    size = len(rows)
    if size == 0:
        sys.exit(f"{path}: no picture")
    pixels = []
    for number, line in rows:
        if len(line) != size:
            sys.exit(f"{path}:{number}: a row of {len(line)} pixels in a {size}-row picture")
        unknown = set(line) - set(colours)
        if unknown:
            sys.exit(f"{path}:{number}: no colour for {''.join(sorted(unknown))}")
        pixels.append([colours[c] for c in line])
    return pixels


def scaled(pixels, size):
    """The picture at `size` pixels: whole-number enlargement by repeating
    pixels, or halving by averaging 2 x 2 blocks (colours weighted by alpha)."""
    source = len(pixels)
    if size == source:
        return pixels
    if size * 2 == source:
        out = []
        for y in range(size):
            row = []
            for x in range(size):
                block = [pixels[2 * y + dy][2 * x + dx] for dy in (0, 1) for dx in (0, 1)]
                alpha = sum(p[3] for p in block)
                if alpha == 0:
                    row.append((0, 0, 0, 0))
                    continue
                row.append(tuple((sum(p[i] * p[3] for p in block) + alpha // 2) // alpha
                                 for i in range(3)) + ((alpha + 2) // 4,))
            out.append(row)
        return out
    # Nearest pixel, for the sizes that are no whole multiple.
    return [[pixels[y * source // size][x * source // size] for x in range(size)]
            for y in range(size)]


def icon_image(pixels):
    """One image of the .ico: a BITMAPINFOHEADER of twice the height, the
    colour rows bottom-up as BGRA, then the 1-bit AND mask (set where
    transparent), rows padded to 32 bits."""
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            colour += bytes((b, g, r, a))
        bits = bytearray((size + 31) // 32 * 4)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + mask


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make-icon.py <picture.txt> <out.ico>")
    pixels = read_picture(sys.argv[1])
    images = [icon_image(scaled(pixels, size)) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, image in zip(SIZES, images):
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(sys.argv[2], "wb") as out:
        out.write(directory + entries + b"".join(images))


if __name__ == "__main__":
    main()
