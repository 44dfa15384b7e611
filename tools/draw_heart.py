#!/usr/bin/env python3
"""Draws the program's icon, a red heart with a dark grey shade along its right-hand edge, as 16-colour XPM
images of 32 x 32 and 16 x 16 pixels: python3 tools/draw_heart.py src/ui/icons"""
import sys
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


out = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
for size in (32, 16):
    (out / f"heart{size}.xpm").write_text(xpm(f"heart{size}", draw(size)))
