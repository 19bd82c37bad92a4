"""Finding and loading the shared library, and the C signatures of its calls.

The library is loaded with ctypes.CDLL, not PyDLL: ctypes releases the GIL for
the duration of every foreign call, so conversions on several Python threads run
in parallel.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import List, Optional, Tuple

ENVIRONMENT_VARIABLE = "TARVELO_LIBRARY"

if sys.platform == "win32":
    _FILE_NAMES = ["TarveloImageTGA.dll"]
elif sys.platform == "darwin":
    _FILE_NAMES = ["libTarveloImageTGA.1.dylib", "libTarveloImageTGA.dylib"]
else:
    _FILE_NAMES = ["libTarveloImageTGA.so.1", "libTarveloImageTGA.so"]

# Where `cmake --install` puts the library with the default prefix and where the
# Debian package puts it. The dynamic loader's own search (its cache,
# LD_LIBRARY_PATH) is tried first; these cover an install into /usr/local that
# was not followed by ldconfig.
_STANDARD_DIRECTORIES = [
    "/usr/local/lib",
    "/usr/local/lib64",
    "/usr/local/lib/x86_64-linux-gnu",
    "/usr/local/lib/aarch64-linux-gnu",
    "/usr/lib/x86_64-linux-gnu",
    "/usr/lib/aarch64-linux-gnu",
    "/usr/lib64",
    "/usr/lib",
]

# A build tree keeps the library in its src/ folder (bin/ for Windows builds).
_BUILD_TREE_SUBDIRECTORIES = ["", "src", "bin"]


class LibraryNotFound(ImportError):
    """The shared library could not be found or loaded. Raised by the first call that
    needs it (``import tarvelo`` itself works without the library)."""


def _candidates_in_directory(directory: str) -> List[str]:
    found = []
    for sub in _BUILD_TREE_SUBDIRECTORIES:
        for name in _FILE_NAMES:
            path = os.path.join(directory, sub, name)
            if os.path.isfile(path):
                found.append(path)
    return found


def _load_from_environment(value: str) -> ctypes.CDLL:
    if os.path.isdir(value):
        candidates = _candidates_in_directory(value)
        if not candidates:
            raise LibraryNotFound(
                f"{ENVIRONMENT_VARIABLE}={value!r} is a directory without "
                f"{' or '.join(_FILE_NAMES)} (looked in it and in its src/ and bin/ folders)"
            )
    elif os.path.isfile(value):
        candidates = [value]
    else:
        raise LibraryNotFound(f"{ENVIRONMENT_VARIABLE}={value!r}: no such file or directory")
    try:
        return ctypes.CDLL(os.path.abspath(candidates[0]))
    except OSError as error:
        raise LibraryNotFound(f"{ENVIRONMENT_VARIABLE}={value!r}: cannot load {candidates[0]}: {error}") from error


def _load_installed() -> ctypes.CDLL:
    tried: List[str] = []
    names: List[Optional[str]] = list(_FILE_NAMES)
    names.append(ctypes.util.find_library("TarveloImageTGA"))
    for name in names:
        if not name or name in tried:
            continue
        tried.append(name)
        try:
            return ctypes.CDLL(name)
        except OSError:
            pass
    for directory in _STANDARD_DIRECTORIES:
        for name in _FILE_NAMES:
            path = os.path.join(directory, name)
            if os.path.isfile(path):
                tried.append(path)
                try:
                    return ctypes.CDLL(path)
                except OSError:
                    pass
    raise LibraryNotFound(
        "cannot find the TarveloImageTGA shared library (tried "
        + ", ".join(tried)
        + "). Install it (cmake --install, or the Debian package), or set "
        + f"{ENVIRONMENT_VARIABLE} to the library file or to a build directory."
    )


# The library is loaded on first use: a relative TARVELO_LIBRARY still means what it
# meant where the package was imported, whatever the program's directory is by then.
try:
    _IMPORT_DIRECTORY: Optional[str] = os.getcwd()
except OSError:  # pragma: no cover - the working directory was removed
    _IMPORT_DIRECTORY = None


def load() -> ctypes.CDLL:
    """Loads the library named by TARVELO_LIBRARY, else the installed one."""
    value = os.environ.get(ENVIRONMENT_VARIABLE)
    if value:
        if _IMPORT_DIRECTORY is not None and not os.path.isabs(value):
            value = os.path.join(_IMPORT_DIRECTORY, value)
        return _load_from_environment(value)
    return _load_installed()


class ImageInfoStruct(ctypes.Structure):
    _fields_ = [
        ("width", ctypes.c_int),
        ("height", ctypes.c_int),
        ("channels", ctypes.c_int),
        ("format", ctypes.c_char_p),
    ]


class OptionsStruct(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_size_t),
        ("allow_threads", ctypes.c_int),
        ("max_decoded_pixels", ctypes.c_uint64),
    ]


class ResultStruct(ctypes.Structure):
    """TarveloResult: the status, the system's errno (0: none) and the detail line."""

    _fields_ = [
        ("status", ctypes.c_int),
        ("error_number", ctypes.c_int),
        ("detail", ctypes.c_char * 256),
    ]


