#!/usr/bin/env python3
"""Writes a multi-size .ico: a kestrel-blue disc with a light wing. Images below 256 pixels are 32-bit bitmaps,
256 is a PNG, as Windows' own icons are. Usage: make-icon.py <output.ico> <size>[,<size>...]"""
import struct
import sys
import zlib


def pixel(x, y, size):
    """RGBA of one pixel, y counted from the top."""
    centre = (size - 1) / 2
    dx, dy = (x - centre) / size, (y - centre) / size
    if dx * dx + dy * dy > 0.235:
        return (0, 0, 0, 0)
    if abs(dy + dx * 0.6) < 0.09 and dx > -0.35:
        return (240, 236, 220, 255)
    return (30, 80 + int(120 * (y / size)), 170, 255)


def bitmap(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = bytearray()
    for y in reversed(range(size)):  # bottom-up
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            rows += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    return header + bytes(rows) + bytes(mask_row * size)  # alpha decides; the mask is all opaque


def png(size):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + bytes(c for x in range(size) for c in pixel(x, y, size)) for y in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    output, sizes = sys.argv[1], [int(s) for s in sys.argv[2].split(",")]
    images = [png(s) if s >= 256 else bitmap(s) for s in sizes]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for size, image in zip(sizes, images):
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(output, "wb") as file:
        file.write(directory + b"".join(images))


main()
