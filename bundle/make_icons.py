#!/usr/bin/python3
"""Draws the bundle's PNG icons at 1x and 2x into the folder given as the only argument.

Pure Python (zlib and struct): a "Z" made of three strokes, anti-aliased by the distance of each pixel
centre to the strokes. Key images are coloured on a dark tile; action and category icons are white on
transparent, as hosts tint those themselves.
"""

import math
import struct
import sys
import zlib
from pathlib import Path

DARK = (31, 36, 48)
ACCENT = (255, 138, 61)
WHITE = (255, 255, 255)

# The Z in unit coordinates: top bar, diagonal, bottom bar.
STROKES = (((0.28, 0.30), (0.72, 0.30)), ((0.72, 0.30), (0.28, 0.70)), ((0.28, 0.70), (0.72, 0.70)))


def distance_to_segment(px, py, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def coverage(edge_distance_px):
    """Fraction of a pixel inside a shape whose edge is this many pixels away (positive: inside)."""
    return max(0.0, min(1.0, edge_distance_px + 0.5))


def rounded_square_distance(px, py, size, radius):
    """Signed distance in pixels from the edge of a rounded square filling the image (positive inside)."""
    half = size / 2
    qx = abs(px - half) - (half - radius)
    qy = abs(py - half) - (half - radius)
    outside = math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0)
    return radius - outside


def draw(size, tile, stroke_width, colour):
    rows = []
    for y in range(size):
        row = bytearray([0])  # PNG filter type 0 for each scanline
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            d = min(distance_to_segment(px / size, py / size, a, b) for a, b in STROKES) * size
            ink = coverage(stroke_width * size / 2 - d)
            if tile:
                back = coverage(rounded_square_distance(px, py, size, size * 0.18))
                rgb = [round(DARK[i] * (1 - ink) + colour[i] * ink) for i in range(3)]
                alpha = back
            else:
                rgb, alpha = list(colour), ink
            row += bytes(rgb) + bytes([round(alpha * 255)])
        rows.append(bytes(row))
    return png(size, size, b"".join(rows))


def png(width, height, raw):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


ICONS = {
    # name: (1x size, coloured tile, stroke width relative to the size)
    "keyIcon": (72, True, 0.09),
    "dialIcon": (72, True, 0.09),
    "pluginIcon": (72, True, 0.09),
    "actionIcon": (20, False, 0.12),
    "categoryIcon": (28, False, 0.11),
}


def main(out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    for name, (size, tile, width) in ICONS.items():
        colour = ACCENT if tile else WHITE
        for scale, suffix in ((1, ""), (2, "@2x")):
            (out / f"{name}{suffix}.png").write_bytes(draw(size * scale, tile, width, colour))


if __name__ == "__main__":
    main(sys.argv[1])
