"""Byte-exact conversion of images into uncompressed TGA and 24-bit BMP files.

A binding of the TarveloImageTGA shared library (libTarveloImageTGA.so.1) through
ctypes. The library is found installed, or where the TARVELO_LIBRARY environment
variable points (the library file, or a build directory), when the first call needs
it: importing the package works without it. Every call releases the GIL while the
library works, so threads convert in parallel.

A str or os.PathLike is a path, bytes are an image file's contents, and an object
with read/write is a binary file object, in every call.

Images are converted as stored: EXIF orientation is not applied, an animated GIF
gives its first frame, and BMP keeps no alpha (RGBA is flattened against magenta,
grey+alpha loses its alpha); TGA keeps it.

    >>> import tarvelo
    >>> tarvelo.convert("photo.jpg", "photo.tga")            # layout from the name
    >>> tarvelo.save(pixels, "photo.bmp")                    # numpy uint8 array -> BMP file
    >>> data = tarvelo.encode(pixels, "bmp")                 # numpy uint8 array -> BMP bytes
    >>> tarvelo.info("photo.jpg")
    ImageInfo(width=640, height=480, channels=3, format='JPEG')

tarvelo.dask.convert_many converts many files on a Dask cluster.
"""

from ._api import (
    ImageInfo,
    Layout,
    convert,
    convert_bytes,
    encode,
    info,
    layout_from_name,
    library_path,
    library_version,
    save,
)
from ._library import LibraryNotFound
from ._version import __version__
from .errors import (
    DestinationUnopenable,
    Error,
    ImageTooLarge,
    InvalidArgument,
    OutOfMemory,
    SourceUnreadable,
    Status,
    WriteFailed,
)

__all__ = [
    "DestinationUnopenable",
    "Error",
    "ImageInfo",
    "ImageTooLarge",
    "InvalidArgument",
    "Layout",
    "LibraryNotFound",
    "OutOfMemory",
    "SourceUnreadable",
    "Status",
    "WriteFailed",
    "__version__",
    "convert",
    "convert_bytes",
    "encode",
    "info",
    "layout_from_name",
    "library_path",
    "library_version",
    "save",
]
