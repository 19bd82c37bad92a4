"""Failures raise the class of their status, with the library's reason, and leave no file."""

import errno
import os
import pickle
import subprocess
import sys
import zlib

import numpy as np
import pytest

import tarvelo
from tarvelo.errors import error_for
from reference import pattern, png


def test_os_causes_are_the_os_error_python_raises(tmp_path):
    destination = tmp_path / "out.tga"
    missing = tmp_path / "missing.png"
    with pytest.raises(FileNotFoundError) as caught:
        tarvelo.convert(missing, destination)
    error = caught.value
    assert isinstance(error, tarvelo.SourceUnreadable) and error.status is tarvelo.Status.SOURCE_UNREADABLE
    assert (error.errno, error.strerror, error.filename) == (errno.ENOENT, os.strerror(errno.ENOENT), str(missing))
    assert error.message == "source unreadable" and error.detail == os.strerror(errno.ENOENT)
    assert str(error) == f"[Errno {errno.ENOENT}] {os.strerror(errno.ENOENT)}: {str(missing)!r}"
    assert not destination.exists()
    with pytest.raises(FileNotFoundError) as caught:
        tarvelo.info(str(missing))
    assert caught.value.filename == str(missing)

    with pytest.raises(IsADirectoryError) as caught:
        tarvelo.convert(tmp_path, destination)
    assert isinstance(caught.value, tarvelo.SourceUnreadable) and caught.value.errno == errno.EISDIR

    source = tmp_path / "in.png"
    source.write_bytes(png(pattern(2, 2, 3)))
    unopenable = tmp_path / "no such folder" / "out.tga"
    with pytest.raises(FileNotFoundError) as caught:
        tarvelo.convert(source, unopenable)
    assert isinstance(caught.value, tarvelo.DestinationUnopenable)
    assert caught.value.filename == str(unopenable)  # the destination, not the source
    with pytest.raises(NotADirectoryError):
        tarvelo.save(np.zeros((1, 1), np.uint8), source / "out.tga")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads and writes files whatever their permissions")
def test_permission_denied(tmp_path):
    source = tmp_path / "in.png"
    source.write_bytes(png(pattern(2, 2, 3)))
    source.chmod(0)
    with pytest.raises(PermissionError) as caught:
        tarvelo.convert(source, tmp_path / "out.tga")
    assert isinstance(caught.value, tarvelo.SourceUnreadable) and caught.value.filename == str(source)


def test_the_errno_the_library_reports_picks_the_os_error_class():
    # The library gives a system error as its text; each OSError subclass comes back from it.
    for number, kind in [(errno.EACCES, PermissionError), (errno.EPERM, PermissionError),
                         (errno.EEXIST, FileExistsError), (errno.ENOTDIR, NotADirectoryError),
                         (errno.ENOSPC, OSError), (errno.EIO, OSError)]:
        for status, base in [(1, tarvelo.SourceUnreadable), (2, tarvelo.DestinationUnopenable),
                             (3, tarvelo.WriteFailed)]:
            error = error_for(status, "message", os.strerror(number), "f.tga", number)
            assert isinstance(error, kind) and isinstance(error, base), (number, status)
            assert (error.errno, error.strerror, error.filename) == (number, os.strerror(number), "f.tga")
            again = pickle.loads(pickle.dumps(error))  # as a Dask worker sends it back
            assert type(again) is type(error) and again.errno == number and again.detail == error.detail
            assert (again.status, again.filename) == (status, "f.tga")
    # Not the system's doing: no errno, whatever the text says.
    assert error_for(1, "source unreadable", os.strerror(errno.ENOENT)).errno is None
    assert error_for(4, "image too large", "x", None, errno.ENOSPC).errno is None
    assert not isinstance(error_for(5, "invalid argument", "x", None, errno.ENOENT), OSError)


