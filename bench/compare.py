#!/usr/bin/python3
"""Times tarvelo-convert against the decoder alone and against the tools people use.

Every program runs as its own process from a clean start, with the source in the
page cache and the output written into the page cache (each output is deleted,
untimed, after its run). Runs alternate: each repetition runs every program once
per case, in an order that rotates from one repetition to the next, so that a
slow spell of the machine touches all of them alike. Reported per program and
case: the median wall time, its ratio to the decode-only floor, and the peak
resident memory (wait4's ru_maxrss, which covers the process and every child it
waited for, e.g. tarvelo-convert's worker).

Sections:
  writer    the writer alone (Google Benchmark): MB/s into a null sink and into
            the page cache, per layout and channel count
  single    one conversion per process, 24 MP and 1 MP sources, both layouts
  batch     200 small PNGs: the floor in one process (and in two), tarvelo-convert
            -j 1 and -j 2, GraphicsMagick's mogrify
  small     2000 tiny PNGs (64 x 64 RGBA), both layouts, one run each: tarvelo-convert
            -j 1 and -j 2 against GraphicsMagick's mogrify, where each file's system
            calls are the cost; the same 2000 pictures at 640 x 480: tarvelo-convert
            -j 2 against the floor in one process; with --windows-tool, the Windows
            tool under Wine: its cost per file in a batch of 200 tiny files at -j 2
            (a batch of 200 less a batch of 1, over 199), and its bytes against the
            Linux tool's
  threads   the library's calls at 24 MP and 1 MP: the frozen exports (which
            start no thread), the status call with default options (none either)
            and with helper threads allowed; the exports' cost is their time over
            the threads-allowed one
  decoder   builds of the decoder: the floor (the header at -O3, as the library
            compiles it, with the C library's allocator), the header at -O2,
            Debian's prebuilt libstb.a, and the library's decoding (its build
            of the header with its decoder allocator)

Every run prints its tables, saves them to WORK/report.md and records them, with
the date, the machine, the command and the commit, in bench/RESULTS.md (the part
between its markers is replaced; what follows them is kept).

Usage: compare.py --build BUILD_DIR [--work DIR] [--reps N] [--sections ...] [--results PATH]
Run through bench/compare.sh, which installs the peers and builds what this needs.
"""

import argparse
import datetime
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

LAYOUTS = ("tga", "bmp")
SOURCES = ("rgb.png", "rgba.png", "grey.png", "rgb.jpg", "rgba.tga", "rgb.bmp")
SIZES = ("24mp", "1mp")
PEERS = ("stb_image_write", "ImageMagick", "GraphicsMagick", "vips", "Pillow")
SMALL_REPEATS = 3
PILLOW_CONVERT = "import sys\nfrom PIL import Image\nImage.open(sys.argv[1]).save(sys.argv[2])\n"

# The targets the comparison checks.
TARGET_GEOMEAN = 1.05
TARGET_WORST = 1.10
TARGET_EXTRA_MEMORY_MIB = 2.0
TARGET_WRITER_GBPS = 2.0
TARGET_BATCH_SPEEDUP = 1.8
TARGET_BATCH_OVERHEAD = 0.05
TARGET_SINGLE_1MP_GEOMEAN = 1.05
TARGET_SMALL_J1_OF_MOGRIFY = 0.7
TARGET_SMALL_J2_OF_MOGRIFY = 0.4
TARGET_SMALL_640_J2_OF_FLOOR = 0.55
TARGET_WINE_SECONDS_PER_FILE = 0.03
# Against the tool of an earlier commit (--baseline-tool), timed in the same run.
TARGET_BASELINE_GEOMEAN = 1.03
TARGET_BASELINE_WORST = 1.10
BASELINE = "tarvelo (before)"
WINE_BATCH = 200


class Runner:
    """Runs command lines through tarvelo-run-measured: wall seconds and peak MiB."""

    def __init__(self, build, work):
        self.launcher = os.path.join(build, "bench", "tarvelo-run-measured")
        self.stderr_path = os.path.join(work, "last-stderr.txt")

    def run(self, argv, cwd=None):
        return self.run_together([argv], cwd)

    def run_together(self, argvs, cwd=None):
        """Starts all command lines at once; time until the last ends, largest peak."""
        command = [self.launcher]
        for index, argv in enumerate(argvs):
            command += ([";;"] if index else []) + argv
        with open(self.stderr_path, "wb") as stderr:
            result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=stderr, cwd=cwd, check=False)
        if result.returncode != 0:
            with open(self.stderr_path, "rb") as stderr:
                message = stderr.read().decode(errors="replace").strip()
            raise RuntimeError(f"{' '.join(argvs[0][:3])} ... failed: {message[:300]}")
        seconds, peak_kib = result.stdout.split()
        return float(seconds), int(peak_kib) / 1024.0


