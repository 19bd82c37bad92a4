"""Byte-exact conversion of images into uncompressed TGA and 24-bit BMP files.

A binding of the TarveloImageTGA shared library (libTarveloImageTGA.so.1) through
ctypes. The library is found installed, or where the TARVELO_LIBRARY environment
variable points (the library file, or a build directory), when the first call needs
it: importing the package works without it. Every call releases the GIL while the
library works, so threads convert in parallel.

A str or os.PathLike is a path, bytes are an image file's contents, and an object
with read/write is a binary file object, in every call.

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
from .errors import (
    DestinationUnopenable,
    Error,
    ImageTooLarge,
    InvalidArgument,
    SourceUnreadable,
    Status,
    WriteFailed,
)


def _package_version() -> str:
    # The installed package's own version: known without loading the library.
    from importlib import metadata

    try:
        return metadata.version("tarvelo")
    except metadata.PackageNotFoundError:  # imported from the source folder, not installed
        pass
    import re
    from pathlib import Path

    try:
        text = (Path(__file__).resolve().parent.parent / "pyproject.toml").read_text(encoding="utf-8")
    except OSError:
        return "0+unknown"
    found = re.search(r'^version\s*=\s*"([^"]+)"', text, re.MULTILINE)
    return found.group(1) if found else "0+unknown"


#: This package's version ("major.minor.patch"); library_version() gives the library's.
__version__: str = _package_version()

__all__ = [
    "DestinationUnopenable",
    "Error",
    "ImageInfo",
    "ImageTooLarge",
    "InvalidArgument",
    "Layout",
    "LibraryNotFound",
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
