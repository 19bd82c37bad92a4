"""Conversions on many threads at once give the same bytes as one at a time."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import tarvelo
from reference import EXPECTED, pattern, png, pnm


def test_threads_converting_files_and_memory_at_once(tmp_path):
    jobs = []
    for index in range(96):
        channels = 1 + index % 4
        pixels = pattern(16 + index % 7, 24 + index % 5, channels, seed=index)
        source = tmp_path / f"in{index}.png"
        source.write_bytes(png(pixels))
        jobs.append((index, pixels, source, "tga" if index % 2 else "bmp"))

    def run(job):
        index, pixels, source, layout = job
        destination = tmp_path / f"out{index}.{layout}"
        tarvelo.convert(source, destination)
        from_pixels = tarvelo.encode(pixels, layout)
        from_bytes = tarvelo.convert_bytes(source.read_bytes(), layout=layout)
        return destination.read_bytes(), from_pixels, from_bytes

    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(run, jobs))
    for (index, pixels, _, layout), outputs in zip(jobs, results):
        expected = EXPECTED[layout](pixels)
        assert all(output == expected for output in outputs), index


def test_failures_on_other_threads_do_not_disturb_conversions(tmp_path):
    pixels = pattern(8, 8, 3)
    good = tmp_path / "good.ppm"
    good.write_bytes(pnm(pixels))

    def run(index):
        if index % 2:
            try:
                tarvelo.convert(tmp_path / f"missing{index}.png", tmp_path / f"bad{index}.tga")
            except tarvelo.SourceUnreadable as error:
                return error.detail
            return None
        return tarvelo.convert_bytes(good.read_bytes(), layout="tga")

    with ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(run, range(60)))
    assert all(result == EXPECTED["tga"](pixels) for result in results[::2])
    assert all(isinstance(result, str) and result for result in results[1::2])
    assert not list(tmp_path.glob("bad*"))


def test_the_gil_is_released_while_the_library_works(tmp_path):
    # The main thread keeps waking up while another thread is inside a long conversion;
    # were the GIL held for the call, it could not run until the call returned.
    source = tmp_path / "large.png"
    row = np.arange(3000 * 3, dtype=np.uint8).reshape(1, 3000, 3)
    source.write_bytes(png(row + np.arange(3000, dtype=np.uint8)[:, None, None]))
    window = {}

    def convert():
        window["start"] = time.perf_counter()
        tarvelo.convert(source, tmp_path / "large.tga")
        window["end"] = time.perf_counter()

    worker = threading.Thread(target=convert)
    stamps = []
    worker.start()
    while worker.is_alive():
        stamps.append(time.perf_counter())
        time.sleep(0.0005)
    worker.join()
    margin = 0.002
    inside = [stamp for stamp in stamps if window["start"] + margin < stamp < window["end"] - margin]
    assert window["end"] - window["start"] > 4 * margin
    assert len(inside) >= 3, (len(inside), window["end"] - window["start"])
