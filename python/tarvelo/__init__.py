"""Byte-exact conversion of images into uncompressed TGA and 24-bit BMP files.

A binding of the TarveloImageTGA shared library (libTarveloImageTGA.so.1) through
ctypes. The library is found installed, or where the TARVELO_LIBRARY environment
variable points (the library file, or a build directory). Every call releases the
GIL while the library works, so threads convert in parallel.

    >>> import tarvelo
    >>> tarvelo.convert("photo.jpg", "photo.tga")            # layout from the name
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
)
from ._library import LibraryNotFound
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

#: The loaded library's version ("major.minor.patch").
__version__: str = library_version()

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
]
