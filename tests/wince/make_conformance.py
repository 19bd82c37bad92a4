#!/usr/bin/python3
"""Writes the CE conformance set: small sources of every channel count in the formats
below, and what the Linux library (libTarveloImageTGA.so, through ctypes) makes of
each with BMP2TGA (NAME.tga) and TGA2BMP (NAME.bmp); manifest.txt lists the names.

Usage: make_conformance.py LIBRARY OUTPUT_DIR
"""
import ctypes
import os
import struct
import sys
import zlib


def pixels(width, height, channels, seed):
    return bytes((x * 37 + y * 71 + c * 113 + seed) % 256
                 for y in range(height) for x in range(width) for c in range(channels))


def png(width, height, colour_type, channels, depth=8):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    row_bytes = width * channels * depth // 8
    data = pixels(row_bytes, height, 1, colour_type)
    raw = b"".join(b"\x00" + data[y * row_bytes:(y + 1) * row_bytes] for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def bmp24(width, height):
    stride = (width * 3 + 3) & ~3
    rows = b"".join(pixels(width, 1, 3, y) + b"\x00" * (stride - width * 3) for y in range(height))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(rows), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    return header + info + rows


def tga(width, height, bits, image_type=2):
    channels = bits // 8
    data = bytearray(pixels(width, height, channels, bits))
    if channels == 4:
        data[3::8] = bytes(len(data[3::8]))  # every other pixel transparent
    header = struct.pack("<BBBHHBHHHHBB", 0, 0, image_type, 0, 0, 0, 0, 0, width, height, bits,
                         8 if channels == 4 else 0)
    return header + bytes(data)


def pnm(kind, width, height, channels):
    return b"P%d\n%d %d\n255\n" % (kind, width, height) + pixels(width, height, channels, kind)


def hdr(width, height):
    flat = bytes(v for y in range(height) for x in range(width)
                 for v in ((x * 50 + y * 30) % 256, (x * 20 + 90) % 256, (y * 60 + 10) % 256, 128 + (x + y) % 3))
    return b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n" % (height, width) + flat


def gif(width, height):
    """A 256-colour GIF whose LZW stream sends only literal codes, clearing the table
    before it grows past 9-bit codes."""
    palette = bytes(v for i in range(256) for v in (i, 255 - i, (i * 7) % 256))
    indices = pixels(width, height, 1, 5)
    codes, clear, end = [], 256, 257
    for i, index in enumerate(indices):
        if i % 250 == 0:
            codes.append(clear)
        codes.append(index)
    codes.append(end)
    bits = value = 0
    stream = bytearray()
    for code in codes:
        value |= code << bits
        bits += 9
        while bits >= 8:
            stream.append(value & 0xFF)
            value >>= 8
            bits -= 8
    if bits:
        stream.append(value)
    blocks = b"".join(bytes([len(stream[i:i + 255])]) + stream[i:i + 255] for i in range(0, len(stream), 255))
    return (b"GIF89a" + struct.pack("<HHBBB", width, height, 0xF7, 0, 0) + palette +
            b"," + struct.pack("<HHHHB", 0, 0, width, height, 0) + b"\x08" + blocks + b"\x00;")


SOURCES = {
    "grey-pgm": pnm(5, 5, 3, 1),
    "grey-png16": png(3, 2, 0, 1, 16),
    "grey-alpha-png": png(4, 3, 4, 2),
    "rgb-bmp": bmp24(5, 3),
    "rgb-ppm": pnm(6, 7, 2, 3),
    "rgb-tga": tga(3, 4, 24),
    "rgba-tga": tga(3, 2, 32),
    "rgba-png": png(3, 3, 6, 4),
    "grey-tga": tga(4, 2, 8, 3),
    "rgbe-hdr": hdr(3, 2),
    "palette-gif": gif(40, 30),
}


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    library = ctypes.CDLL(sys.argv[1])
    out = sys.argv[2]
    os.makedirs(out, exist_ok=True)
    for name, data in SOURCES.items():
        source = os.path.join(out, name + ".src")
        with open(source, "wb") as f:
            f.write(data)
        for export, extension in (("BMP2TGA", "tga"), ("TGA2BMP", "bmp")):
            function = getattr(library, export)
            function.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
            destination = os.path.join(out, name + "." + extension)
            if os.path.exists(destination):
                os.remove(destination)
            function(source, destination)
            if not os.path.exists(destination):
                print(f"the Linux library did not convert {name}", file=sys.stderr)
                return 1
    with open(os.path.join(out, "manifest.txt"), "w", encoding="ascii") as manifest:
        manifest.write("\n".join(SOURCES) + "\n")
    print(f"{len(SOURCES)} sources, {2 * len(SOURCES)} expected files in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
