"""Writing files from arrays and bytes, file objects, and one meaning for bytes."""

import errno
import io
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarvelo
from reference import EXPECTED, expected_bmp, expected_tga, pattern, png


def test_save_and_convert_bytes_write_files(tmp_path):
    pixels = pattern(5, 7, 4, seed=2)
    tarvelo.save(pixels, tmp_path / "a.TGA")  # layout from the name
    tarvelo.save(pixels, str(tmp_path / "b.out"), layout="bmp")
    assert (tmp_path / "a.TGA").read_bytes() == expected_tga(pixels)
    assert (tmp_path / "b.out").read_bytes() == expected_bmp(pixels)
    data = png(pixels)
    assert tarvelo.convert_bytes(data, tmp_path / "c.bmp") is None
    tarvelo.convert_bytes(memoryview(data), str(tmp_path / "d.x"), "TGA")
    tarvelo.convert(bytearray(data), tmp_path / "e.tga")  # bytes are data in convert too
    assert (tmp_path / "c.bmp").read_bytes() == expected_bmp(pixels)
    assert (tmp_path / "d.x").read_bytes() == (tmp_path / "e.tga").read_bytes() == expected_tga(pixels)
    assert sorted(os.listdir(tmp_path)) == ["a.TGA", "b.out", "c.bmp", "d.x", "e.tga"]  # no temporary left


def test_a_layout_name_is_not_taken_for_a_destination(tmp_path, monkeypatch):
    # convert_bytes(data, "tga") once returned bytes; it must not now write a file named "tga".
    monkeypatch.chdir(tmp_path)
    data = png(pattern(2, 2, 3))
    for name in ("tga", "BMP", ".tga", tarvelo.Layout.TGA):
        with pytest.raises(TypeError, match="names a layout"):
            tarvelo.convert_bytes(data, name)
        with pytest.raises(TypeError, match="names a layout"):
            tarvelo.save(pattern(1, 1, 1), name)
    with pytest.raises(tarvelo.InvalidArgument, match="no destination and no layout"):
        tarvelo.convert_bytes(data)
    assert os.listdir(tmp_path) == []


# Runs in a child whose files may not grow past a few hundred bytes, so the write itself
# fails part way (EFBIG), after the temporary file was created and written to.
_LIMITED_WRITER = textwrap.dedent(
    """
    import resource, signal, sys
    import numpy as np
    import tarvelo
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (300, 300))
    pixels = np.full((64, 64, 3), 200, np.uint8)
    data = bytes.fromhex(sys.argv[2])
    for call in (lambda: tarvelo.save(pixels, sys.argv[1]),
                 lambda: tarvelo.convert_bytes(data, sys.argv[1]),
                 lambda: tarvelo.convert(data, sys.argv[1])):
        try:
            call()
        except tarvelo.WriteFailed as error:
            print(error.errno, error.filename == sys.argv[1], isinstance(error, OSError))
        else:
            print("written")
    """
)


@pytest.mark.parametrize("layout", ["tga", "bmp"])
def test_a_failing_write_keeps_the_existing_destination(tmp_path, layout):
    destination = tmp_path / f"kept.{layout}"
    destination.write_bytes(b"precious")
    data = png(pattern(64, 64, 3))
    result = subprocess.run(
        [sys.executable, "-c", _LIMITED_WRITER, str(destination), data.hex()],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:3] == [f"{errno.EFBIG} True True"] * 3
    assert destination.read_bytes() == b"precious"
    assert os.listdir(tmp_path) == [destination.name]


