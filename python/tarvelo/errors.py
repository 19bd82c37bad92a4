"""Exceptions: one class per status the library reports."""

from __future__ import annotations

import enum
from typing import Dict, Type


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
        detail: the one-line reason, e.g. "bad png sig" or "No such file or
            directory"; "" when the library had nothing to add.
    """

    status: int = -1

    def __init__(self, status: int, message: str, detail: str = "") -> None:
        self.status = Status(status) if status in Status._value2member_map_ else status
        self.message = message
        self.detail = detail
        super().__init__(f"{message}: {detail}" if detail else message)


class SourceUnreadable(Error):
    """The source is missing, unreadable, corrupt, unsupported or refused by the input guard."""


class DestinationUnopenable(Error):
    """The destination (or its temporary file) could not be created."""


class WriteFailed(Error):
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


def error_for(status: int, message: str, detail: str) -> Error:
    """The exception for a status other than CONVERTED."""
    return _BY_STATUS.get(status, Error)(status, message, detail)
