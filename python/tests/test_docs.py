"""The documents' Python examples run as written, from a clean directory."""

import os
import re
from pathlib import Path

import pytest

from conftest import REQUIRE_ALL
from reference import expected_tga, pattern, png

ROOT = Path(__file__).resolve().parents[2]


def python_blocks(document):
    path = ROOT / document
    if not path.is_file():
        if REQUIRE_ALL:
            raise FileNotFoundError(path)
        pytest.skip(f"{document} is not beside the tests")
    return re.findall(r"```python\n(.*?)```", path.read_text(encoding="utf-8"), re.S)


def run_in(directory, code, monkeypatch):
    monkeypatch.chdir(directory)
    photos = directory / "photos"
    photos.mkdir()
    pixels = pattern(4, 3, 3, seed=5)
    # The decoder reads the contents, not the name: a PNG named .jpg stands in for a photo.
    for name in ("photo.jpg", "photos/a.jpg", "photos/b.jpg"):
        (directory / name).write_bytes(png(pixels))
    exec(compile(code, "example", "exec"), {})
    return expected_tga(pixels)


def test_the_readme_example_runs_in_an_empty_directory(tmp_path, monkeypatch):
    (block,) = [b for b in python_blocks("README.md") if "ThreadPoolExecutor" in b]
    # Everything before the cluster, which needs a scheduler.
    local = block.split("from distributed import Client")[0]
    expected = run_in(tmp_path, local, monkeypatch)
    assert (tmp_path / "photo.tga").read_bytes() == expected
    assert (tmp_path / "black.bmp").stat().st_size == 54 + 640 * 3 * 480
    assert sorted(os.listdir(tmp_path / "out")) == ["a.tga", "b.tga"]
    assert (tmp_path / "out" / "a.tga").read_bytes() == expected


def test_the_thread_pool_example_of_the_python_guide_runs_in_an_empty_directory(tmp_path, monkeypatch):
    (block,) = [b for b in python_blocks("docs/python.md") if "ThreadPoolExecutor" in b]
    expected = run_in(tmp_path, block, monkeypatch)
    assert sorted(os.listdir(tmp_path / "out")) == ["a.tga", "b.tga"]
    assert (tmp_path / "out" / "b.tga").read_bytes() == expected