def test_file_objects(tmp_path):
    pixels = pattern(6, 5, 3, seed=4)
    data = png(pixels)
    source = tmp_path / "in.png"
    source.write_bytes(data)
    # Source and destination objects, in every pairing with paths.
    out = io.BytesIO()
    tarvelo.convert(io.BytesIO(data), out, "tga")
    assert out.getvalue() == expected_tga(pixels)
    out = io.BytesIO(b"head:")
    out.seek(0, io.SEEK_END)
    tarvelo.convert(source, out, tarvelo.Layout.BMP)  # the library reads the path
    assert out.getvalue() == b"head:" + expected_bmp(pixels)
    with open(source, "rb") as reader:
        tarvelo.convert(reader, tmp_path / "from_reader.tga")
    assert (tmp_path / "from_reader.tga").read_bytes() == expected_tga(pixels)
    # A named file object gives its layout, as a path does.
    with open(tmp_path / "named.BMP", "wb") as writer:
        tarvelo.convert(data, writer)
    assert (tmp_path / "named.BMP").read_bytes() == expected_bmp(pixels)
    with open(tmp_path / "saved.tga", "wb") as writer:
        tarvelo.save(pixels, writer)
    assert (tmp_path / "saved.tga").read_bytes() == expected_tga(pixels)
    out = io.BytesIO()
    tarvelo.convert_bytes(data, out, "bmp")
    assert out.getvalue() == expected_bmp(pixels)
    assert tarvelo.info(io.BytesIO(data)) == (5, 6, 3, "PNG")
    with pytest.raises(tarvelo.InvalidArgument, match="without a name"):
        tarvelo.convert(data, io.BytesIO())


def test_a_failed_conversion_writes_nothing_to_a_file_object(tmp_path):
    broken = png(pattern(8, 8, 3))[:60]
    (tmp_path / "broken.png").write_bytes(broken)
    out = io.BytesIO(b"kept")
    with pytest.raises(tarvelo.SourceUnreadable) as caught:
        tarvelo.convert(tmp_path / "broken.png", out, "tga")
    assert caught.value.filename == str(tmp_path / "broken.png")
    with open(tmp_path / "broken.png", "rb") as reader, pytest.raises(tarvelo.SourceUnreadable) as caught:
        tarvelo.convert(reader, out, "tga")
    assert caught.value.filename == str(tmp_path / "broken.png")  # the file object's name
    with pytest.raises(FileNotFoundError):
        tarvelo.convert(tmp_path / "missing.png", out, "tga")
    with pytest.raises(tarvelo.ImageTooLarge):
        tarvelo.save(np.zeros((1, 65536), np.uint8), out, "tga")
    assert out.getvalue() == b"kept"
    with pytest.raises(TypeError, match="binary mode"):
        tarvelo.convert(io.StringIO("text"), out, "tga")


class Taker:
    """A file-like object whose write() answers from a script of results."""

    def __init__(self, results, raw=False):
        self.results = list(results)
        self.taken = bytearray()

    def write(self, data):
        answer = self.results.pop(0) if self.results else len(data)
        if answer is None:
            self.taken += data
        elif isinstance(answer, int) and answer > 0:
            self.taken += bytes(data[:answer])
        return answer


class OneByteRaw(io.RawIOBase):
    """An unbuffered stream that takes one byte a call, and then would block."""

    def __init__(self, blocks_after):
        self.taken = bytearray()
        self.left = blocks_after

    def writable(self):
        return True

    def write(self, data):
        if self.left == 0:
            return None
        self.left -= 1
        self.taken += bytes(data[:1])
        return 1


def test_a_file_objects_write_results_are_read_by_the_io_rules():
    data = png(pattern(3, 2, 4))
    expected = expected_bmp(pattern(3, 2, 4))
    # Short writes are offered again with the rest, never twice.
    raw = OneByteRaw(blocks_after=10**6)
    tarvelo.convert_bytes(data, raw, "bmp")
    assert bytes(raw.taken) == expected
    taker = Taker([5, 1, 7])
    tarvelo.convert_bytes(data, taker, "bmp")
    assert bytes(taker.taken) == expected
    # None from an object that is no raw stream: it took everything.
    taker = Taker([None])
    tarvelo.convert_bytes(data, taker, "bmp")
    assert bytes(taker.taken) == expected
    # None from a raw stream: it would block, having taken nothing of that block.
    with pytest.raises(BlockingIOError):
        tarvelo.convert_bytes(data, OneByteRaw(blocks_after=3), "bmp")
    # Nothing taken, a negative count, more than was offered, not a count: an error, never a loop.
    for answer in (0, -1, 10**9, "x", True):
        with pytest.raises(tarvelo.WriteFailed, match=r"write\(\) returned"):
            tarvelo.convert_bytes(data, Taker([answer]), "bmp")


