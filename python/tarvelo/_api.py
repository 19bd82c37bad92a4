"""The conversions: thin calls into the shared library.

One meaning per type, everywhere: ``str`` and ``os.PathLike`` are paths, ``bytes``,
``bytearray`` and ``memoryview`` are an image file's contents, and an object with
``read``/``write`` is a binary file object.
"""

from __future__ import annotations

import ctypes
import enum
import errno
import io
import os
from typing import Any, BinaryIO, NamedTuple, Optional, Tuple, Union

from . import _library
from .errors import ImageTooLarge, InvalidArgument, Status, WriteFailed, error_for

StrPath = Union[str, "os.PathLike[str]"]
BytesLike = Union[bytes, bytearray, memoryview]
#: What a call reads: a path, an image file's bytes, or a binary file object.
Source = Union[StrPath, BytesLike, BinaryIO]
#: Where a call writes: a path, or a binary file object.
Destination = Union[StrPath, BinaryIO]
_DATA_TYPES = (bytes, bytearray, memoryview)

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
    return _library.get().version()


def library_path() -> str:
    """The file the shared library was loaded from (as given to the loader)."""
    return _library.get().path


def _invalid(detail: str) -> InvalidArgument:
    return InvalidArgument(Status.INVALID_ARGUMENT, "invalid argument", detail)


def _is_path(value: Any) -> bool:
    return isinstance(value, (str, os.PathLike))


def _path(path: Any, role: str) -> bytes:
    """The UTF-8 bytes the library takes for a str or os.PathLike path."""
    if isinstance(path, _DATA_TYPES):
        raise TypeError(
            f"{role}: bytes are an image's contents, not a path; give the path as str or "
            "os.PathLike (os.fsdecode(name) for a file name held as bytes)"
        )
    if not _is_path(path):
        raise TypeError(f"{role}: expected a path (str or os.PathLike), got {type(path).__name__}")
    # os.fsencode gives exactly the bytes the file system holds on POSIX, undecodable
    # names (surrogate escapes) included.
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise _invalid(f"{role} path contains a NUL character")
    return encoded


def _file_name(value: Any) -> Optional[str]:
    """The file a path or a file object names, for exceptions and layouts."""
    if _is_path(value):
        return os.fsdecode(value)
    name = getattr(value, "name", None)
    return os.fsdecode(name) if _is_path(name) else None


def _check(result: _library.ResultStruct, source: Any = None, destination: Any = None) -> None:
    if result.status != Status.CONVERTED:
        message = _library.get().TarveloStatusMessage(result.status).decode("utf-8", "replace")
        concerned = source if result.status == Status.SOURCE_UNREADABLE else destination
        filename = _file_name(concerned) if concerned is not None else None
        detail = result.detail.decode("utf-8", "replace")
        raise error_for(result.status, message, detail, filename, result.error_number or None)


def _layout_by_library(name: str) -> Optional[Layout]:
    value = ctypes.c_int(-1)
    if _library.get().require("TarveloLayoutFromName")(os.fsencode(name), ctypes.byref(value)) == Status.CONVERTED:
        return Layout(value.value)
    return None


def layout_extension(layout: LayoutLike) -> str:
    """The file extension of a layout (".tga"), as the library's layout table gives it."""
    chosen = _layout(layout)
    for value, _name, extension in _library.get().layouts:
        if value == chosen:
            return extension
    raise _invalid(f"the loaded library has no layout {int(chosen)}")


def layout_from_name(name: StrPath) -> Layout:
    """The layout a name asks for, any case: "tga", ".tga" or a file name such as
    "out/photo.tga" (and the same for bmp), read by the library as the tool reads it.

    Raises:
        InvalidArgument: any other name.
    """
    text = os.fsdecode(_path(name, "name"))
    found = _layout_by_library(text)
    if found is None:
        raise _invalid(f"cannot tell the layout from {text!r}: name a .tga or .bmp file, or pass layout=")
    return found


def _layout(layout: Any) -> Layout:
    if isinstance(layout, Layout):
        return layout
    if isinstance(layout, str):
        found = _layout_by_library(layout) if "\0" not in layout else None
        if found is not None:
            return found
    elif isinstance(layout, int) and not isinstance(layout, bool) and layout in Layout._value2member_map_:
        return Layout(layout)
    names = " or ".join(repr(name) for _value, name, _extension in _library.get().layouts)
    raise _invalid(f"unknown layout {layout!r}: use {names}")


