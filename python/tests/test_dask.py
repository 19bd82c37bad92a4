"""tarvelo.dask on a real two-process cluster on the loopback interface."""

import logging
import os
import signal
import threading
import time

import pytest

import tarvelo
import tarvelo.dask
from conftest import import_or_skip
from reference import EXPECTED, pattern, png, pnm

distributed = import_or_skip("distributed")

FILES = 300


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        silence_logs=logging.ERROR,
    ) as local, distributed.Client(local) as client:
        yield client
    # Leaving the block closes the client, the workers and the scheduler.


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sources")
    images = {}
    for index in range(FILES):
        channels = 1 + index % 4
        pixels = pattern(48 + index % 9, 64 + index % 13, channels, seed=index)
        writer, extension = (pnm, "pgm" if channels == 1 else "ppm") if index % 5 == 0 and channels in (1, 3) else (png, "png")
        path = folder / f"image{index:04d}.{extension}"
        path.write_bytes(writer(pixels))
        images[str(path)] = pixels
    return folder, images


def _check_outputs(output_dir, images, layout):
    names = sorted(os.listdir(output_dir))
    expected_names = sorted(os.path.splitext(os.path.basename(path))[0] + "." + layout for path in images)
    assert names == expected_names  # nothing missing, no temporary or stray file
    for path, pixels in images.items():
        output = output_dir / (os.path.splitext(os.path.basename(path))[0] + "." + layout)
        assert output.read_bytes() == EXPECTED[layout](pixels), output


def test_plan_refuses_duplicate_output_names():
    pairs, failed = tarvelo.dask.plan(
        ["a/x.png", "b/x.jpg", "a/y.png", "a/x.png", "c/X.png"], "out", tarvelo.Layout.TGA
    )
    # X.tga and x.tga are one file on FAT and NTFS volumes.
    assert pairs == [("a/x.png", os.path.join("out", "x.tga")), ("a/y.png", os.path.join("out", "y.tga"))]
    assert set(failed) == {"b/x.jpg", "a/x.png", "c/X.png"} and "a/x.png" in failed["c/X.png"]


def test_cluster_converts_every_file(cluster, sources, tmp_path):
    folder, images = sources
    started = time.monotonic()
    summary = tarvelo.dask.convert_many(cluster, str(folder / "image*"), tmp_path, "bmp", chunk_size=16)
    elapsed = time.monotonic() - started
    assert sorted(summary.converted) == sorted(images) and not summary.failed and not summary.skipped
    _check_outputs(tmp_path, images, "bmp")
    print(f"\ncluster: {FILES} files in {elapsed:.2f} s")

    # Again with the outputs in place: nothing is rewritten.
    again = tarvelo.dask.convert_many(cluster, list(images), tmp_path, "bmp", chunk_size=64, skip_existing=True)
    assert sorted(again.skipped) == sorted(images) and not again.converted and not again.failed


def test_failures_are_reported_by_file(cluster, sources, tmp_path):
    folder, images = sources
    broken = tmp_path / "in" / "broken.png"
    broken.parent.mkdir()
    broken.write_bytes(b"\x89PNG\r\n\x1a\n garbage")
    twin = tmp_path / "in" / "image0001.png"  # same stem as a source in the other folder
    twin.write_bytes(png(pattern(2, 2, 3)))
    chosen = sorted(images)[:10]
    output_dir = tmp_path / "out"
    output_dir.mkdir()
    summary = tarvelo.dask.convert_many(
        cluster, chosen + [str(broken), str(twin), str(tmp_path / "missing.png")], output_dir, "tga", chunk_size=3,
        progress=True,
    )
    assert sorted(summary.converted) == chosen
    assert set(summary.failed) == {str(broken), str(twin), str(tmp_path / "missing.png")}
    assert summary.failed[str(broken)].startswith("source unreadable")
    assert "same output name" in summary.failed[str(twin)]
    assert sorted(os.listdir(output_dir)) == sorted(os.path.basename(p)[:-4] + ".tga" for p in chosen)


def test_a_worker_killed_part_way_loses_nothing(cluster, sources, tmp_path):
    _, images = sources
    workers = cluster.run(os.getpid)  # address -> worker process id
    killed = {}

    def kill_one_worker_part_way():
        deadline = time.monotonic() + 60
        while len(os.listdir(tmp_path)) < FILES // 5 and time.monotonic() < deadline:
            time.sleep(0.002)
        busy = [address for address, keys in cluster.processing().items() if keys and address in workers]
        address = busy[0] if busy else next(iter(workers))
        killed["outputs"] = len(os.listdir(tmp_path))
        os.kill(workers[address], signal.SIGKILL)
        killed["address"] = address

    killer = threading.Thread(target=kill_one_worker_part_way)
    killer.start()
    # Small chunks and larger images so that both workers are busy when one dies.
    summary = tarvelo.dask.convert_many(cluster, list(images), tmp_path, "tga", chunk_size=4, retries=0)
    killer.join()
    print(f"\nworker killed after {killed['outputs']} of {FILES} outputs")
    assert killed["outputs"] < FILES, "the run ended before a worker was killed"
    assert sorted(summary.converted) == sorted(images) and not summary.failed
    _check_outputs(tmp_path, images, "tga")
    # The nanny starts a new worker in place of the dead one.
    cluster.wait_for_workers(2, timeout=30)
    assert set(cluster.run(os.getpid).values()).isdisjoint({workers[killed["address"]]})


def test_convert_many_refuses_up_front(tmp_path):
    # Settled on the client before the cluster is asked anything (no client is needed).
    source = tmp_path / "in.png"
    source.write_bytes(png(pattern(2, 2, 3)))
    with pytest.raises(FileNotFoundError) as caught:
        tarvelo.dask.convert_many(None, [str(source)], tmp_path / "missing", "tga")
    assert caught.value.filename == str(tmp_path / "missing")
    with pytest.raises(NotADirectoryError):
        tarvelo.dask.convert_many(None, [str(source)], source, "tga")
    with pytest.raises(FileNotFoundError) as caught:
        tarvelo.dask.convert_many(None, str(tmp_path / "*.jpg"), tmp_path, "tga")
    assert caught.value.filename == str(tmp_path / "*.jpg") and "no file matches" in str(caught.value)
    with pytest.raises(ValueError, match="no sources"):
        tarvelo.dask.convert_many(None, [], tmp_path, "tga")
    assert sorted(os.listdir(tmp_path)) == ["in.png"]
