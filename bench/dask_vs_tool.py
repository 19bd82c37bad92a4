#!/usr/bin/env python3
"""Times tarvelo.dask.convert_many on a two-process LocalCluster against
`tarvelo-convert -j 2` on the same generated PNG files, and checks both give the
same bytes.

Usage (Debian's python3 with python3-numpy, python3-dask, python3-distributed):
  TARVELO_LIBRARY=build /usr/bin/python3 bench/dask_vs_tool.py \
      --tool build/tools/tarvelo-convert/tarvelo-convert [--files 300] [--size 256]
"""

import argparse
import logging
import os
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import numpy as np  # noqa: E402
import dask  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import tarvelo.dask  # noqa: E402


def png(pixels):
    height, width, channels = pixels.shape

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = np.concatenate([np.zeros((height, 1), np.uint8), pixels.reshape(height, -1)], axis=1)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)) + chunk(b"IEND", b""))


# Dask starts workers with MALLOC_TRIM_THRESHOLD_=65536, which also fixes glibc's mmap
# threshold at 128 KiB: every decoded image then comes from fresh pages. The second
# setting is the one docs/python.md recommends for conversion workers.
WORKER_ENVIRONMENTS = {
    "Dask's default allocator settings": {"MALLOC_TRIM_THRESHOLD_": "65536"},
    "MALLOC_TRIM_THRESHOLD_=64MiB MALLOC_MMAP_THRESHOLD_=32MiB": {
        "MALLOC_TRIM_THRESHOLD_": str(64 << 20),
        "MALLOC_MMAP_THRESHOLD_": str(32 << 20),
    },
}


def _cpu_seconds():
    times = os.times()
    return times.user + times.system


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--chunk-sizes", default="16,150", help="comma-separated; one run each")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory() as work:
        sources = []
        generator = np.random.default_rng(1)
        y, x = np.mgrid[0 : arguments.size, 0 : arguments.size]
        for index in range(arguments.files):
            noise = generator.integers(0, 16, size=(arguments.size, arguments.size, 3))
            pixels = (np.stack([x + index, y, x + y], axis=2) + noise).astype(np.uint8)
            path = os.path.join(work, f"image{index:05d}.png")
            with open(path, "wb") as file:
                file.write(png(pixels))
            sources.append(path)
        tool_dir, dask_dir = os.path.join(work, "tool"), os.path.join(work, "dask")
        os.mkdir(tool_dir)
        os.mkdir(dask_dir)

        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.monotonic()
        subprocess.run([arguments.tool, "-j", "2", "-o", tool_dir, "--to", "tga", "--", *sources], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tool_seconds = time.monotonic() - started
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        tool_cpu = after.ru_utime + after.ru_stime - children.ru_utime - children.ru_stime

        runs = []
        for setting, environ in WORKER_ENVIRONMENTS.items():
            started = time.monotonic()
            with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}), LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None,
                silence_logs=logging.ERROR,
            ) as cluster, Client(cluster) as client:
                cluster_start = time.monotonic() - started
                for chunk_size in [int(size) for size in arguments.chunk_sizes.split(",")]:
                    shutil.rmtree(dask_dir)
                    os.mkdir(dask_dir)
                    cpu_before = sum(client.run(_cpu_seconds).values())
                    began = time.monotonic()
                    summary = tarvelo.dask.convert_many(client, sources, dask_dir, "tga", chunk_size=chunk_size)
                    seconds = time.monotonic() - began
                    cpu = sum(client.run(_cpu_seconds).values()) - cpu_before
                    runs.append((setting, chunk_size, seconds, cpu))
                    assert not summary.failed and len(summary.converted) == len(sources), summary.failed
                    for name in os.listdir(tool_dir):
                        with open(os.path.join(tool_dir, name), "rb") as a, open(os.path.join(dask_dir, name), "rb") as b:
                            assert a.read() == b.read(), name
                    assert sorted(os.listdir(tool_dir)) == sorted(os.listdir(dask_dir))

    print(f"{arguments.files} PNG files of {arguments.size}x{arguments.size} RGB -> TGA, identical outputs")
    print(f"tarvelo-convert -j 2:                  {tool_seconds:.2f} s, CPU {tool_cpu:.2f} s")
    for setting, chunk_size, seconds, cpu in runs:
        print(f"convert_many, 2 worker processes:      {seconds:.2f} s, workers' CPU {cpu:.2f} s "
              f"(chunk_size {chunk_size}, {setting}, cluster up)")
    print(f"starting the LocalCluster:             {cluster_start:.2f} s")
    print(f"load average (1 min) at the end:       {os.getloadavg()[0]:.1f}")

if __name__ == "__main__":
    main()