def _chosen_layout(destination: Any, layout: Optional[LayoutLike]) -> Layout:
    """`layout`, or the one the destination's name asks for (a file object's .name)."""
    if layout is not None:
        return _layout(layout)
    if _is_path(destination):
        if os.path.isdir(destination):
            # As the library reports a directory destination when the layout is given.
            name = os.fsdecode(destination)
            status = Status.DESTINATION_UNOPENABLE
            message = _library.get().TarveloStatusMessage(status).decode("utf-8", "replace")
            raise error_for(status, message, os.strerror(errno.EISDIR), name, errno.EISDIR)
        return layout_from_name(destination)
    name = _file_name(destination)
    if name is None:
        raise _invalid("a file object without a name gives no layout: pass layout='tga' or 'bmp'")
    return layout_from_name(name)


def _refuse_layout_as_destination(destination: Any) -> None:
    # encode(pixels, "tga") and convert_bytes(data, layout="tga") return bytes;
    # save(pixels, "tga") would write a file named "tga" instead. Refuse the mix-up.
    if isinstance(destination, Layout) or (
        isinstance(destination, str)
        and not os.path.splitext(destination)[1]
        and _layout_by_library(destination) is not None
    ):
        raise TypeError(
            f"{destination!r} names a layout, not a file: pass layout={str(destination).lower()!r} and "
            "no destination to get the bytes, or name a file"
        )


def _binary(value: Any, role: str, mode: str) -> None:
    """Refuses a text-mode file object, which reads and writes str, before anything is read or done."""
    if isinstance(value, io.TextIOBase):
        raise TypeError(
            f"{role}: {type(value).__name__} is a text-mode file object: open the file in binary mode ({mode!r})"
        )


def _is_reader(value: Any) -> bool:
    return not _is_path(value) and not isinstance(value, _DATA_TYPES) and callable(getattr(value, "read", None))


def _is_writer(value: Any) -> bool:
    if _is_path(value) or not callable(getattr(value, "write", None)):
        return False
    _binary(value, "destination", "wb")
    return True


def _read_whole(source: Any) -> bytes:
    data = source.read()
    if not isinstance(data, _DATA_TYPES):
        raise TypeError(
            f"source: {type(source).__name__}.read() gave {type(data).__name__}: open the file in binary mode"
        )
    return bytes(data)


def _source_data(source: Any) -> Any:
    """The image bytes of a bytes-like source or of a binary file object (read whole)."""
    if isinstance(source, _DATA_TYPES):
        return source
    if _is_reader(source):
        _binary(source, "source", "rb")
        return _read_whole(source)
    raise TypeError(
        f"source: expected a path (str or os.PathLike), the image's bytes or a binary file object, "
        f"got {type(source).__name__}"
    )


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


def _address(data: Any) -> Optional[int]:
    """The address of the bytes of `data` (bytes, a ctypes array or a numpy array), kept alive by the caller."""
    if isinstance(data, bytes):
        return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value
    if isinstance(data, ctypes.Array):
        return ctypes.addressof(data)
    return int(data.ctypes.data)


class _Source:
    """A TarveloSource and the Python objects whose memory it points to."""

    def __init__(self, source: Any) -> None:
        self.given = source
        self.struct = _library.SourceStruct()
        self._keep: Any = None
        if _is_path(source):
            self.struct.kind = _library.SOURCE_FILE
            self.struct.path = _path(source, "source")
        else:
            self._keep, self.struct.size = _readable(_source_data(source))
            self.struct.kind = _library.SOURCE_MEMORY
            self.struct.data = _address(self._keep)

    @classmethod
    def pixels(cls, pixels: Any) -> "_Source":
        if _is_path(pixels) or isinstance(pixels, (bytes, bytearray)) or _is_reader(pixels):
            raise TypeError(
                f"pixels: got {type(pixels).__name__}; encode and save take pixels (a numpy array of uint8): "
                "to convert an image file or its bytes, use tarvelo.convert or tarvelo.convert_bytes"
            )
        made = cls.__new__(cls)
        made.given = None
        made.struct = _library.SourceStruct()
        made._keep, height, width, channels, row_stride = _pixel_source(pixels)
        made.struct.kind = _library.SOURCE_PIXELS
        made.struct.data = _address(made._keep)
        made.struct.width, made.struct.height, made.struct.channels = width, height, channels
        made.struct.row_stride = row_stride
        return made


