#!/usr/bin/env python3
"""Draws the two pictures that hourspin carries inside it.

strip.bmp: 200 x 30, 24-bit uncompressed BMP (54-byte header, 18000 bytes of
pixels), a white field inside a two-pixel light-red frame.
bars.ico:  one 45 x 30 image, 32-bit colour with alpha plus the 1-bit mask
(22-byte directory, 5680 bytes of image): three blue bars, 9 wide and 24
high, 3 apart, from x 4 and y 3; everything else fully transparent.

The output is deterministic; the build compiles the committed files in, so
run this only when the look changes:  python3 make_images.py [out_dir]
"""
import struct
import sys
from pathlib import Path

STRIP_W, STRIP_H = 200, 30
FRAME = 2
LIGHT_RED = (250, 140, 140)  # RGB
WHITE = (255, 255, 255)

BARS_W, BARS_H = 45, 30
BAR_W, BAR_H, BAR_GAP = 9, 24, 3
BAR_LEFT, BAR_TOP = 4, 3
BAR_COUNT = 3


def strip_pixel(x, y):
    edge = x < FRAME or y < FRAME or x >= STRIP_W - FRAME or y >= STRIP_H - FRAME
    return LIGHT_RED if edge else WHITE


def bar_pixel(x, y):
    """RGBA of the bars picture at (x, y), y counted from the top."""
    if not BAR_TOP <= y < BAR_TOP + BAR_H:
        return (0, 0, 0, 0)
    for i in range(BAR_COUNT):
        left = BAR_LEFT + i * (BAR_W + BAR_GAP)
        if left <= x < left + BAR_W:
            # Rounded look: lightest in the middle column, darker toward the
            # sides, a little darker toward the bottom.
            across = abs((x - left) - (BAR_W - 1) / 2) / ((BAR_W - 1) / 2)
            down = (y - BAR_TOP) / (BAR_H - 1)
            light = 1.0 - 0.65 * across * across - 0.2 * down
            return (int(20 + 110 * light), int(60 + 130 * light), int(150 + 105 * light), 255)
    return (0, 0, 0, 0)


def make_strip():
    row_bytes = STRIP_W * 3  # 600: already a multiple of 4, no row padding
    pixels = bytearray()
    for y in reversed(range(STRIP_H)):  # BMP rows run bottom-up
        for x in range(STRIP_W):
            r, g, b = strip_pixel(x, y)
            pixels += bytes((b, g, r))
    assert len(pixels) == row_bytes * STRIP_H == 18000
    header = struct.pack('<2sIHHI', b'BM', 54 + len(pixels), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, STRIP_W, STRIP_H, 1, 24, 0, len(pixels), 2835, 2835,
                       0, 0)
    return header + info + bytes(pixels)


def make_bars():
    colour = bytearray()
    mask = bytearray()
    mask_row = ((BARS_W + 31) // 32) * 4  # 8 bytes: 45 bits padded to 64
    for y in reversed(range(BARS_H)):
        bits = 0
        for x in range(BARS_W):
            r, g, b, a = bar_pixel(x, y)
            colour += bytes((b, g, r, a))
            if a == 0:  # mask bit set = transparent where alpha is ignored
                bits |= 1 << (mask_row * 8 - 1 - x)
        mask += bits.to_bytes(mask_row, 'big')
    # The icon's DIB header counts colour and mask rows together: height x 2.
    info = struct.pack('<IiiHHIIiiII', 40, BARS_W, BARS_H * 2, 1, 32, 0, len(colour) + len(mask),
                       0, 0, 0, 0)
    image = info + bytes(colour) + bytes(mask)
    assert len(image) == 5680
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', BARS_W, BARS_H, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent
    (out / 'strip.bmp').write_bytes(make_strip())
    (out / 'bars.ico').write_bytes(make_bars())


if __name__ == '__main__':
    main()
