"""Failures raise the class of their status, with the library's reason, and leave no file."""

import os
import subprocess
import sys
import zlib

import numpy as np
import pytest

import tarvelo
from reference import expected_tga, pattern, png


def test_missing_source(tmp_path):
    destination = tmp_path / "out.tga"
    with pytest.raises(tarvelo.SourceUnreadable) as caught:
        tarvelo.convert(tmp_path / "missing.png", destination)
    error = caught.value
    assert error.status is tarvelo.Status.SOURCE_UNREADABLE
    assert error.message == "source unreadable" and error.detail
    assert str(error) == f"source unreadable: {error.detail}"
    assert not destination.exists()


def test_corrupt_source_keeps_the_existing_destination(tmp_path):
    good = png(pattern(4, 4, 3))
    source = tmp_path / "broken.png"
    source.write_bytes(good[: len(good) // 2])
    destination = tmp_path / "out.bmp"
    destination.write_bytes(b"precious")
    with pytest.raises(tarvelo.SourceUnreadable):
        tarvelo.convert(source, destination)
    with pytest.raises(tarvelo.SourceUnreadable):
        tarvelo.convert_bytes(b"not an image at all", "tga")
    with pytest.raises(tarvelo.SourceUnreadable):
        tarvelo.info(b"")
    assert destination.read_bytes() == b"precious"
    assert sorted(os.listdir(tmp_path)) == ["broken.png", "out.bmp"]


def test_destination_unopenable(tmp_path):
    source = tmp_path / "in.png"
    source.write_bytes(png(pattern(2, 2, 3)))
    with pytest.raises(tarvelo.DestinationUnopenable) as caught:
        tarvelo.convert(source, tmp_path / "no such folder" / "out.tga")
    assert caught.value.detail  # the system's reason


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
    assert version == tarvelo.__version__ and version.count(".") == 2
    # A build directory: the library sits in its src/ folder.
    build = tmp_path / "build"
    (build / "src").mkdir(parents=True)
    os.symlink(os.path.abspath(loaded), build / "src" / "libTarveloImageTGA.so.1")
    by_directory = _import_with(str(build))
    assert by_directory.returncode == 0, by_directory.stderr
    assert by_directory.stdout.split()[1].endswith("libTarveloImageTGA.so.1")
    missing = _import_with(str(tmp_path / "nowhere"))
    assert missing.returncode != 0 and "TARVELO_LIBRARY" in missing.stderr and "LibraryNotFound" in missing.stderr

