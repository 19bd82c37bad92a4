"""The conversions: thin calls into the shared library."""

from __future__ import annotations

import ctypes
import enum
import os
from typing import Any, NamedTuple, Optional, Tuple, Union

from . import _library
from .errors import InvalidArgument, ImageTooLarge, Status, error_for

StrPath = Union[str, "os.PathLike[str]", bytes, "os.PathLike[bytes]"]
BytesLike = Union[bytes, bytearray, memoryview]

_lib = _library.Library(_library.load())

# Long enough for any reason the library gives; a longer one is truncated by it.
_DETAIL_SIZE = 512
_INT_MAX = 2**31 - 1


class Layout(enum.IntEnum):
    """Output layouts (the library's TarveloLayout values)."""

    TGA = 0  #: uncompressed true-colour TGA, 24 bits, or 32 with alpha
    BMP = 1  #: uncompressed 24-bit BMP, alpha flattened against magenta


LayoutLike = Union[Layout, str]


class ImageInfo(NamedTuple):
    """What :func:`info` reports about an image, without decoding its pixels."""

    width: int
    height: int
    channels: int  #: 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA: what a conversion decodes
    format: str  #: "JPEG", "PNG", "BMP", "GIF", "PSD", "PIC", "PNM", "HDR" or "TGA"


def library_version() -> str:
    """The loaded library's version, "major.minor.patch.build" (``__version__`` is the package's)."""
    return _lib.version()


def library_path() -> str:
    """The file the shared library was loaded from (as given to the loader)."""
    return _lib.path


def _layout(layout: LayoutLike) -> Layout:
    if isinstance(layout, Layout):
        return layout
    if isinstance(layout, str):
        try:
            return Layout[layout.upper()]
        except KeyError:
            pass
    elif isinstance(layout, int) and not isinstance(layout, bool) and layout in Layout._value2member_map_:
        return Layout(layout)
    raise InvalidArgument(Status.INVALID_ARGUMENT, "invalid argument", f"unknown layout {layout!r}: use 'tga' or 'bmp'")


def _path(path: StrPath) -> bytes:
    # The library takes UTF-8 paths; os.fsencode gives exactly the bytes the file
    # system holds on POSIX, undecodable names included.
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise InvalidArgument(Status.INVALID_ARGUMENT, "invalid argument", "path contains a NUL character")
    return encoded


def _check(status: int, detail: "ctypes.Array[ctypes.c_char]") -> None:
    if status != Status.CONVERTED:
        message = _lib.TarveloStatusMessage(status).decode("utf-8", "replace")
        raise error_for(status, message, detail.value.decode("utf-8", "replace"))


def layout_from_name(name: StrPath) -> Layout:
    """The layout a file name asks for from its extension, any case: ".tga" or ".bmp".

    Raises:
        InvalidArgument: any other name.
    """
    encoded = _path(name)
    if _lib.TarveloLayoutFromName is not None:
        value = ctypes.c_int(-1)
        if _lib.TarveloLayoutFromName(encoded, ctypes.byref(value)) == Status.CONVERTED:
            return Layout(value.value)
    else:
        extension = os.path.splitext(encoded)[1].lower()
        if extension in (b".tga", b".bmp"):
            return Layout[extension[1:].decode("ascii").upper()]
    raise InvalidArgument(
        Status.INVALID_ARGUMENT,
        "invalid argument",
        f"cannot tell the layout from {os.fsdecode(name)!r}: name a .tga or .bmp file, or pass layout=",
    )


