"""A layout name means the same layout in the library, in Python and in the tool."""

import ctypes
import os
import subprocess

import pytest

import tarvelo
from conftest import built_tool
from reference import EXPECTED, pattern, png

# Names --to or layout= may be given, and destination file names; None: no layout.
LAYOUT_NAMES = {
    "tga": "tga", "TGA": "tga", "Tga": "tga", ".tga": "tga", ".TGA": "tga", "photo.tga": "tga",
    "bmp": "bmp", "BMP": "bmp", ".Bmp": "bmp", "out/Photo.BMP": "bmp",
    "png": None, "": None, "tg": None, "tgaa": None, ".tgaa": None, "out.tga.png": None, "dir.tga/out": None,
}
FILE_NAMES = {"a.tga": "tga", "B.TGA": "tga", "c.Bmp": "bmp", ".tga": "tga", "d.png": None, "e": None}


def _library_layout(name):
    function = ctypes.CDLL(tarvelo.library_path()).TarveloLayoutFromName
    function.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)]
    value = ctypes.c_int(-1)
    if function(name.encode(), ctypes.byref(value)) != 0:
        return None
    return tarvelo.Layout(value.value).name.lower()


def _python_layout(name):
    try:
        return tarvelo.layout_from_name(name).name.lower()
    except tarvelo.InvalidArgument:
        return None


def test_library_and_python_agree(tmp_path):
    pixels = pattern(3, 5, 4)
    source = tmp_path / "in.png"
    source.write_bytes(png(pixels))
    for index, (name, expected) in enumerate(LAYOUT_NAMES.items()):
        assert _library_layout(name) == _python_layout(name) == expected, name
        destination = tmp_path / f"out{index}.x"
        if expected is None:
            with pytest.raises(tarvelo.InvalidArgument):
                tarvelo.convert(source, destination, name)
            with pytest.raises(tarvelo.InvalidArgument):
                tarvelo.encode(pixels, name)
            assert not destination.exists()
        else:
            tarvelo.convert(source, destination, name)
            assert destination.read_bytes() == tarvelo.encode(pixels, name) == EXPECTED[expected](pixels), name
    for name, expected in FILE_NAMES.items():
        assert _library_layout(name) == _python_layout(name) == expected, name


def _tool_layout(tool, source, destination, forced=None):
    """The layout the tool wrote (read from the output's first bytes), or None if it refused."""
    arguments = [tool] + (["--to", forced] if forced is not None else []) + ["--", str(source), str(destination)]
    result = subprocess.run(arguments, capture_output=True, timeout=60)
    if result.returncode != 0:
        assert not os.path.exists(destination), arguments
        return None
    data = open(destination, "rb").read()
    os.remove(destination)
    return "bmp" if data[:2] == b"BM" else "tga"


def test_the_tool_agrees(tmp_path):
    tool = built_tool()
    if tool is None:
        pytest.skip("tarvelo-convert is not built in the build tree TARVELO_LIBRARY names")
    source = tmp_path / "in.png"
    source.write_bytes(png(pattern(2, 3, 3)))
    if _tool_layout(tool, source, tmp_path / "probe.out", ".tga") is None:
        pytest.skip("this tarvelo-convert reads --to without TarveloLayoutFromName (it refuses --to .tga)")
    for name, expected in LAYOUT_NAMES.items():
        assert _tool_layout(tool, source, tmp_path / "out.x", name) == expected, f"--to {name!r}"
    for name, expected in FILE_NAMES.items():
        assert _tool_layout(tool, source, tmp_path / name) == expected, f"destination {name!r}"


def test_layouts_come_from_the_library():
    # The library's layout table names every Layout member, with its extension.
    layouts = tarvelo._library.get().layouts
    assert [(value, name) for value, name, _ in layouts] == [(m.value, m.name.lower()) for m in tarvelo.Layout]
    for value, name, extension in layouts:
        assert tarvelo.layout_from_name(extension) is tarvelo.Layout(value)
        assert tarvelo._api.layout_extension(name) == extension