def test_an_unreadable_image_is_an_os_error_that_names_the_file(tmp_path):
    source = tmp_path / "photo.png"
    good = png(pattern(4, 4, 3))
    source.write_bytes(good[: len(good) // 2])
    with pytest.raises(OSError) as caught:  # the habit: every I/O failure is an OSError
        tarvelo.convert(source, tmp_path / "out.tga")
    error = caught.value
    assert type(error) is tarvelo.SourceUnreadable and isinstance(error, tarvelo.Error)
    assert error.errno is None and error.filename == str(source) and error.detail
    assert str(error) == f"source unreadable: {error.detail}: {str(source)!r}"
    # Data in memory has no file name.
    with pytest.raises(tarvelo.SourceUnreadable) as caught:
        tarvelo.info(b"not an image")
    assert caught.value.filename is None and str(caught.value).startswith("source unreadable: ")
    # Refused arguments stay ValueError, not OSError.
    with pytest.raises(tarvelo.InvalidArgument) as caught:
        tarvelo.convert(source, tmp_path / "out.png")
    assert isinstance(caught.value, ValueError) and not isinstance(caught.value, OSError)


def test_corrupt_source_keeps_the_existing_destination(tmp_path):
    good = png(pattern(4, 4, 3))
    source = tmp_path / "broken.png"
    source.write_bytes(good[: len(good) // 2])
    destination = tmp_path / "out.bmp"
    destination.write_bytes(b"precious")
    with pytest.raises(tarvelo.SourceUnreadable):
        tarvelo.convert(source, destination)
    with pytest.raises(tarvelo.SourceUnreadable):
        tarvelo.convert_bytes(b"not an image at all", layout="tga")
    with pytest.raises(tarvelo.SourceUnreadable):
        tarvelo.info(b"")
    assert destination.read_bytes() == b"precious"
    assert sorted(os.listdir(tmp_path)) == ["broken.png", "out.bmp"]


def test_image_too_large():
    wide = np.zeros((1, 65536, 1), np.uint8)
    with pytest.raises(tarvelo.ImageTooLarge):
        tarvelo.encode(wide, "tga")
    assert len(tarvelo.encode(wide, "bmp")) == 54 + 3 * 65536  # BMP has room for it
    assert tarvelo.encode(np.zeros((1, 65535), np.uint8), "tga")[12:14] == b"\xff\xff"


def test_invalid_arguments(tmp_path):
    source = tmp_path / "in.png"
    source.write_bytes(png(pattern(2, 2, 3)))
    for layout in ("png", "", 7, True):
        with pytest.raises(tarvelo.InvalidArgument):
            tarvelo.convert(source, tmp_path / "out.tga", layout)
    with pytest.raises(tarvelo.InvalidArgument) as caught:
        tarvelo.convert(source, tmp_path / "out.png")  # no layout from this name
    assert "out.png" in caught.value.detail
    with pytest.raises(tarvelo.InvalidArgument):
        tarvelo.convert(source, str(tmp_path / "out\0.tga"))
    assert not (tmp_path / "out.png").exists()


def test_reasons_name_the_cause(tmp_path):
    """Each refusal says why in one line, as the C API's detail and the tool do."""
    empty = tmp_path / "empty.png"
    empty.write_bytes(b"")
    with pytest.raises(tarvelo.SourceUnreadable) as caught:
        tarvelo.convert(empty, tmp_path / "out.tga")
    assert caught.value.detail == "source is empty"
    with pytest.raises(tarvelo.SourceUnreadable) as caught:
        tarvelo.info(b"P3\n1 1\n255\n0 0 0\n")
    assert caught.value.detail.startswith("plain-text PNM (P1-P3) is not read")
    # The header of a 20000 x 20000 RGB PNG, over the default cap.
    header = b"\x00\x00\x4e\x20" * 2 + b"\x08\x02\x00\x00\x00"
    chunk = b"IHDR" + header
    huge = b"\x89PNG\r\n\x1a\n" + b"\x00\x00\x00\x0d" + chunk + zlib.crc32(chunk).to_bytes(4, "big")
    with pytest.raises(tarvelo.SourceUnreadable) as caught:
        tarvelo.info(huge)
    assert caught.value.detail.startswith("image exceeds the decoded-size limit (")
    assert issubclass(tarvelo.OutOfMemory, MemoryError)
    assert tarvelo.errors.error_for(6, "out of memory", "out of memory").status is tarvelo.Status.OUT_OF_MEMORY


def _import_with(library: str) -> subprocess.CompletedProcess:
    environment = dict(os.environ, TARVELO_LIBRARY=library)
    code = "import tarvelo; print(tarvelo.__version__, tarvelo.library_path())"
    return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True)


def test_library_from_the_environment(tmp_path):
    loaded = tarvelo.library_path()
    by_file = _import_with(loaded)
    assert by_file.returncode == 0, by_file.stderr
    version, path = by_file.stdout.split()
    assert version == tarvelo.__version__ and version.count(".") == 3
    # A build directory: the library sits in its src/ folder.
    build = tmp_path / "build"
    (build / "src").mkdir(parents=True)
    os.symlink(os.path.abspath(loaded), build / "src" / "libTarveloImageTGA.so.1")
    by_directory = _import_with(str(build))
    assert by_directory.returncode == 0, by_directory.stderr
    assert by_directory.stdout.split()[1].endswith("libTarveloImageTGA.so.1")
    # Loaded on first use, a relative path still means the folder the package was imported in.
    relative = os.path.relpath(loaded)
    code = "import os, tarvelo; os.chdir(os.sep); print(tarvelo.library_version())"
    later = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, TARVELO_LIBRARY=relative),
                           capture_output=True, text=True)
    assert later.returncode == 0 and later.stdout.strip() == tarvelo.library_version(), later.stderr
    assert tarvelo.__version__ == tarvelo.library_version()  # one version for the package and the library


def test_import_without_the_library(tmp_path):
    code = (
        "import tarvelo\n"
        "print(tarvelo.__version__)\n"
        "for attempt in range(2):\n"
        "    try:\n"
        "        tarvelo.convert('in.png', 'out.tga')\n"
        "    except tarvelo.LibraryNotFound as error:\n"
        "        print(type(error).__name__, isinstance(error, ImportError), error)\n"
    )
    environment = dict(os.environ, TARVELO_LIBRARY=str(tmp_path / "nowhere"))
    result = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    version, first, second = result.stdout.splitlines()
    assert version == tarvelo.__version__
    assert first == second  # every call says it again, not a stale half-loaded state
    assert first.startswith("LibraryNotFound True TARVELO_LIBRARY=") and "no such file or directory" in first