def _run(source: _Source, output: _library.OutputStruct, layout: Layout, destination: Any = None) -> None:
    """The library's one conversion call; raises the exception for a failure."""
    result = _library.ResultStruct()
    function = _library.get().require("TarveloConvertImage")
    function(ctypes.byref(source.struct), ctypes.byref(output), int(layout), None, ctypes.byref(result))
    _check(result, source=source.given, destination=destination)


def _to_file(source: _Source, destination: StrPath, layout: Layout) -> None:
    output = _library.OutputStruct(kind=_library.OUTPUT_FILE, path=_path(destination, "destination"))
    _run(source, output, layout, destination)


def _to_bytes(source: _Source, layout: Layout) -> bytes:
    """The output file in a buffer the library allocates at its exact size; nothing is
    written anywhere."""
    output = _library.OutputStruct(kind=_library.OUTPUT_BUFFER)
    _run(source, output, layout)
    try:
        return ctypes.string_at(output.buffer, output.size) if output.size else b""
    finally:
        _library.get().TarveloFree(output.buffer)


def _write_all(destination: BinaryIO, data: bytes) -> None:
    """Writes every byte by the io module's rules: a count is the bytes taken and the rest
    is offered again; None is "would block, nothing taken" from a raw stream and "all
    taken" from any other object; anything else is the object's fault, never a loop."""
    view = memoryview(data)
    while view:
        written = destination.write(view)
        if written is None:
            if isinstance(destination, io.RawIOBase):
                raise BlockingIOError(
                    errno.EAGAIN, "the destination file object would block", _file_name(destination)
                )
            return
        if isinstance(written, bool) or not isinstance(written, int) or not 0 < written <= len(view):
            raise WriteFailed(
                Status.WRITE_FAILED,
                "write failed",
                f"the destination's write() returned {written!r} for {len(view)} bytes",
                _file_name(destination),
            )
        view = view[written:]


def convert(source: Source, destination: Destination, layout: Optional[LayoutLike] = None) -> None:
    """Converts the image `source` into `destination`.

    The source may be any format the decoder reads (JPEG, PNG, BMP, TGA, GIF, PSD,
    PIC, PNM, Radiance HDR), recognised by its contents. A destination path is written
    to a temporary file that replaces it only when complete: on failure no file is
    created and an existing destination keeps its bytes. The GIL is released during
    the conversion.

    The image is converted as stored: EXIF orientation is not applied and an animated
    GIF gives its first frame. BMP keeps no alpha: RGBA is flattened against magenta,
    while grey+alpha loses its alpha (transparent pixels show their grey); use TGA to
    keep it.

    Args:
        source: a path (str or os.PathLike); the image file's bytes (bytes,
            bytearray, memoryview); or a binary file object, read whole.
        destination: a path (str or os.PathLike), or a binary file object, written
            (once, from its current position) only after the conversion succeeded.
        layout: "tga", "bmp" (any case, or ".tga", or a file name) or a
            :class:`Layout`; None takes it from the destination's name (a file
            object's ``name``).

    Raises:
        SourceUnreadable, DestinationUnopenable, WriteFailed (OSError subclasses,
        and FileNotFoundError, PermissionError, ... when the system said so),
        ImageTooLarge, InvalidArgument: see :mod:`tarvelo.errors`.
        TypeError: bytes as the destination, or an unusable object.
    """
    if isinstance(destination, _DATA_TYPES) or not (_is_path(destination) or _is_writer(destination)):
        _path(destination, "destination")  # raises the TypeError that says why
    chosen = _chosen_layout(destination, layout)
    if not _is_path(destination):
        _write_all(destination, _to_bytes(_Source(source), chosen))
        return
    _to_file(_Source(source), destination, chosen)


def convert_bytes(
    data: BytesLike, destination: Optional[Destination] = None, layout: Optional[LayoutLike] = None
) -> Optional[bytes]:
    """Converts an encoded image held in memory.

    ``convert_bytes(data, "photo.tga")`` writes the file as :func:`convert` does
    (temporary file, replaced only when complete); ``convert_bytes(data,
    layout="tga")`` returns the output file's bytes instead.

    Args:
        data: the bytes of an image file in any format the decoder reads.
        destination: a path (str or os.PathLike) or a binary file object; None to
            get the bytes back.
        layout: as for :func:`convert`; required when there is no destination.

    Returns:
        The output file's bytes when there is no destination, else None.

    Raises:
        SourceUnreadable: corrupt, unsupported or empty data.
        DestinationUnopenable, WriteFailed, ImageTooLarge, InvalidArgument: see
        :mod:`tarvelo.errors`.
        TypeError: `data` is not bytes-like (a path belongs in :func:`convert`), or
        the destination is a layout's name.
    """
    if not isinstance(data, _DATA_TYPES):
        raise TypeError(
            f"data: expected bytes, bytearray or memoryview, got {type(data).__name__} (paths go to convert)"
        )
    if destination is None:
        if layout is None:
            raise _invalid("no destination and no layout: pass a destination, or layout='tga' or 'bmp'")
        return _to_bytes(_Source(data), _layout(layout))
    _refuse_layout_as_destination(destination)
    convert(data, destination, layout)
    return None


