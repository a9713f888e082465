#!/usr/bin/env python3
"""Draws the shell's two button icons and the strength meter background.

Writes encrypt.ico (48 x 48, a closed padlock), decrypt.ico (38 x 38, an open
padlock) and meter.bmp (230 x 8, 24 bits) next to this script. The outputs
are committed; run this again only to change the drawings. Pure standard
library, so it runs anywhere python3 does.
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SUPERSAMPLE = 4


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


class Canvas:
    """An RGBA picture drawn by coverage: each shape is sampled on a finer
    grid so that its edges come out smooth."""

    def __init__(self, size):
        self.size = size
        self.pixels = [[(0, 0, 0, 0)] * size for _ in range(size)]

    def fill(self, inside, colour):
        """Paints colour(x, y) wherever inside(x, y) holds, in pixel units."""
        n = SUPERSAMPLE
        for py in range(self.size):
            for px in range(self.size):
                hits = 0
                for sy in range(n):
                    for sx in range(n):
                        if inside(px + (sx + 0.5) / n, py + (sy + 0.5) / n):
                            hits += 1
                if hits == 0:
                    continue
                cover = hits / (n * n)
                r, g, b = colour(px + 0.5, py + 0.5)
                dr, dg, db, da = self.pixels[py][px]
                a = cover + da / 255 * (1 - cover)
                if a <= 0:
                    continue

                def over(c, d):
                    return round((c * cover + d * da / 255 * (1 - cover)) / a)

                self.pixels[py][px] = (over(r, dr), over(g, dg), over(b, db), round(a * 255))


def rounded_rect(x0, y0, x1, y1, radius):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2
    return inside


def shackle(cx, top, outer, thickness, left_to, right_to):
    """An upside-down U: a half ring whose centre sits at (cx, top + outer),
    continued by a left leg down to left_to and a right leg down to right_to."""
    inner = outer - thickness
    cy = top + outer

    def inside(x, y):
        dx, dy = x - cx, y - cy
        if y <= cy:
            return inner ** 2 <= dx * dx + dy * dy <= outer ** 2
        return y <= (left_to if dx < 0 else right_to) and inner <= abs(dx) <= outer
    return inside


def keyhole(cx, cy, r, slot_w, slot_h):
    def inside(x, y):
        if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
            return True
        return abs(x - cx) <= slot_w / 2 and cy <= y <= cy + slot_h
    return inside


def vertical_shade(top_colour, bottom_colour, y0, y1):
    def colour(_x, y):
        return mix(top_colour, bottom_colour, min(max((y - y0) / (y1 - y0), 0), 1))
    return colour


def padlock(size, open_lock, body_top, body_bottom):
    s = size / 48.0
    c = Canvas(size)
    steel_light, steel_dark = (205, 210, 220), (95, 100, 115)
    # The open lock's shackle is swung out to the right, its left leg free.
    cx = size / 2 + (10 * s if open_lock else 0)
    left_to = 15 * s if open_lock else 26 * s
    # Shackle first, so that the body covers its legs.
    c.fill(shackle(cx, 1 * s, 13 * s, 6 * s, left_to + 1 * s, 26 * s), lambda x, y: steel_dark)
    c.fill(shackle(cx, 2 * s, 12 * s, 4 * s, left_to, 26 * s),
           vertical_shade(steel_light, steel_dark, 0, 26 * s))
    x0, x1, y0, y1 = 6 * s, 42 * s, 20 * s, 46 * s
    c.fill(rounded_rect(x0, y0, x1, y1, 4 * s), lambda x, y: mix(body_bottom, (0, 0, 0), 0.35))
    c.fill(rounded_rect(x0 + 1.2 * s, y0 + 1.2 * s, x1 - 1.2 * s, y1 - 1.2 * s, 3 * s),
           vertical_shade(body_top, body_bottom, y0, y1))
    # A highlight along the upper edge of the body.
    c.fill(rounded_rect(x0 + 3 * s, y0 + 2.5 * s, x1 - 3 * s, y0 + 5 * s, 1.2 * s),
           lambda x, y: mix(body_top, (255, 255, 255), 0.45))
    c.fill(keyhole(size / 2, 31 * s, 3.6 * s, 2.6 * s, 9 * s), lambda x, y: (40, 30, 20))
    return c


def write_ico(path, canvas):
    size = canvas.size
    xor = bytearray()
    for row in reversed(canvas.pixels):  # DIB rows run bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytes(mask_row * size)  # the alpha channel decides; mask all clear
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + bytes(xor) + and_mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(directory + entry + image)


def write_meter_background(path):
    width, height = 230, 8
    white = (255, 255, 255)
    dark, mid, light = (105, 105, 105), (160, 160, 160), (227, 227, 227)
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            if x == 0:
                colour = dark
            elif x in (1, 228, 229) or y == 0:
                colour = mid
            elif y == height - 1:
                colour = light
            else:
                colour = white  # the field: x 2 to 227, y 1 to 6
            row.append(colour)
        rows.append(row)
    stride = (width * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        data += line
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 14 + 40)
    with open(path, "wb") as f:
        f.write(file_header + info + bytes(data))


def main():
    write_ico(os.path.join(HERE, "encrypt.ico"),
              padlock(48, False, (250, 200, 80), (200, 130, 20)))
    write_ico(os.path.join(HERE, "decrypt.ico"),
              padlock(38, True, (140, 215, 120), (50, 140, 50)))
    write_meter_background(os.path.join(HERE, "meter.bmp"))


if __name__ == "__main__":
    main()
