"""Output bytes against the layouts, through every way in: files, bytes, pixels."""

import numpy as np
import pytest

import tarvelo
from reference import EXPECTED, expected_bmp, expected_tga, pattern, png, pnm


def test_reference_matches_the_published_headers():
    # The expected-bytes builders are checked against literal headers before they judge the library.
    tga = expected_tga(np.zeros((2, 300, 4), np.uint8))
    assert tga[:18].hex(" ") == "00 00 02 00 00 00 00 00 00 00 00 00 2c 01 02 00 20 08"
    bmp = expected_bmp(np.zeros((2, 3, 3), np.uint8))
    assert bmp[:30].hex(" ") == (
        "42 4d 4e 00 00 00 00 00 00 00 36 00 00 00 28 00 00 00 03 00 00 00 02 00 00 00 01 00 18 00"
    )
    assert bmp[30:54] == bytes(24) and len(bmp) == 78
    one = np.array([[[1, 2, 3]]], np.uint8)
    assert expected_tga(one)[-3:] == b"\x03\x02\x01" and len(expected_tga(one)) == 21
    assert expected_bmp(one)[54:] == b"\x03\x02\x01\x00" and expected_bmp(one)[2:6] == (58).to_bytes(4, "little")


@pytest.mark.parametrize("layout", ["tga", "bmp"])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_convert_file_to_file(tmp_path, layout, channels):
    for width in range(1, 8):
        pixels = pattern(3, width, channels, seed=width)
        source = tmp_path / f"in{width}.png"
        source.write_bytes(png(pixels))
        destination = tmp_path / f"out{width}.{layout}"
        tarvelo.convert(source, destination, layout)
        assert destination.read_bytes() == EXPECTED[layout](pixels), (width, channels)


def test_layout_from_destination_name(tmp_path):
    pixels = pattern(2, 5, 3)
    source = tmp_path / "in.ppm"
    source.write_bytes(pnm(pixels))
    tarvelo.convert(str(source), str(tmp_path / "a.TGA"))
    tarvelo.convert(source, tmp_path / "b.Bmp")
    assert (tmp_path / "a.TGA").read_bytes() == expected_tga(pixels)
    assert (tmp_path / "b.Bmp").read_bytes() == expected_bmp(pixels)
    # An explicit layout wins over the name.
    tarvelo.convert(source, tmp_path / "c.tga", tarvelo.Layout.BMP)
    assert (tmp_path / "c.tga").read_bytes() == expected_bmp(pixels)
    assert tarvelo.layout_from_name("dir.tga/photo.BMP") is tarvelo.Layout.BMP


def test_unicode_paths(tmp_path):
    pixels = pattern(2, 2, 1)
    folder = tmp_path / "Ünïcode ☃"
    folder.mkdir()
    (folder / "é.pgm").write_bytes(pnm(pixels))
    tarvelo.convert(folder / "é.pgm", folder / "ß.tga")
    assert (folder / "ß.tga").read_bytes() == expected_tga(pixels)


@pytest.mark.parametrize("layout", ["tga", "bmp"])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_encode_matches_the_layout(layout, channels):
    for width in range(1, 8):
        pixels = pattern(4, width, channels, seed=10 + width)
        assert tarvelo.encode(pixels, layout) == EXPECTED[layout](pixels), (width, channels)
    grey = pattern(3, 5, 1)[:, :, 0]  # (height, width) is grey too
    assert tarvelo.encode(grey, layout) == EXPECTED[layout](grey)


def test_convert_bytes_and_sources_of_one_picture_agree():
    pixels = pattern(5, 6, 3, seed=3)
    for data in (png(pixels), pnm(pixels), bytearray(png(pixels)), memoryview(pnm(pixels))):
        assert tarvelo.convert_bytes(data, layout="tga") == expected_tga(pixels)
        assert tarvelo.convert_bytes(data, layout=tarvelo.Layout.BMP) == expected_bmp(pixels)
    # A TGA the library wrote reads back as the same picture.
    assert tarvelo.convert_bytes(tarvelo.encode(pixels, "tga"), layout="bmp") == expected_bmp(pixels)


def test_info_from_file_and_bytes(tmp_path):
    cases = [(pattern(3, 7, 2), png, "PNG", 2), (pattern(4, 9, 3), pnm, "PNM", 3), (pattern(2, 1, 4), png, "PNG", 4)]
    for pixels, writer, kind, channels in cases:
        data = writer(pixels)
        path = tmp_path / f"image.{kind.lower()}"
        path.write_bytes(data)
        expected = tarvelo.ImageInfo(pixels.shape[1], pixels.shape[0], channels, kind)
        assert tarvelo.info(path) == expected
        assert tarvelo.info(str(path)) == expected
        assert tarvelo.info(data) == expected
    assert tarvelo.info(tarvelo.encode(pattern(2, 3, 4), "tga")) == (3, 2, 4, "TGA")