def convert(source: StrPath, destination: StrPath, layout: Optional[LayoutLike] = None) -> None:
    """Converts the image file `source` into `destination`.

    The source may be any format the decoder reads (JPEG, PNG, BMP, TGA, GIF, PSD,
    PIC, PNM, Radiance HDR), recognised by its contents. The destination is written to
    a temporary file that replaces it only when complete: on failure no file is
    created and an existing destination keeps its bytes. The GIL is released during
    the conversion.

    Args:
        source: path of the image to read.
        destination: path of the file to write.
        layout: "tga", "bmp" or a :class:`Layout`; None takes it from the
            destination's extension (.tga or .bmp, any case).

    Raises:
        SourceUnreadable, DestinationUnopenable, WriteFailed, ImageTooLarge,
        InvalidArgument: see :mod:`tarvelo.errors`.
    """
    chosen = layout_from_name(destination) if layout is None else _layout(layout)
    detail = ctypes.create_string_buffer(_DETAIL_SIZE)
    status = _lib.TarveloConvert(_path(source), _path(destination), int(chosen), detail, _DETAIL_SIZE)
    _check(status, detail)


def _take_buffer(output: ctypes.c_void_p, size: ctypes.c_size_t) -> bytes:
    try:
        return ctypes.string_at(output.value, size.value) if size.value else b""
    finally:
        _lib.TarveloFree(output)


def _readable(data: Any) -> Tuple[Any, int]:
    """A pointer argument for the bytes of `data` (kept alive by the caller) and their count."""
    if isinstance(data, bytes):
        return data, len(data)
    view = memoryview(data)
    if not view.c_contiguous or view.readonly:
        data = view.tobytes()
        return data, len(data)
    view = view.cast("B")
    return (ctypes.c_char * view.nbytes).from_buffer(view), view.nbytes


def convert_bytes(data: BytesLike, layout: LayoutLike) -> bytes:
    """Converts an encoded image held in memory; returns the output file's bytes.

    Args:
        data: the bytes of an image file in any format the decoder reads.
        layout: "tga", "bmp" or a :class:`Layout`.

    Raises:
        SourceUnreadable: corrupt, unsupported or empty data.
        ImageTooLarge, InvalidArgument: see :mod:`tarvelo.errors`.
    """
    chosen = _layout(layout)
    function = _lib.require("TarveloConvertMemoryToBuffer")
    pointer, size = _readable(data)
    output, output_size = ctypes.c_void_p(), ctypes.c_size_t()
    detail = ctypes.create_string_buffer(_DETAIL_SIZE)
    status = function(
        pointer, size, int(chosen), ctypes.byref(output), ctypes.byref(output_size), None, detail, _DETAIL_SIZE
    )
    _check(status, detail)
    return _take_buffer(output, output_size)


def _pixel_geometry(shape: Tuple[int, ...]) -> Tuple[int, int, int]:
    if len(shape) == 2:
        height, width, channels = shape[0], shape[1], 1
    elif len(shape) == 3 and 1 <= shape[2] <= 4:
        height, width, channels = shape
    else:
        raise InvalidArgument(
            Status.INVALID_ARGUMENT,
            "invalid argument",
            f"pixels of shape {tuple(shape)}: expected (height, width) or (height, width, 1-4)",
        )
    if height < 1 or width < 1:
        raise InvalidArgument(Status.INVALID_ARGUMENT, "invalid argument", f"empty image of shape {tuple(shape)}")
    if height > _INT_MAX or width > _INT_MAX:
        raise ImageTooLarge(Status.IMAGE_TOO_LARGE, "image too large", f"image of shape {tuple(shape)}")
    return height, width, channels


def _rows_in_place(strides: Tuple[int, ...], height: int, width: int, channels: int) -> Optional[int]:
    """The row stride to pass when each row's bytes are contiguous, else None."""
    pixel_stride = strides[1]
    if width > 1 and pixel_stride != channels:
        return None
    if len(strides) == 3 and channels > 1 and strides[2] != 1:
        return None
    if height == 1:
        return 0
    row_stride = strides[0]
    return row_stride if row_stride >= width * channels else None


