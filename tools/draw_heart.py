#!/usr/bin/env python3
"""Draws the program's icon, a red heart with a dark grey shade along its right-hand edge, as 16-colour XPM
images of 32 x 32 and 16 x 16 pixels: python3 tools/draw_heart.py src/ui/icons
With --png, the same heart smooth, in the proportions of the 32-pixel one, as the PNG images of 192 and 512
pixels that the chat page offers for installing it: python3 tools/draw_heart.py --png src/web/page"""
import struct
import sys
import zlib
from pathlib import Path

# Colours from the classic 16-colour palette.
PALETTE = {
    " ": "None",
    "k": "#000000",  # outline
    "r": "#FF0000",  # heart
    "m": "#800000",  # dark red, the lower left rim
    "g": "#808080",  # dark grey shade along the right-hand edge
    "w": "#FFFFFF",  # highlight
}


def inside(x, y):
    # The heart curve (x^2 + y^2 - 1)^3 - x^2 y^3 <= 0, on x in [-1.2, 1.2], y in [-1.0, 1.3].
    return (x * x + y * y - 1) ** 3 - x * x * y ** 3 <= 0


def draw(size):
    samples = 4
    cover = [[0.0] * size for _ in range(size)]
    for py in range(size):
        for px in range(size):
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = ((px + (sx + 0.5) / samples) / size) * 2.5 - 1.25
                    y = 1.3 - ((py + (sy + 0.5) / samples) / size) * 2.55
                    hits += inside(x, y)
            cover[py][px] = hits / (samples * samples)
    filled = [[cover[y][x] >= 0.45 for x in range(size)] for y in range(size)]

    def at(x, y):
        return 0 <= x < size and 0 <= y < size and filled[y][x]

    shade = max(2, size // 8)
    rows = []
    for y in range(size):
        row = ""
        for x in range(size):
            if not filled[y][x]:
                row += " "
            elif not (at(x - 1, y) and at(x + 1, y) and at(x, y - 1) and at(x, y + 1)):
                row += "k"
            elif any(not at(x + d, y) for d in range(1, shade + 1)) or any(
                not at(x + d, y + d) for d in range(1, shade + 1)
            ):
                row += "g"
            elif size >= 32 and not at(x - 2, y + 2):
                row += "m"
            else:
                row += "r"
        rows.append(row)
    # A small highlight on the upper left lobe.
    hx, hy = size * 3 // 10, size * 3 // 10
    for dx, dy in ((0, 0), (1, 0), (0, 1)) if size >= 32 else ((0, 0),):
        x, y = hx + dx, hy + dy
        if rows[y][x] == "r":
            rows[y] = rows[y][:x] + "w" + rows[y][x + 1 :]
    return rows


def xpm(name, rows):
    colours = sorted(PALETTE)
    lines = [f'"{len(rows[0])} {len(rows)} {len(colours)} 1",']
    lines += [f'"{c} c {PALETTE[c]}",' for c in colours]
    lines += [f'"{row}",' for row in rows]
    lines[-1] = lines[-1].rstrip(",")
    return "/* XPM */\nstatic const char *" + name + "[] = {\n" + "\n".join(lines) + "\n};\n"


# One pixel of the 32-pixel heart, in the curve's units.
PIXEL = 2.5 / 32


def rgb(name):
    value = PALETTE[name]
    return tuple(int(value[i : i + 2], 16) for i in (1, 3, 5))


def smooth_colour(x, y):
    """The colour at a point of the curve's plane, by the rules of draw() with distances instead of pixels."""
    if not inside(x, y):
        return None
    outline = 0.8 * PIXEL
    if not all(inside(x + dx, y + dy) for dx, dy in ((outline, 0), (-outline, 0), (0, outline), (0, -outline))):
        return rgb("k")
    shade = 4 * PIXEL
    steps = [shade * i / 16 for i in range(1, 17)]
    if any(not inside(x + d, y) or not inside(x + d, y - d) for d in steps):
        return rgb("g")
    if not inside(x - 2 * PIXEL, y - 2 * PIXEL):
        return rgb("m")
    # The highlight where the 32-pixel one stands, on the upper left lobe.
    if (x + 0.47) ** 2 + ((y - 0.5) * 1.2) ** 2 <= (1.1 * PIXEL) ** 2:
        return rgb("w")
    return rgb("r")


def smooth(size, samples):
    """Rows of RGBA bytes, each pixel the mean of samples x samples points, transparent outside the heart."""
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            total = [0, 0, 0]
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = ((px + (sx + 0.5) / samples) / size) * 2.5 - 1.25
                    # Centred: the curve spans y from -1.0 to 1.2.
                    y = 1.35 - ((py + (sy + 0.5) / samples) / size) * 2.5
                    colour = smooth_colour(x, y)
                    if colour:
                        hits += 1
                        total = [t + c for t, c in zip(total, colour)]
            # The colour of the covered part, its share as the alpha: edges fade out without a dark fringe.
            row += bytes([round(t / hits) for t in total] + [round(255 * hits / samples**2)]) if hits else bytes(4)
        rows.append(bytes(row))
    return rows


def png(rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", len(rows[0]) // 4, len(rows), 8, 6, 0, 0, 0)  # 8-bit RGBA
    data = zlib.compress(b"".join(b"\0" + row for row in rows), 9)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


arguments = sys.argv[1:]
if arguments[:1] == ["--png"]:
    out = Path(arguments[1] if len(arguments) > 1 else ".")
    for size in (192, 512):
        (out / f"heart-{size}.png").write_bytes(png(smooth(size, 3)))
else:
    out = Path(arguments[0] if arguments else ".")
    for size in (32, 16):
        (out / f"heart{size}.xpm").write_text(xpm(f"heart{size}", draw(size)))