#: TarveloWriteFunc: (context, data, size) -> nonzero when taken. cdecl on every
#: platform (TARVELO_CALL is the C default).
WRITE_FUNC = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)

# TarveloSourceKind and TarveloOutputKind.
SOURCE_FILE, SOURCE_MEMORY, SOURCE_PIXELS = 0, 1, 2
OUTPUT_FILE, OUTPUT_FUNC, OUTPUT_BUFFER = 0, 1, 2


class SourceStruct(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int),
        ("path", ctypes.c_char_p),
        ("data", ctypes.c_void_p),
        ("size", ctypes.c_size_t),
        ("width", ctypes.c_int),
        ("height", ctypes.c_int),
        ("channels", ctypes.c_int),
        ("row_stride", ctypes.c_size_t),
    ]


class OutputStruct(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int),
        ("path", ctypes.c_char_p),
        ("write", WRITE_FUNC),
        ("context", ctypes.c_void_p),
        ("buffer", ctypes.c_void_p),
        ("size", ctypes.c_size_t),
    ]


_c_status = ctypes.c_int
_c_text = ctypes.POINTER(ctypes.c_char_p)

# name: (result type, argument types).
_SIGNATURES = {
    "TarveloConvert": (_c_status, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]),
    "TarveloStatusMessage": (ctypes.c_char_p, [ctypes.c_int]),
    "TarveloLibraryVersion": (ctypes.c_char_p, []),
    "TarveloLayoutFromName": (_c_status, [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)]),
    "TarveloLayoutNames": (_c_status, [ctypes.c_int, _c_text, _c_text]),
    "TarveloConvertImage": (
        _c_status,
        [
            ctypes.POINTER(SourceStruct),
            ctypes.POINTER(OutputStruct),
            ctypes.c_int,
            ctypes.POINTER(OptionsStruct),
            ctypes.POINTER(ResultStruct),
        ],
    ),
    "TarveloReadInfo": (
        _c_status,
        [ctypes.POINTER(SourceStruct), ctypes.POINTER(ImageInfoStruct), ctypes.POINTER(ResultStruct)],
    ),
    "TarveloFree": (None, [ctypes.c_void_p]),
}


class Library:
    """The loaded library with typed functions; a call that the loaded library does
    not export is None."""

    def __init__(self, cdll: ctypes.CDLL) -> None:
        self.cdll = cdll
        self.path: str = getattr(cdll, "_name", "")
        for name, (result, arguments) in _SIGNATURES.items():
            try:
                function = getattr(cdll, name)
            except AttributeError:
                setattr(self, name, None)
                continue
            function.restype = result
            function.argtypes = arguments
            setattr(self, name, function)
        if self.TarveloConvert is None or self.TarveloStatusMessage is None:
            raise LibraryNotFound(f"{self.path} is not the TarveloImageTGA library (no TarveloConvert)")
        self.layouts = self._layouts()

    def _layouts(self) -> List[Tuple[int, str, str]]:
        """(value, name, extension) of every layout, from the library's layout table."""
        if self.TarveloLayoutNames is None:
            return []
        found = []
        name, extension = ctypes.c_char_p(), ctypes.c_char_p()
        while self.TarveloLayoutNames(len(found), ctypes.byref(name), ctypes.byref(extension)) == 0:
            found.append((len(found), (name.value or b"").decode("ascii"), (extension.value or b"").decode("ascii")))
        return found

    def require(self, name: str):  # type: ignore[no-untyped-def]
        """The function `name`, or an ImportError-free explanation of why it is missing."""
        function = getattr(self, name)
        if function is None:
            raise NotImplementedError(
                f"the loaded library {self.path} has no {name}: it is older than this package; "
                "install a newer libTarveloImageTGA"
            )
        return function

    def version(self) -> str:
        if self.TarveloLibraryVersion is not None:
            return self.TarveloLibraryVersion().decode("ascii")
        # Libraries before the programs' API carry only the version record's text.
        text = self.cdll.TarveloGetVersionText
        text.restype = ctypes.c_char_p
        text.argtypes = []
        return text().decode("ascii")


_loaded: Optional[Library] = None
_loading = threading.Lock()


def get() -> Library:
    """The library, loaded on first use. A failure is raised again by every call
    until a load succeeds (TARVELO_LIBRARY is read again each time)."""
    global _loaded
    if _loaded is None:
        with _loading:
            if _loaded is None:
                _loaded = Library(load())
    return _loaded