def _pixel_source(pixels: Any) -> Tuple[Any, int, int, int, int]:
    """(pointer argument, height, width, channels, row stride) for `pixels`."""
    try:
        import numpy
    except ImportError:  # pragma: no cover - exercised through _pixels_from_buffer
        return _pixels_from_buffer(pixels)
    array = numpy.asarray(pixels)
    if array.dtype != numpy.uint8:
        raise InvalidArgument(
            Status.INVALID_ARGUMENT, "invalid argument", f"pixels of type {array.dtype}: expected uint8"
        )
    height, width, channels = _pixel_geometry(array.shape)
    row_stride = _rows_in_place(array.strides, height, width, channels)
    if row_stride is None:
        array = numpy.ascontiguousarray(array)
        row_stride = 0
    return array, height, width, channels, row_stride


def _pixels_from_buffer(pixels: Any) -> Tuple[Any, int, int, int, int]:
    """As _pixel_source, through the buffer protocol alone (numpy not installed): the
    pixels are copied into one packed block."""
    view = memoryview(pixels)
    if view.format not in ("B", "b", "c") or view.itemsize != 1:
        raise InvalidArgument(
            Status.INVALID_ARGUMENT, "invalid argument", f"pixels of format {view.format!r}: expected bytes (uint8)"
        )
    height, width, channels = _pixel_geometry(view.shape or (len(view),))
    return view.tobytes(), height, width, channels, 0


def _pointer(source: Any) -> Any:
    if isinstance(source, bytes):
        return source
    return ctypes.c_void_p(source.ctypes.data)


def encode(pixels: Any, layout: LayoutLike) -> bytes:
    """Writes pixels held in memory as a TGA or BMP file; returns the file's bytes.

    Args:
        pixels: a numpy array of uint8, (height, width) for grey or (height, width,
            channels) with 1 grey, 2 grey+alpha, 3 RGB or 4 RGBA channels, top row
            first, with any strides; or any object with the buffer protocol and such a
            shape (a memoryview cast to a shape, an array-interface object). Rows whose
            bytes are contiguous are read in place (any row stride); other arrays are
            copied once into a packed block first.
        layout: "tga", "bmp" or a :class:`Layout`.

    Raises:
        InvalidArgument: not uint8, wrong shape, empty.
        ImageTooLarge: a TGA side over 65535, or a BMP file over 4 GiB.
    """
    chosen = _layout(layout)
    function = _lib.require("TarveloWritePixelsToBuffer")
    source, height, width, channels, row_stride = _pixel_source(pixels)
    output, output_size = ctypes.c_void_p(), ctypes.c_size_t()
    detail = ctypes.create_string_buffer(_DETAIL_SIZE)
    status = function(
        _pointer(source),
        width,
        height,
        channels,
        row_stride,
        int(chosen),
        ctypes.byref(output),
        ctypes.byref(output_size),
        None,
        detail,
        _DETAIL_SIZE,
    )
    _check(status, detail)
    return _take_buffer(output, output_size)


def info(source: Union[StrPath, BytesLike]) -> ImageInfo:
    """Size, channel count and format of an image, without decoding its pixels.

    Args:
        source: a path (str or os.PathLike), or the image file's bytes (bytes,
            bytearray, memoryview).

    Raises:
        SourceUnreadable: missing, corrupt or unsupported, or refused as a conversion
            would refuse it.
    """
    result = _library.ImageInfoStruct()
    detail = ctypes.create_string_buffer(_DETAIL_SIZE)
    if isinstance(source, (bytes, bytearray, memoryview)):
        function = _lib.require("TarveloReadInfoMemory")
        pointer, size = _readable(source)
        status = function(pointer, size, ctypes.byref(result), detail, _DETAIL_SIZE)
    else:
        function = _lib.require("TarveloReadInfo")
        status = function(_path(source), ctypes.byref(result), detail, _DETAIL_SIZE)
    _check(status, detail)
    return ImageInfo(result.width, result.height, result.channels, (result.format or b"").decode("ascii"))