class Samples:
    """Wall times and peaks per (case, program)."""

    def __init__(self):
        self.times = {}
        self.peaks = {}

    def add(self, key, elapsed, peak):
        self.times.setdefault(key, []).append(elapsed)
        self.peaks.setdefault(key, []).append(peak)

    def median(self, key):
        values = self.times.get(key)
        return statistics.median(values) if values else None

    def peak(self, key):
        values = self.peaks.get(key)
        return statistics.median(values) if values else None


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def rotated(items, shift):
    shift %= len(items)
    return items[shift:] + items[:shift]


def geomean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def find_program(name):
    path = shutil.which(name)
    return path


# ---------------------------------------------------------------- programs

def single_programs(build, tool, baseline, missing):
    """Program name -> function(source, destination, layout) -> argv."""
    bench = os.path.join(build, "bench")
    programs = {
        "floor": lambda s, d, layout: [os.path.join(bench, "tarvelo-decode-floor"), s],
        "library decode": lambda s, d, layout: [os.path.join(bench, "tarvelo-decode-library"), s],
        "tarvelo": lambda s, d, layout: [tool, s, d],
        **({BASELINE: lambda s, d, layout: [baseline, s, d]} if baseline else {}),
        "stb_image_write": lambda s, d, layout: [os.path.join(bench, "tarvelo-stb-write-convert"), s, d],
    }
    convert, gm, vips = find_program("convert"), find_program("gm"), find_program("vips")
    if convert:
        programs["ImageMagick"] = lambda s, d, layout: [convert, s, d]
    if gm:
        programs["GraphicsMagick"] = lambda s, d, layout: [gm, "convert", s, d]
    if vips:
        # vips has no TGA saver of its own; it saves both layouts through its
        # ImageMagick module.
        programs["vips"] = lambda s, d, layout: [vips, "magicksave", s, d, "--format", layout]
    if os.path.exists("/usr/bin/python3") and subprocess.run(
            ["/usr/bin/python3", "-c", "import PIL"], capture_output=True).returncode == 0:
        programs["Pillow"] = lambda s, d, layout: ["/usr/bin/python3", "-c", PILLOW_CONVERT, s, d]
    for peer in PEERS:
        if peer not in programs:
            missing.append(peer)
    return programs


# ---------------------------------------------------------------- sections

def run_writer(build, quick):
    bench = os.path.join(build, "bench", "tarvelo-writer-bench")
    min_time = "0.1" if quick else "0.5"
    result = subprocess.run([bench, "--benchmark_format=json", f"--benchmark_min_time={min_time}",
                             "--benchmark_filter=BM_PixelRowsToNullSink|BM_WholeFileToPageCache"],
                            capture_output=True, text=True, check=True)
    rows = {}
    for entry in json.loads(result.stdout)["benchmarks"]:
        kind = "null" if "NullSink" in entry["name"] else "page cache"
        rows.setdefault(entry["label"], {})[kind] = entry["bytes_per_second"] / 1e9
    return rows


def run_single(build, tool, baseline, inputs, work, reps, runner, missing, sizes):
    programs = single_programs(build, tool, baseline, missing)
    names = list(programs)
    out = os.path.join(work, "out")
    os.makedirs(out, exist_ok=True)
    samples = Samples()
    cases = [(size, source, layout) for size in sizes for source in SOURCES for layout in LAYOUTS]
    # A 1 MP conversion takes milliseconds, where the machine's own jitter is large:
    # it is timed SMALL_REPEATS times per repetition (cheap), a 24 MP one once.
    schedule = [case for case in cases for _ in range(SMALL_REPEATS if case[0] == "1mp" else 1)]
    for rep in range(reps):
        for index, (size, source, layout) in enumerate(schedule):
            path = os.path.join(inputs, f"{size}-{source}")
            for name in rotated(names, rep + index):
                destination = os.path.join(out, f"{name}.{layout}")
                elapsed, peak = runner.run(programs[name](path, destination, layout))
                remove(destination)
                samples.add((size, source, layout, name), elapsed, peak)
        print(f"  single conversions: repetition {rep + 1} of {reps} done", file=sys.stderr)
    return samples, names, cases


