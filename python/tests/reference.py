"""Expected output files built from the layout tables alone, and small writers of
source files, none of them using the library."""

from __future__ import annotations

import struct
import zlib

import numpy as np

MAGENTA = (255, 0, 255)  # red, green, blue of the BMP background


def _as_hwc(pixels: np.ndarray) -> np.ndarray:
    pixels = np.asarray(pixels, dtype=np.uint8)
    return pixels[:, :, None] if pixels.ndim == 2 else pixels


def expected_tga(pixels: np.ndarray) -> bytes:
    image = _as_hwc(pixels)
    height, width, channels = image.shape
    alpha = channels in (2, 4)
    header = struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, width, height, 32 if alpha else 24, 8 if alpha else 0)
    if channels in (1, 2):
        grey = image[:, :, 0:1]
        body = [grey, grey, grey] + ([image[:, :, 1:2]] if alpha else [])
    else:
        body = [image[:, :, 2:3], image[:, :, 1:2], image[:, :, 0:1]] + ([image[:, :, 3:4]] if alpha else [])
    rows = np.concatenate(body, axis=2)[::-1]
    return header + rows.tobytes()


def _flatten(colour: np.ndarray, alpha: np.ndarray, background: int) -> np.ndarray:
    # bg + ((c - bg) * a) / 255 with the division truncating toward zero.
    product = (colour.astype(np.int64) - background) * alpha.astype(np.int64)
    quotient = np.where(product < 0, -((-product) // 255), product // 255)
    return (background + quotient).astype(np.uint8)


def expected_bmp(pixels: np.ndarray) -> bytes:
    image = _as_hwc(pixels)
    height, width, channels = image.shape
    pad = width % 4
    size = 54 + (3 * width + pad) * height
    header = b"BM" + struct.pack("<IHHIIiiHHIIiiII", size, 0, 0, 54, 40, width, height, 1, 24, 0, 0, 0, 0, 0, 0)
    if channels in (1, 2):
        blue = green = red = image[:, :, 0]
    elif channels == 3:
        red, green, blue = image[:, :, 0], image[:, :, 1], image[:, :, 2]
    else:
        alpha = image[:, :, 3]
        red = _flatten(image[:, :, 0], alpha, MAGENTA[0])
        green = _flatten(image[:, :, 1], alpha, MAGENTA[1])
        blue = _flatten(image[:, :, 2], alpha, MAGENTA[2])
    rows = np.stack([blue, green, red], axis=2).reshape(height, 3 * width)
    rows = np.concatenate([rows, np.zeros((height, pad), np.uint8)], axis=1)[::-1]
    return header + rows.tobytes()


EXPECTED = {"tga": expected_tga, "bmp": expected_bmp}


def png(pixels: np.ndarray) -> bytes:
    """A PNG file of 8-bit grey, grey+alpha, RGB or RGBA pixels."""
    image = _as_hwc(pixels)
    height, width, channels = image.shape
    colour_type = {1: 0, 2: 4, 3: 2, 4: 6}[channels]

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    scanlines = np.concatenate([np.zeros((height, 1), np.uint8), image.reshape(height, width * channels)], axis=1)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(scanlines.tobytes(), 1))
        + chunk(b"IEND", b"")
    )


def pnm(pixels: np.ndarray) -> bytes:
    """A binary PGM (grey) or PPM (RGB) file."""
    image = _as_hwc(pixels)
    height, width, channels = image.shape
    magic = {1: b"P5", 3: b"P6"}[channels]
    return magic + b"\n%d %d\n255\n" % (width, height) + image.tobytes()


def pattern(height: int, width: int, channels: int, seed: int = 0) -> np.ndarray:
    """Pixels with no symmetry, and alpha values at the edges of the flattening."""
    generator = np.random.default_rng(seed)
    image = generator.integers(0, 256, size=(height, width, channels), dtype=np.uint8)
    if channels in (2, 4):
        alphas = np.array([0, 1, 127, 128, 254, 255], np.uint8)
        image[:, :, -1] = alphas[np.arange(height * width).reshape(height, width) % len(alphas)]
    return image