def _pixel_geometry(shape: Tuple[int, ...]) -> Tuple[int, int, int]:
    if len(shape) == 2:
        height, width, channels = shape[0], shape[1], 1
    elif len(shape) == 3 and 1 <= shape[2] <= 4:
        height, width, channels = shape
    else:
        raise _invalid(f"pixels of shape {tuple(shape)}: expected (height, width) or (height, width, 1-4)")
    if height < 1 or width < 1:
        raise _invalid(f"empty image of shape {tuple(shape)}")
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
        raise _invalid(f"pixels of type {array.dtype}: expected uint8")
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
        raise _invalid(f"pixels of format {view.format!r}: expected bytes (uint8)")
    height, width, channels = _pixel_geometry(view.shape or (len(view),))
    return view.tobytes(), height, width, channels, 0


def encode(pixels: Any, layout: LayoutLike) -> bytes:
    """Writes pixels held in memory as a TGA or BMP file; returns the file's bytes.

    Args:
        pixels: a numpy array of uint8, (height, width) for grey or (height, width,
            channels) with 1 grey, 2 grey+alpha, 3 RGB or 4 RGBA channels, top row
            first, with any strides; or any object with the buffer protocol and such a
            shape (a memoryview cast to a shape, an array-interface object). Rows whose
            bytes are contiguous are read in place (any row stride); other arrays are
            copied once into a packed block first. In BMP, RGBA is flattened against
            magenta and grey+alpha loses its alpha.
        layout: as for :func:`convert`.

    Raises:
        TypeError: a path, bytes or a file object: encode takes pixels, and
            :func:`convert` converts files.
        InvalidArgument: not uint8, wrong shape, empty.
        ImageTooLarge: a TGA side over 65535, or a BMP file over 4 GiB.
    """
    return _to_bytes(_Source.pixels(pixels), _layout(layout))


def save(pixels: Any, destination: Destination, layout: Optional[LayoutLike] = None) -> None:
    """Writes pixels held in memory as a TGA or BMP file at `destination`.

    A path is written as :func:`convert` writes it: to a temporary file that replaces
    the destination only when complete, so a failure leaves no file and an existing
    destination keeps its bytes. A binary file object is written after the encode
    succeeded.

    Args:
        pixels: as for :func:`encode`.
        destination: a path (str or os.PathLike) or a binary file object.
        layout: as for :func:`convert`; None takes it from the destination's name.

    Raises:
        DestinationUnopenable, WriteFailed, ImageTooLarge, InvalidArgument: see
        :mod:`tarvelo.errors`.
    """
    _refuse_layout_as_destination(destination)
    if not _is_path(destination):
        if not _is_writer(destination):
            _path(destination, "destination")  # raises the TypeError that says why
        _write_all(destination, encode(pixels, _chosen_layout(destination, layout)))
        return
    _to_file(_Source.pixels(pixels), destination, _chosen_layout(destination, layout))


def info(source: Source) -> ImageInfo:
    """Size, channel count and format of an image, without decoding its pixels.

    Args:
        source: a path (str or os.PathLike), the image file's bytes (bytes,
            bytearray, memoryview) or a binary file object (read whole).

    Raises:
        SourceUnreadable: missing, corrupt or unsupported, or refused as a conversion
            would refuse it (an OSError; FileNotFoundError etc. when the system said so).
    """
    read = _Source(source)
    found = _library.ImageInfoStruct()
    result = _library.ResultStruct()
    _library.get().require("TarveloReadInfo")(ctypes.byref(read.struct), ctypes.byref(found), ctypes.byref(result))
    _check(result, source=source)
    return ImageInfo(found.width, found.height, found.channels, (found.format or b"").decode("ascii"))