def run_batch(build, tool, inputs, work, reps, runner):
    batch_dir = os.path.join(inputs, "batch")
    names = sorted(f for f in os.listdir(batch_dir) if f.endswith(".png"))
    paths = [os.path.join(batch_dir, f) for f in names]
    floor = os.path.join(build, "bench", "tarvelo-decode-floor")
    gm = find_program("gm")
    out = os.path.join(work, "batch-out")
    half = len(paths) // 2
    samples = Samples()
    programs = {
        "floor": lambda layout: ("one", [floor] + paths),
        "floor, 2 processes": lambda layout: ("two", [[floor] + paths[:half], [floor] + paths[half:]]),
        "tarvelo -j 1": lambda layout: ("one", [tool, "--to", layout, "-o", out, "-j", "1"] + paths),
        "tarvelo -j 2": lambda layout: ("one", [tool, "--to", layout, "-o", out, "-j", "2"] + paths),
    }
    if gm:
        # mogrify keeps the sources' relative names under its output directory.
        programs["GraphicsMagick mogrify"] = lambda layout: (
            "cwd", [gm, "mogrify", "-output-directory", out, "-format", layout] + names)
    program_names = list(programs)
    for rep in range(reps):
        for index, layout in enumerate(LAYOUTS):
            for name in rotated(program_names, rep + index):
                if name.startswith("floor") and layout != LAYOUTS[0]:
                    continue  # decoding does not depend on the layout
                os.makedirs(out, exist_ok=True)
                kind, argv = programs[name](layout)
                if kind == "two":
                    elapsed, peak = runner.run_together(argv)
                else:
                    elapsed, peak = runner.run(argv, cwd=batch_dir if kind == "cwd" else None)
                remove(out)
                samples.add((layout, name), elapsed, peak)
        print(f"  batch: repetition {rep + 1} of {reps} done", file=sys.stderr)
    return samples, program_names, len(paths)


def run_small(build, tool, baseline, windows_tool, inputs, work, reps, runner):
    small_dir = os.path.join(inputs, "small")
    names = sorted(f for f in os.listdir(small_dir) if f.endswith(".png"))
    paths = [os.path.join(small_dir, f) for f in names]
    large_dir = os.path.join(inputs, "small-640")
    large_paths = sorted(os.path.join(large_dir, f) for f in os.listdir(large_dir) if f.endswith(".png"))
    floor = os.path.join(build, "bench", "tarvelo-decode-floor")
    gm = find_program("gm")
    out = os.path.join(work, "small-out")
    samples = Samples()
    programs = {
        "tarvelo -j 1": lambda layout: ("one", [tool, "--to", layout, "-o", out, "-j", "1"] + paths),
        "tarvelo -j 2": lambda layout: ("one", [tool, "--to", layout, "-o", out, "-j", "2"] + paths),
        "640: floor": lambda layout: ("one", [floor] + large_paths),
        "640: tarvelo -j 2": lambda layout: ("one", [tool, "--to", layout, "-o", out, "-j", "2"] + large_paths),
    }
    if baseline:
        for jobs in ("1", "2"):
            programs[f"{BASELINE} -j {jobs}"] = lambda layout, jobs=jobs: (
                "one", [baseline, "--to", layout, "-o", out, "-j", jobs] + paths)
    if gm:
        programs["GraphicsMagick mogrify"] = lambda layout: (
            "cwd", [gm, "mogrify", "-output-directory", out, "-format", layout] + names)
    wine = WineSession(work, windows_tool) if windows_tool else None
    if wine:
        wine_out = "Z:" + out
        for count in (WINE_BATCH, 1):
            programs[f"Wine: {count}"] = lambda layout, count=count: (
                "cwd", wine.argv([wine.tool, "--to", layout, "-o", wine_out, "-j", "2"] + names[:count]))
    program_names = list(programs)
    # The tiny files' outputs are kept until the section ends: on ext4 without a
    # journal, creating files right after deleting as many makes the kernel scan
    # past every recently deleted inode, a cost of the benchmark's cleaning, not of
    # the program that happens to run next. Each run writes into a new directory.
    kept = []
    try:
        for rep in range(reps):
            for index, layout in enumerate(LAYOUTS):
                for name in rotated(program_names, rep + index):
                    if name == "640: floor" and layout != LAYOUTS[0]:
                        continue  # decoding does not depend on the layout
                    os.makedirs(out, exist_ok=True)
                    kind, argv = programs[name](layout)
                    elapsed, peak = runner.run(argv, cwd=small_dir if kind == "cwd" else None)
                    if name.startswith("640"):
                        remove(out)
                    else:
                        kept.append(f"{out}-{len(kept)}")
                        os.rename(out, kept[-1])
                    samples.add((layout, name), elapsed, peak)
            print(f"  small files: repetition {rep + 1} of {reps} done", file=sys.stderr)
        same_bytes = wine.same_bytes_as(tool, small_dir, names[:WINE_BATCH], work) if wine else None
    finally:
        if wine:
            wine.stop()
        for directory in kept:
            remove(directory)
    return samples, program_names, len(paths), same_bytes