def test_bytes_are_data_and_str_a_path_in_every_call(tmp_path, monkeypatch):
    pixels = pattern(3, 4, 3)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "x.png").write_bytes(png(pixels))
    # The same name as bytes is data (not a PNG), never the file.
    for call in (lambda: tarvelo.convert(b"x.png", "out.tga"), lambda: tarvelo.info(b"x.png"),
                 lambda: tarvelo.convert_bytes(b"x.png", layout="tga")):
        with pytest.raises(tarvelo.SourceUnreadable) as caught:
            call()
        assert caught.value.filename is None
    # Bytes where only a path can go are refused, whatever they hold.
    for call in (lambda: tarvelo.convert("x.png", b"out.tga"), lambda: tarvelo.save(pixels, b"out.tga"),
                 lambda: tarvelo.convert_bytes(png(pixels), b"out.tga"), lambda: tarvelo.layout_from_name(b"a.tga")):
        with pytest.raises(TypeError, match="not a path"):
            call()
    with pytest.raises(TypeError, match="paths go to convert"):
        tarvelo.convert_bytes("x.png", layout="tga")
    assert sorted(os.listdir(tmp_path)) == ["x.png"]
    # str and PathLike are paths.
    assert tarvelo.info("x.png") == tarvelo.info(tmp_path / "x.png") == (4, 3, 3, "PNG")
    tarvelo.convert("x.png", "out.tga")
    assert (tmp_path / "out.tga").read_bytes() == EXPECTED["tga"](pixels)


def test_calls_given_the_wrong_kind_of_argument_say_which_call_fits(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "photo.jpg").write_bytes(png(pattern(3, 2, 3)))  # the decoder goes by contents
    # A file where pixels go points at convert.
    for call in (lambda: tarvelo.encode("photo.jpg", "bmp"), lambda: tarvelo.encode(tmp_path / "photo.jpg", "tga"),
                 lambda: tarvelo.encode(b"\x89PNG", "tga"), lambda: tarvelo.save("photo.jpg", "out.bmp")):
        with pytest.raises(TypeError, match="encode and save take pixels.*tarvelo.convert"):
            call()
    # A text-mode file object is refused before anything is read or written.
    with open("photo.jpg", encoding="utf-8") as text, pytest.raises(TypeError, match=r"binary mode \('rb'\)"):
        tarvelo.convert(text, "out.tga")
    with open("photo.jpg", encoding="utf-8") as text, pytest.raises(TypeError, match="binary mode"):
        tarvelo.info(text)
    with open("out.tga", "w") as text:
        for call in (lambda: tarvelo.convert("photo.jpg", text), lambda: tarvelo.save(pattern(1, 1, 1), text),
                     lambda: tarvelo.convert_bytes(png(pattern(1, 1, 1)), text, "tga")):
            with pytest.raises(TypeError, match=r"destination: TextIOWrapper .*binary mode \('wb'\)"):
                call()
    assert (tmp_path / "out.tga").read_bytes() == b""
    # A directory as the destination is the system's error, layout given or not.
    for destination, layout in ((".", None), (tmp_path, None), (".", "tga"), ("sub.tga", None)):
        (tmp_path / "sub.tga").mkdir(exist_ok=True)
        with pytest.raises(IsADirectoryError) as caught:
            tarvelo.convert("photo.jpg", destination, layout)
        assert isinstance(caught.value, tarvelo.DestinationUnopenable)
        assert caught.value.errno == errno.EISDIR and caught.value.filename == os.fsdecode(destination)
    assert sorted(os.listdir(tmp_path)) == ["out.tga", "photo.jpg", "sub.tga"]
