#!/usr/bin/env python3
"""Draws the program's icon (res/trelkin.ico: 32x32 and 16x16) and logo (res/logo.bmp: 201x94),
both in the 16-colour palette. Rerun it to remake them: python3 tools/art/make_art.py res/"""
import struct
import sys
from pathlib import Path

PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
           (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
           (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, NAVY, TEAL, SILVER, GREY, BLUE, YELLOW, CYAN, WHITE = 0, 4, 6, 7, 8, 12, 11, 14, 15

FONT = {  # 5x7 capitals, one string of five bits a row
    'A': "01110 10001 10001 11111 10001 10001 10001", 'B': "11110 10001 10001 11110 10001 10001 11110",
    'C': "01110 10001 10000 10000 10000 10001 01110", 'D': "11110 10001 10001 10001 10001 10001 11110",
    'E': "11111 10000 10000 11110 10000 10000 11111", 'F': "11111 10000 10000 11110 10000 10000 10000",
    'I': "01110 00100 00100 00100 00100 00100 01110", 'K': "10001 10010 10100 11000 10100 10010 10001",
    'L': "10000 10000 10000 10000 10000 10000 11111", 'N': "10001 11001 10101 10011 10001 10001 10001",
    'O': "01110 10001 10001 10001 10001 10001 01110", 'R': "11110 10001 10001 11110 10100 10010 10001",
    'S': "01111 10000 10000 01110 00001 00001 11110", 'T': "11111 00100 00100 00100 00100 00100 00100",
    'V': "10001 10001 10001 10001 10001 01010 00100", 'W': "10001 10001 10001 10101 10101 10101 01010",
    ' ': "00000 00000 00000 00000 00000 00000 00000",
}


def canvas(width, height, colour):
    return [[colour] * width for _ in range(height)]


def rect(pixels, x0, y0, x1, y1, colour):
    for y in range(max(y0, 0), min(y1, len(pixels))):
        for x in range(max(x0, 0), min(x1, len(pixels[0]))):
            pixels[y][x] = colour


def arrow(pixels, cx, top, size, colour):
    """A download arrow: a shaft, a head pointing down and a tray below, `size` pixels tall."""
    shaft = max(size // 6, 1)
    rect(pixels, cx - shaft, top, cx + shaft + 1, top + size // 2, colour)
    head = size // 2
    for row in range(head - size // 8):
        half = head // 2 + size // 8 - row
        rect(pixels, cx - half, top + size // 2 + row - size // 8 + 1, cx + half + 1, top + size // 2 + row - size // 8 + 2, colour)
    rect(pixels, cx - size // 2 + 1, top + size - max(size // 10, 1), cx + size // 2, top + size, colour)


def text(pixels, x, y, words, colour, scale=1):
    for ch in words:
        rows = FONT[ch].split()
        for r, bits in enumerate(rows):
            for c, bit in enumerate(bits):
                if bit == '1':
                    rect(pixels, x + c * scale, y + r * scale, x + (c + 1) * scale, y + (r + 1) * scale, colour)
        x += 6 * scale
    return x


def dib_4bpp(pixels, with_mask):
    """A bottom-up 4-bit DIB; for icons the height doubles and an AND mask (all opaque) follows."""
    height, width = len(pixels), len(pixels[0])
    row_bytes = ((width + 1) // 2 + 3) // 4 * 4
    body = b''
    for row in reversed(pixels):
        packed = bytearray(row_bytes)
        for x, colour in enumerate(row):
            packed[x // 2] |= colour << (4 if x % 2 == 0 else 0)
        body += bytes(packed)
    if with_mask:
        body += bytes(((width + 31) // 32 * 4) * height)
    header = struct.pack('<IiiHHIIiiII', 40, width, height * (2 if with_mask else 1), 1, 4, 0, len(body), 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + body


def icon_image(size):
    pixels = canvas(size, size, NAVY)
    rect(pixels, 0, 0, size, 1, BLUE)
    rect(pixels, 0, 0, 1, size, BLUE)
    arrow(pixels, size // 2, size // 8, size - size // 4, YELLOW)
    return pixels


def write_icon(path):
    images = [dib_4bpp(icon_image(size), True) for size in (32, 16)]
    header = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b''
    for size, image in zip((32, 16), images):
        entries += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    path.write_bytes(header + entries + b''.join(images))


def write_logo(path):
    pixels = canvas(201, 94, NAVY)
    rect(pixels, 0, 0, 201, 4, BLUE)
    rect(pixels, 0, 90, 201, 94, BLUE)
    arrow(pixels, 30, 18, 56, YELLOW)
    text(pixels, 66, 22, "CORVANE", WHITE, 2)
    text(pixels, 66, 46, "BRISKO", CYAN, 2)
    text(pixels, 66, 70, "DOWNLOAD", SILVER, 1)
    dib = dib_4bpp(pixels, False)
    file_header = struct.pack('<2sIHHI', b'BM', 14 + len(dib), 0, 0, 14 + 40 + 64)
    path.write_bytes(file_header + dib)


if __name__ == '__main__':
    out = Path(sys.argv[1] if len(sys.argv) > 1 else 'res')
    out.mkdir(parents=True, exist_ok=True)
    write_icon(out / 'trelkin.ico')
    write_logo(out / 'logo.bmp')