class WineSession:
    """A Wine prefix of the comparison's own, with one server kept running, so that
    the times are the tool's and not Wine's start."""

    def __init__(self, work, tool):
        self.tool = tool
        self.wine = find_program("wine")
        if not self.wine:
            raise RuntimeError("--windows-tool needs Wine (wine)")
        prefix = os.path.join(work, "wine-prefix")
        os.makedirs(prefix, exist_ok=True)
        os.environ.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="})
        subprocess.run(["wineserver", "-p"], check=True)
        subprocess.run([self.wine, "wineboot", "-i"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([self.wine, "cmd", "/c", "exit"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def argv(self, command):
        return [self.wine] + command

    def same_bytes_as(self, tool, small_dir, names, work):
        """Whether the Windows tool writes the Linux tool's bytes for `names`, both layouts."""
        for layout in LAYOUTS:
            linux_out, wine_out = os.path.join(work, "linux-out"), os.path.join(work, "wine-out")
            for directory in (linux_out, wine_out):
                os.makedirs(directory, exist_ok=True)
            subprocess.run([tool, "-q", "--to", layout, "-o", linux_out] + names, cwd=small_dir, check=True)
            subprocess.run(self.argv([self.tool, "-q", "--to", layout, "-o", "Z:" + wine_out] + names),
                           cwd=small_dir, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for name in names:
                output = os.path.splitext(name)[0] + "." + layout
                with open(os.path.join(linux_out, output), "rb") as a, open(os.path.join(wine_out, output), "rb") as b:
                    if a.read() != b.read():
                        return False
            remove(linux_out)
            remove(wine_out)
        return True

    def stop(self):
        subprocess.run(["wineserver", "-k"], check=False)


THREAD_MODES = ("export", "default", "threads")


def run_threads(build, inputs, work, reps, runner, sizes):
    program = os.path.join(build, "bench", "tarvelo-api-convert")
    out = os.path.join(work, "out")
    os.makedirs(out, exist_ok=True)
    samples = Samples()
    cases = [(size, source, layout) for size in sizes for source in SOURCES for layout in LAYOUTS]
    schedule = [case for case in cases for _ in range(SMALL_REPEATS if case[0] == "1mp" else 1)]
    for rep in range(reps):
        for index, (size, source, layout) in enumerate(schedule):
            path = os.path.join(inputs, f"{size}-{source}")
            for mode in rotated(list(THREAD_MODES), rep + index):
                destination = os.path.join(out, f"api-{mode}.{layout}")
                elapsed, peak = runner.run([program, mode, path, destination])
                remove(destination)
                samples.add((size, source, layout, mode), elapsed, peak)
        print(f"  threads: repetition {rep + 1} of {reps} done", file=sys.stderr)
    return samples, cases


def report_threads(samples, cases, lines):
    lines.append("Threads: one conversion per process through the shared library, median wall time "
                 "(ratio to threads allowed):")
    lines.append("")
    lines.append("| size | source | layout | " + " | ".join(THREAD_MODES) + " |")
    lines.append("|---|---|---|" + "---|" * len(THREAD_MODES))
    ratios = {}
    for size, source, layout in cases:
        base = samples.median((size, source, layout, "threads"))
        row = [size, source, layout]
        for mode in THREAD_MODES:
            value = samples.median((size, source, layout, mode))
            row.append(f"{value * 1000:.1f} ms ({value / base:.2f}x)")
            ratios.setdefault((size, mode), []).append(value / base)
        lines.append("| " + " | ".join(row) + " |")
    for size in sorted({case[0] for case in cases}):
        lines.append(f"| {size} | geometric mean | | " +
                     " | ".join(f"{geomean(ratios[(size, mode)]):.3f}" for mode in THREAD_MODES) + " |")
    lines.append("")


def run_decoder(build, inputs, reps, runner):
    bench = os.path.join(build, "bench")
    variants = {
        "floor (header at -O3)": os.path.join(bench, "tarvelo-decode-floor"),
        "header at -O2": os.path.join(bench, "tarvelo-decode-floor-O2"),
        "Debian libstb.a": os.path.join(bench, "tarvelo-decode-floor-libstb"),
        "library decode (+ its allocator)": os.path.join(bench, "tarvelo-decode-library"),
    }
    variants = {k: v for k, v in variants.items() if os.path.exists(v)}
    names = list(variants)
    samples = Samples()
    for rep in range(reps):
        for index, source in enumerate(SOURCES):
            path = os.path.join(inputs, f"24mp-{source}")
            for name in rotated(names, rep + index):
                elapsed, peak = runner.run([variants[name], path])
                samples.add((source, name), elapsed, peak)
        print(f"  decoder builds: repetition {rep + 1} of {reps} done", file=sys.stderr)
    return samples, names


# ---------------------------------------------------------------- report

def machine_description(build):
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as meminfo:
            memory = f"{int(meminfo.readline().split()[1]) / 1048576:.0f} GiB RAM"
    except (OSError, ValueError, IndexError):
        pass
    distribution = ""
    try:
        with open("/etc/os-release") as release:
            for line in release:
                if line.startswith("PRETTY_NAME="):
                    distribution = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    compiler = ""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as cache:
            for line in cache:
                if line.startswith("CMAKE_CXX_COMPILER:"):
                    path = line.split("=", 1)[1].strip()
                    compiler = subprocess.run([path, "--version"], capture_output=True,
                                              text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        pass
    return (f"{cpu}, {os.cpu_count()} cores, {memory}; {distribution}, Linux {platform.release()}; "
            f"{compiler}")


def cell(seconds, floor):
    if seconds is None:
        return "-"
    return f"{seconds:.3f} ({seconds / floor:.2f}x)" if floor else f"{seconds:.3f}"


def report_writer(rows, lines, verdicts):
    lines.append("Writer alone, 6000 x 4000 pixels, GB/s of output (Google Benchmark, wall time):")
    lines.append("")
    lines.append("| layout/channels | null sink | page cache (whole file) |")
    lines.append("|---|---|---|")
    slowest = None
    for label, values in rows.items():
        null = values.get("null")
        cache = values.get("page cache")
        lines.append(f"| {label} | {null:.2f} | {cache:.2f} |")
        if null is not None and (slowest is None or null < slowest[1]):
            slowest = (label, null)
    lines.append("")
    if slowest:
        verdicts.append((slowest[1] >= TARGET_WRITER_GBPS,
                         f"writer into a null sink >= {TARGET_WRITER_GBPS} GB/s everywhere "
                         f"(slowest {slowest[0]}: {slowest[1]:.2f} GB/s)"))


def report_single(samples, names, cases, lines, verdicts):
    peers = [n for n in names if n in PEERS]
    lines.append("Single conversions: median wall seconds (ratio to the floor); peak memory in MiB "
                 f"(1 MP cases timed {SMALL_REPEATS}x as often):")
    lines.append("")
    header = ["source", "layout"] + names + ["tarvelo / best peer", "peak MiB floor / tarvelo"]
    lines.append("| " + " | ".join(header) + " |")
    lines.append("|" + "---|" * len(header))
    ratios = {size: [] for size in SIZES}
    over_decode = {size: [] for size in SIZES}
    worst = (0.0, None)
    extra_memory = (-1e9, None)
    beaten_by = []
    png_colour = []
    for size, source, layout in cases:
        floor = samples.median((size, source, layout, "floor"))
        ours = samples.median((size, source, layout, "tarvelo"))
        row = [f"{size} {source}", layout]
        row += [cell(samples.median((size, source, layout, n)), floor) for n in names]
        best_peer = min(((samples.median((size, source, layout, p)), p) for p in peers),
                        default=(None, None))
        versus = f"{ours / best_peer[0]:.2f} ({best_peer[1]})" if best_peer[0] else "-"
        floor_peak = samples.peak((size, source, layout, "floor"))
        our_peak = samples.peak((size, source, layout, "tarvelo"))
        row += [versus, f"{floor_peak:.1f} / {our_peak:.1f}"]
        lines.append("| " + " | ".join(row) + " |")
        ratio = ours / floor
        ratios[size].append(ratio)
        library_decode = samples.median((size, source, layout, "library decode"))
        if library_decode:
            over_decode[size].append(ours / library_decode)
        if ratio > worst[0]:
            worst = (ratio, f"{size} {source} -> {layout}")
        if our_peak - floor_peak > extra_memory[0]:
            extra_memory = (our_peak - floor_peak, f"{size} {source} -> {layout}")
        if best_peer[0]:
            if source in ("rgb.png", "rgba.png"):
                png_colour.append(f"{size} {source} -> {layout}: {ours / best_peer[0]:.2f}x {best_peer[1]}")
            elif ours >= best_peer[0]:
                beaten_by.append(f"{size} {source} -> {layout} by {best_peer[1]} "
                                 f"({ours / best_peer[0]:.2f}x)")
    lines.append("")
    all_ratios = [r for size in SIZES for r in ratios[size]]
    for size in SIZES:
        if ratios[size]:
            lines.append(f"tarvelo / floor, {size}: geometric mean {geomean(ratios[size]):.3f}, "
                         f"worst {max(ratios[size]):.3f}")
    lines.append(f"tarvelo / floor, all cases: geometric mean {geomean(all_ratios):.3f}, "
                 f"worst {worst[0]:.3f} ({worst[1]})")
    for size in SIZES:
        if over_decode[size]:
            lines.append(f"tarvelo / library decode (what writing the file and the tool add), {size}: "
                         f"geometric mean {geomean(over_decode[size]):.3f}, worst {max(over_decode[size]):.3f}")
    if png_colour:
        lines.append("colour PNG, tarvelo against the best peer: " + "; ".join(png_colour))
    if BASELINE in names:
        against = {(size, source, layout): samples.median((size, source, layout, "tarvelo")) /
                   samples.median((size, source, layout, BASELINE)) for size, source, layout in cases}
        slowest = max(against, key=against.get)
        mean = geomean(list(against.values()))
        lines.append(f"tarvelo / {BASELINE}: geometric mean {mean:.3f}, worst {against[slowest]:.3f} "
                     f"({slowest[0]} {slowest[1]} -> {slowest[2]})")
        verdicts.append((mean <= TARGET_BASELINE_GEOMEAN,
                         f"single conversions within {TARGET_BASELINE_GEOMEAN - 1:.0%} of the earlier tool "
                         f"(geometric mean {mean:.3f})"))
        verdicts.append((against[slowest] <= TARGET_BASELINE_WORST,
                         f"no single conversion {TARGET_BASELINE_WORST - 1:.0%} slower than with the earlier tool "
                         f"(worst {against[slowest]:.3f})"))
    lines.append("")
    if ratios["1mp"]:
        verdicts.append((geomean(ratios["1mp"]) <= TARGET_SINGLE_1MP_GEOMEAN,
                         f"1 MP single conversions within {TARGET_SINGLE_1MP_GEOMEAN - 1:.0%} of the floor "
                         f"(geometric mean {geomean(ratios['1mp']):.3f})"))
    verdicts.append((geomean(all_ratios) <= TARGET_GEOMEAN,
                     f"single conversions within {TARGET_GEOMEAN - 1:.0%} of the floor (geometric mean "
                     f"{geomean(all_ratios):.3f})"))
    verdicts.append((worst[0] <= TARGET_WORST,
                     f"every single conversion within {TARGET_WORST - 1:.0%} of the floor "
                     f"(worst {worst[0]:.3f}, {worst[1]})"))
    verdicts.append((extra_memory[0] <= TARGET_EXTRA_MEMORY_MIB,
                     f"peak memory <= floor + {TARGET_EXTRA_MEMORY_MIB:.0f} MiB "
                     f"(largest excess {extra_memory[0]:+.1f} MiB, {extra_memory[1]})"))
    verdicts.append((not beaten_by,
                     "faster than every peer on JPEG, BMP, TGA and grey sources" +
                     (" (not: " + "; ".join(beaten_by) + ")" if beaten_by else "")))


def report_batch(samples, names, count, lines, verdicts):
    lines.append(f"Batch of {count} PNGs (640 x 480 RGB): median wall seconds, ms per file, peak MiB:")
    lines.append("")
    lines.append("| program | tga | bmp | ms/file (tga) | peak MiB |")
    lines.append("|---|---|---|---|---|")
    for name in names:
        tga = samples.median(("tga", name))
        bmp = samples.median(("bmp", name))
        peak = samples.peak(("tga", name))
        bmp_cell = f"{bmp:.3f}" if bmp is not None else "(same)"
        lines.append(f"| {name} | {tga:.3f} | {bmp_cell} | {tga / count * 1000:.2f} | {peak:.1f} |")
    lines.append("")
    floor = samples.median(("tga", "floor"))
    for layout in LAYOUTS:
        one = samples.median((layout, "tarvelo -j 1"))
        two = samples.median((layout, "tarvelo -j 2"))
        overhead = one / floor - 1
        line = (f"{layout}: -j 2 is {one / two:.2f}x faster than -j 1; -j 1 costs {overhead:+.1%} "
                f"over the floor ({(one - floor) / count * 1000:.2f} ms per file)")
        mogrify = samples.median((layout, "GraphicsMagick mogrify"))
        if mogrify:
            line += f"; -j 2 takes {two / mogrify:.2f}x the time of GraphicsMagick's mogrify"
        lines.append(line)
        verdicts.append((one / two >= TARGET_BATCH_SPEEDUP,
                         f"batch -j 2 >= {TARGET_BATCH_SPEEDUP}x faster than -j 1 ({layout}: "
                         f"{one / two:.2f}x)"))
        verdicts.append((overhead < TARGET_BATCH_OVERHEAD,
                         f"batch per-file overhead over the floor < {TARGET_BATCH_OVERHEAD:.0%} "
                         f"({layout}: {overhead:+.1%})"))
    lines.append("")


def report_small(samples, names, count, same_bytes, lines, verdicts):
    lines.append(f"Small files: {count} PNGs (64 x 64 RGBA) in one run, and the same pictures at 640 x 480: "
                 "median wall seconds, ms per file, peak MiB:")
    lines.append("")
    lines.append("| program | tga | bmp | ms/file (tga) | peak MiB |")
    lines.append("|---|---|---|---|---|")
    for name in names:
        if name.startswith("Wine"):
            continue
        tga = samples.median(("tga", name))
        bmp = samples.median(("bmp", name))
        bmp_cell = f"{bmp:.3f}" if bmp is not None else "(same)"
        lines.append(f"| {name} | {tga:.3f} | {bmp_cell} | {tga / count * 1000:.3f} | "
                     f"{samples.peak(('tga', name)):.1f} |")
    lines.append("")
    for layout in LAYOUTS:
        mogrify = samples.median((layout, "GraphicsMagick mogrify"))
        if mogrify:
            for name, target in (("tarvelo -j 1", TARGET_SMALL_J1_OF_MOGRIFY),
                                 ("tarvelo -j 2", TARGET_SMALL_J2_OF_MOGRIFY)):
                ratio = samples.median((layout, name)) / mogrify
                lines.append(f"{layout}: {name} takes {ratio:.2f}x the time of GraphicsMagick's mogrify "
                             f"(target <= {target})")
                verdicts.append((ratio <= target,
                                 f"small files, {name} <= {target}x mogrify ({layout}: {ratio:.2f}x)"))
        for jobs in ("1", "2"):
            before = samples.median((layout, f"{BASELINE} -j {jobs}"))
            if before:
                ours = samples.median((layout, f"tarvelo -j {jobs}"))
                lines.append(f"{layout}: tarvelo -j {jobs} takes {ours / before:.2f}x the time of {BASELINE}")
        ratio = samples.median((layout, "640: tarvelo -j 2")) / samples.median(("tga", "640: floor"))
        lines.append(f"{layout}: at 640 x 480, tarvelo -j 2 takes {ratio:.2f}x the time of the floor in one "
                     f"process (target <= {TARGET_SMALL_640_J2_OF_FLOOR})")
        verdicts.append((ratio <= TARGET_SMALL_640_J2_OF_FLOOR,
                         f"640 x 480 files, tarvelo -j 2 <= {TARGET_SMALL_640_J2_OF_FLOOR}x the floor "
                         f"({layout}: {ratio:.2f}x)"))
        many = samples.median((layout, f"Wine: {WINE_BATCH}"))
        if many is not None:
            one = samples.median((layout, "Wine: 1"))
            per_file = (many - one) / (WINE_BATCH - 1)
            lines.append(f"{layout}: under Wine, -j 2: {WINE_BATCH} files {many:.3f} s, 1 file {one:.3f} s: "
                         f"{per_file * 1000:.1f} ms per file (target <= {TARGET_WINE_SECONDS_PER_FILE * 1000:.0f})")
            verdicts.append((per_file <= TARGET_WINE_SECONDS_PER_FILE,
                             f"Windows tool under Wine, -j 2, <= {TARGET_WINE_SECONDS_PER_FILE} s per file "
                             f"({layout}: {per_file:.4f} s)"))
    if same_bytes is not None:
        lines.append(f"Windows tool under Wine writes the Linux tool's bytes for the {WINE_BATCH} files, both "
                     f"layouts: {'yes' if same_bytes else 'NO'}")
        verdicts.append((same_bytes, "Windows tool under Wine: the same bytes as on Linux"))
    lines.append("")


def report_decoder(samples, names, lines):
    lines.append("Decoder builds, 24 MP sources, decode only: median wall seconds (ratio to the "
                 "floor):")
    lines.append("")
    lines.append("| source | " + " | ".join(names) + " |")
    lines.append("|---|" + "---|" * len(names))
    ratios = {name: [] for name in names}
    for source in SOURCES:
        base = samples.median((source, names[0]))
        row = [source]
        for name in names:
            value = samples.median((source, name))
            ratios[name].append(value / base)
            row.append(cell(value, base))
        lines.append("| " + " | ".join(row) + " |")
    lines.append("| geometric mean | " + " | ".join(f"{geomean(ratios[n]):.3f}" for n in names) + " |")
    lines.append("")


RESULTS_BEGIN = "<!-- latest run: written by bench/compare.py, replaced on every run -->"
RESULTS_END = "<!-- end of the latest run -->"
RESULTS_HEADER = """# Benchmark results

Measurements live here, not in the code's comments. `bash bench/compare.sh` (see
[docs/performance.md](../docs/performance.md)) replaces the latest run below on every run;
earlier runs are in this file's history (`git log -p bench/RESULTS.md`).

The measurements are in two files:

- this one: the latest comparison run, the last full run, and the measurements behind the design choices (the
  decoder allocator, writing the file, the flattening loop, the tool's start, the decoder build);
- [RESULTS-pipelines.md](RESULTS-pipelines.md): small files and the tool's start, measured by hand: system calls per
  file in a batch, unnamed against named temporary files and reserving a small file's space, the small-file batch,
  the tool's start in instructions, and 1 MP single conversions with sources read whole.

"""


def source_commit():
    """The commit measured, marked when the working tree differs from it."""
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        commit = subprocess.run(["git", "-C", here, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", here, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown (not a git checkout)"
    return commit + (" with local changes" if dirty else "")


def results_block(when, machine, command, commit, tables, targets):
    """The latest run as recorded in bench/RESULTS.md."""
    lines = [RESULTS_BEGIN, "## Latest run", "",
             f"- Date: {when}",
             f"- Machine: {machine}",
             f"- Command: `{command}`",
             f"- Source: commit {commit}",
             "", tables.rstrip(), ""]
    if targets:
        lines += ["The targets, as the script checks them:", "", "```text", *targets, "```", ""]
    lines.append(RESULTS_END)
    return "\n".join(lines) + "\n"


def write_results(path, block):
    """Replaces the latest run in `path` by `block`, keeping everything after it."""
    try:
        with open(path) as existing_file:
            existing = existing_file.read()
    except FileNotFoundError:
        existing = ""
    begin = existing.find(RESULTS_BEGIN)
    end = existing.find(RESULTS_END, begin + 1) if begin >= 0 else -1
    if begin >= 0 and end >= 0:
        rest = existing[end + len(RESULTS_END):].lstrip("\n")
        updated = existing[:begin] + block + ("\n" + rest if rest else "")
    else:
        kept = existing.strip()
        updated = RESULTS_HEADER + block + ("\n" + kept + "\n" if kept else "")
    temporary = path + ".tmp"
    with open(temporary, "w") as results:
        results.write(updated)
    os.replace(temporary, path)


def load_average():
    try:
        return " ".join(f"{v:.2f}" for v in os.getloadavg())
    except OSError:
        return "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build directory with the tool and bench/")
    parser.add_argument("--tool", help="tarvelo-convert to time (default: the one in the build tree)")
    parser.add_argument("--work", help="directory for inputs and outputs (default BUILD/compare)")
    parser.add_argument("--baseline-tool", help="an earlier tarvelo-convert to time beside --tool (single, small)")
    parser.add_argument("--windows-tool", help="the Windows tarvelo-convert.exe to time under Wine (small section)")
    parser.add_argument("--reps", type=int, default=5, help="repetitions (default 5)")
    parser.add_argument("--sections", default="writer,single,batch,small,threads,decoder",
                        help="comma-separated: writer,single,batch,small,threads,decoder (default all)")
    parser.add_argument("--sizes", default=",".join(SIZES), help="single conversions: 24mp,1mp")
    parser.add_argument("--results", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md"),
                        help="file that records the run (default bench/RESULTS.md; '-' records nothing)")
    args = parser.parse_args()
    command = os.environ.get("TARVELO_BENCH_COMMAND") or " ".join(["bench/compare.py", *sys.argv[1:]])

    build = os.path.abspath(args.build)
    tool = os.path.abspath(args.tool or os.path.join(build, "tools", "tarvelo-convert", "tarvelo-convert"))
    work = os.path.abspath(args.work or os.path.join(build, "compare"))
    baseline = os.path.abspath(args.baseline_tool) if args.baseline_tool else None
    inputs = os.path.join(work, "inputs")
    os.makedirs(inputs, exist_ok=True)
    sections = set(args.sections.split(","))
    sizes = [s for s in SIZES if s in args.sizes.split(",")]
    quick = args.reps < 3

    print("making the inputs (once) ...", file=sys.stderr)
    subprocess.run([os.path.join(build, "bench", "tarvelo-make-bench-inputs"), inputs], check=True)

    runner = Runner(build, work)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    machine = machine_description(build)
    lines = [f"Machine: {machine}",
             f"Repetitions: {args.reps}, alternating; load average before: {load_average()}", ""]
    verdicts = []
    missing = []
    started = time.time()
    results = {}
    if "writer" in sections:
        print("writer alone ...", file=sys.stderr)
        results["writer"] = run_writer(build, quick)
    if "single" in sections:
        print("single conversions ...", file=sys.stderr)
        results["single"] = run_single(build, tool, baseline, inputs, work, args.reps, runner, missing, sizes)
    if "batch" in sections:
        print("batch ...", file=sys.stderr)
        results["batch"] = run_batch(build, tool, inputs, work, args.reps, runner)
    if "small" in sections:
        print("small files ...", file=sys.stderr)
        results["small"] = run_small(build, tool, baseline, args.windows_tool, inputs, work, args.reps, runner)
    if "threads" in sections:
        print("threads ...", file=sys.stderr)
        results["threads"] = run_threads(build, inputs, work, args.reps, runner, sizes)
    if "decoder" in sections:
        print("decoder builds ...", file=sys.stderr)
        results["decoder"] = run_decoder(build, inputs, args.reps, runner)

    if "writer" in results:
        report_writer(results["writer"], lines, verdicts)
    if "single" in results:
        report_single(*results["single"], lines, verdicts)
    if "batch" in results:
        report_batch(*results["batch"], lines, verdicts)
    if "small" in results:
        report_small(*results["small"], lines, verdicts)
    if "threads" in results:
        report_threads(*results["threads"], lines)
    if "decoder" in results:
        report_decoder(*results["decoder"], lines)
    if missing:
        lines.append("Not installed, left out: " + ", ".join(missing))
    lines.append(f"Load average after: {load_average()}; took {time.time() - started:.0f} s")
    tables = "\n".join(lines[1:])
    targets = [f"  [{'met' if met else 'MISSED'}] {text}" for met, text in verdicts]
    lines += ["", "Targets:", *targets]
    report = "\n".join(lines)
    print(report)
    with open(os.path.join(work, "report.md"), "w") as saved:
        saved.write(report + "\n")
    if args.results != "-":
        write_results(args.results, results_block(when, machine, command, source_commit(), tables, targets))
        print(f"recorded in {args.results}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
