"""Exceptions: one class per status the library reports, OSError for I/O failures.

The three statuses that concern reading or writing a file (SourceUnreadable,
DestinationUnopenable, WriteFailed) are OSError subclasses, so ``except OSError``
catches every I/O failure, as an unreadable image in Pillow is an OSError. When the
cause is the system's, the exception is also the OSError subclass Python raises for
that errno (FileNotFoundError, PermissionError, IsADirectoryError, ...), with
``errno``, ``strerror`` and ``filename`` set.
"""

from __future__ import annotations

import enum
from typing import Any, Dict, Optional, Tuple, Type


class Status(enum.IntEnum):
    """The library's TarveloStatus values (stable numbers)."""

    CONVERTED = 0
    SOURCE_UNREADABLE = 1
    DESTINATION_UNOPENABLE = 2
    WRITE_FAILED = 3
    IMAGE_TOO_LARGE = 4
    INVALID_ARGUMENT = 5
    OUT_OF_MEMORY = 6


class Error(Exception):
    """A conversion failed.

    Attributes:
        status: the library's status (a :class:`Status`, or a plain int for a value
            this package does not know).
        message: the library's short text for the status, e.g. "source unreadable".
        detail: the one-line reason, e.g. "file ends early" or "No such file or
            directory"; "" when the library had nothing to add.
        filename: the file the failure concerns (the source for SourceUnreadable, the
            destination otherwise), as a str; None for data in memory or a file object
            without a name.
        errno, strerror: the system's error when it caused the failure (the I/O
            classes only; None otherwise).
    """

    status: int = -1

    def __init__(
        self,
        status: int,
        message: str,
        detail: str = "",
        filename: Optional[str] = None,
        error_number: Optional[int] = None,
    ) -> None:
        self.status = Status(status) if status in Status._value2member_map_ else status
        self.message = message
        self.detail = detail
        if error_number is not None and isinstance(self, OSError):
            super().__init__(error_number, detail)
        else:
            super().__init__(f"{message}: {detail}" if detail else message)
        if not isinstance(self, OSError):  # the same attributes on every class
            self.errno: Optional[int] = None
            self.strerror: Optional[str] = None
        self.filename = filename

    def __str__(self) -> str:
        number = getattr(self, "errno", None)
        text = f"[Errno {number}] {self.detail}" if number is not None else self.args[0]
        return f"{text}: {self.filename!r}" if self.filename is not None else text

    def __reduce__(self) -> Tuple[Any, ...]:
        # The class may be made on the fly (see error_for): rebuild it from the facts.
        return (_rebuild, (self.status, self.message, self.detail, self.filename, getattr(self, "errno", None)))


class SourceUnreadable(Error, OSError):
    """The source is missing, unreadable, corrupt, unsupported or refused by the input guard."""


class DestinationUnopenable(Error, OSError):
    """The destination (or its temporary file) could not be created."""


class WriteFailed(Error, OSError):
    """A write, flush, close or the final rename failed (disk full, I/O error)."""


class ImageTooLarge(Error):
    """The image does not fit the layout: a TGA side over 65535, or a BMP file over 4 GiB."""


class InvalidArgument(Error, ValueError):
    """An argument the library refuses: unknown layout, unusable pixel array, bad path."""


class OutOfMemory(Error, MemoryError):
    """The decoder needed memory the system refused; the source itself may be fine."""


_BY_STATUS: Dict[int, Type[Error]] = {
    Status.SOURCE_UNREADABLE: SourceUnreadable,
    Status.DESTINATION_UNOPENABLE: DestinationUnopenable,
    Status.WRITE_FAILED: WriteFailed,
    Status.IMAGE_TOO_LARGE: ImageTooLarge,
    Status.INVALID_ARGUMENT: InvalidArgument,
    Status.OUT_OF_MEMORY: OutOfMemory,
}


# (status class, OSError subclass) -> the class that is both, made on first use.
_COMBINED: Dict[Tuple[Type[Error], Type[OSError]], Type[Error]] = {}


def _class_for(status: int, error_number: Optional[int]) -> Type[Error]:
    base = _BY_STATUS.get(status, Error)
    if error_number is None or not issubclass(base, OSError):
        return base
    # Python's own choice of subclass for this errno, as open() would raise.
    os_class = type(OSError(error_number, ""))
    if os_class is OSError:
        return base
    combined = _COMBINED.get((base, os_class))
    if combined is None:
        combined = type(base.__name__, (base, os_class), {"__module__": __name__, "__doc__": base.__doc__})
        _COMBINED[(base, os_class)] = combined
    return combined


def _rebuild(
    status: int, message: str, detail: str, filename: Optional[str], error_number: Optional[int]
) -> Error:
    return _class_for(status, error_number)(status, message, detail, filename, error_number)


def error_for(
    status: int, message: str, detail: str, filename: Optional[str] = None, error_number: Optional[int] = None
) -> Error:
    """The exception for a status other than CONVERTED; `filename` is the file it concerns and
    `error_number` the system's errno that the library reported with the status (None: none)."""
    return _rebuild(status, message, detail, filename, error_number)
