"""encode reads any memory layout of the pixels correctly."""

import numpy as np
import pytest

import tarvelo
from tarvelo import _api
from reference import EXPECTED, pattern


def _views():
    base = pattern(9, 11, 4, seed=5)
    yield "packed", base
    yield "row padding (crop of a wider image)", base[1:7, 2:9, :]
    yield "every other column", base[:, ::2, :]
    yield "every other row", base[::2]
    yield "upside down", base[::-1]
    yield "mirrored", base[:, ::-1]
    yield "channels reversed", base[:, :, ::-1]
    yield "three of four channels", base[:, :, :3]
    yield "one channel of four", base[:, :, 1]
    yield "transposed", base.transpose(1, 0, 2)
    yield "Fortran order", np.asfortranarray(base[:, :, :3])
    yield "one row", base[4:5, 1:6]
    yield "one column", base[:, 3:4]
    yield "broadcast row", np.broadcast_to(base[0:1], (5, 11, 4))


@pytest.mark.parametrize("layout", ["tga", "bmp"])
def test_every_view_gives_the_bytes_of_its_packed_copy(layout):
    for name, view in _views():
        assert tarvelo.encode(view, layout) == EXPECTED[layout](np.ascontiguousarray(view)), name


def test_rows_with_contiguous_bytes_are_read_in_place():
    base = pattern(6, 10, 3)
    crop = base[1:5, 2:8]
    array, height, width, channels, row_stride = _api._pixel_source(crop)
    assert array is crop and (height, width, channels) == (4, 6, 3) and row_stride == 30
    strided, *_, row_stride = _api._pixel_source(base[:, ::2])
    assert strided.flags.c_contiguous and row_stride == 0


def test_buffer_protocol_objects():
    pixels = pattern(3, 5, 3, seed=9)
    raw = bytearray(pixels.tobytes())
    shaped = memoryview(raw).cast("B", (3, 5, 3))
    assert tarvelo.encode(shaped, "tga") == EXPECTED["tga"](pixels)
    # Without numpy, the buffer protocol alone.
    data, height, width, channels, row_stride = _api._pixels_from_buffer(shaped)
    assert (data, height, width, channels, row_stride) == (bytes(raw), 3, 5, 3, 0)
    with pytest.raises(tarvelo.InvalidArgument):
        _api._pixels_from_buffer(memoryview(raw))  # no shape


@pytest.mark.parametrize(
    "pixels",
    [
        np.zeros((2, 2, 3), np.uint16),
        np.zeros((2, 2, 3), np.float32),
        np.zeros((2, 2, 5), np.uint8),
        np.zeros((2, 2, 0), np.uint8),
        np.zeros((0, 4, 3), np.uint8),
        np.zeros((4,), np.uint8),
        np.zeros((2, 2, 2, 2), np.uint8),
    ],
    ids=["uint16", "float", "5 channels", "0 channels", "no rows", "1-D", "4-D"],
)
def test_unusable_arrays_are_invalid_arguments(pixels):
    with pytest.raises(tarvelo.InvalidArgument) as caught:
        tarvelo.encode(pixels, "tga")
    assert caught.value.status == tarvelo.Status.INVALID_ARGUMENT
    assert isinstance(caught.value, ValueError)
