#!/usr/bin/env python3
"""Draws Skyvane's two icons (a pale vane on a blue tile) and writes them as
.ico files with 32-bit images: skyvane.ico (32 and 16 pixels), small.ico (16).
Run from this folder; the icons are checked in, so this is only needed to
change them."""
import struct


def inside(px, py, poly):
    hit = False
    j = len(poly) - 1
    for i, (xi, yi) in enumerate(poly):
        xj, yj = poly[j]
        if (yi > py) != (yj > py) and px < (xj - xi) * (py - yi) / (yj - yi) + xi:
            hit = not hit
        j = i
    return hit


def draw(s):
    vane = [(s * 0.12, s * 0.72), (s * 0.5, s * 0.1), (s * 0.88, s * 0.72), (s * 0.5, s * 0.56)]
    rows = []
    for y in range(s):
        row = []
        for x in range(s):
            cx, cy = x + 0.5, y + 0.5
            if inside(cx, cy, vane):
                row.append((0xFF, 0xF4, 0xE8, 0xFF))  # B, G, R, A: pale blue-white
            elif abs(cx - s / 2) < max(1, s / 16) and cy > s * 0.6 and cy < s * 0.95:
                row.append((0x33, 0xCC, 0xFF, 0xFF))  # mast, amber
            elif 1 <= x < s - 1 and 1 <= y < s - 1:
                row.append((0xB2, 0x6F, 0x1F, 0xFF))  # tile, deep blue
            else:
                row.append((0, 0, 0, 0))              # transparent corner ring
        rows.append(row)
    return rows


def image(s):
    rows = draw(s)
    header = struct.pack('<IiiHHIIiiII', 40, s, s * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes(c for px in row for c in px) for row in reversed(rows))
    mask_row = ((s + 31) // 32) * 4
    mask = bytes(mask_row * s)  # alpha carries the transparency
    return header + xor + mask


def write_ico(path, sizes):
    images = [image(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


write_ico('skyvane.ico', [32, 16])
write_ico('small.ico', [16])
