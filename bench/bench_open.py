"""Benchmark of the lazy reader, `qel.open`, against full loads and the baselines users know.

Writes its files in a temporary directory (they stay in the page cache), then measures each
figure side by side with its baseline in one run: rounds alternate, after a warm-up round, and
the table shows medians. Ratios are baseline time / qel time (higher is better); the memory
rows are peak resident bytes above the interpreter's own, each in a fresh interpreter.

    python bench/bench_open.py [--repeat 5] [--chunked-gib 2] [--only NAME ...]

The 256-channel file is written as a logger writes: one call of 8192 samples (64 KiB) per
channel in turn, so every channel's blocks lie spread over the whole file. h5py is optional.
"""

from __future__ import annotations

import argparse
import gzip
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

import numpy as np
import qel
from bench_python import MIB, Row, compare, machine, optional_h5py, print_table

CHANNELS = 256
BLOCK = 8192  # doubles per call: 64 KiB
CHANNEL_SAMPLES = MIB // 8  # 1 MiB per channel, 256 MiB in all
WANTED = "c137"


def values(channel: int, start: int, count: int) -> np.ndarray:
    return np.arange(start, start + count, dtype=np.float64) * 0.5 + channel


def write_interleaved(path: Path) -> None:
    layout = [(f"c{i}", "double", "scalar") for i in range(CHANNELS)]
    with qel.StreamWriter(path, layout) as writer:
        for start in range(0, CHANNEL_SAMPLES, BLOCK):
            for i in range(CHANNELS):
                time = start * 1_000_000  # 1 kHz
                writer.add_equidistant_segment(i, time, 1000.0, values(i, start, BLOCK))


def write_h5(path: Path, h5py: object) -> None:
    with h5py.File(path, "w") as f:  # type: ignore[attr-defined]
        for i in range(CHANNELS):
            f.create_dataset(f"c{i}", data=values(i, 0, CHANNEL_SAMPLES))


def write_one_channel(path: Path, count: int, block: int = 1 << 20) -> None:
    with qel.StreamWriter(path, [("x", "double", "scalar")]) as writer:
        for start in range(0, count, block):
            n = min(block, count - start)
            writer.add_equidistant_segment(0, start * 1000, 1e6, values(0, start, n))


PEAK = """
import sys, qel
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
f = qel.open(sys.argv[1])
before = status("VmRSS:")
open("/proc/self/clear_refs", "w").write("5")
if sys.argv[2] == "samples":
    kept = f.samples(sys.argv[3])
    print(status("VmHWM:") - before, kept.nbytes)
else:
    total = sum(len(s) for _, s in f.iter_chunks(sys.argv[3]))
    print(status("VmHWM:") - before, total * 8)
"""


def peak(path: Path, mode: str, name: str) -> tuple[int, int]:
    runs = [
        subprocess.run(
            [sys.executable, "-c", PEAK, str(path), mode, name],
            check=True, capture_output=True, text=True,
        ).stdout.split()
        for _ in range(3)
    ]  # fmt: skip
    return int(statistics.median(int(r[0]) for r in runs)), int(runs[0][1])


class Suite:
    def __init__(self, directory: Path, repeat: int, chunked_gib: float) -> None:
        self.dir = directory
        self.repeat = repeat
        self.chunked_bytes = int(chunked_gib * 2**30)
        self.files: dict[str, Path] = {}

    def file(self, name: str, make: Callable[[Path], None]) -> Path:
        if name not in self.files:
            make(self.dir / name)
            self.files[name] = self.dir / name
        return self.files[name]

    def many(self) -> Path:
        return self.file("256.qel", write_interleaved)

    def single(self) -> Path:
        return self.file("x.qel", lambda p: write_one_channel(p, 256 * MIB // 8))

    def fig_one_of_256(self) -> list[Row]:
        path = self.many()
        rows = []
        with qel.open(path) as f:
            assert np.array_equal(f.samples(WANTED), values(137, 0, CHANNEL_SAMPLES))
            h5py = optional_h5py()
            if h5py is not None:
                h5 = self.file("256.h5", lambda p: write_h5(p, h5py))

                def h5_read() -> object:
                    with h5py.File(h5, "r") as g:
                        return g[WANTED][()]

                rows.append(
                    compare(
                        "one channel of 256: f.samples vs h5py",
                        {"f.samples(n)": lambda: f.samples(WANTED), "h5py dataset[()]": h5_read},
                        self.repeat, 1.0, MIB,
                    )
                )  # fmt: skip
            rows.append(
                compare(
                    "  the same vs qel.load",
                    {"f.samples(n)": lambda: f.samples(WANTED),
                     "qel.load(p).channel(n).samples()":
                         lambda: qel.load(str(path))[WANTED].samples()},
                    self.repeat, 20.0, MIB,
                )
            )  # fmt: skip
        return rows

    def fig_open(self) -> list[Row]:
        path = self.many()

        def open_names() -> object:
            with qel.open(path) as f:
                return f.names

        row = compare(
            "qel.open + names vs qel.load, 256 channels",
            {"qel.open(p).names": open_names, "qel.load(p)": lambda: qel.load(str(path))},
            self.repeat, 50.0,
        )  # fmt: skip
        row.note = f"open is {1 / row.ratio:.2%} of the load"
        return [row]

    def fig_whole(self) -> list[Row]:
        path = self.many()
        with qel.open(path) as f:
            return [
                compare(
                    "f.read() of the whole 256-channel file",
                    {"f.read()": f.read, "qel.load(p)": lambda: qel.load(str(path))},
                    self.repeat, 1.0, 256 * MIB,
                )
            ]  # fmt: skip

    def fig_single(self) -> list[Row]:
        path = self.single()
        raw = self.file("x.f64", lambda p: values(0, 0, 256 * MIB // 8).tofile(p))
        with qel.open(path) as f:
            assert np.array_equal(f.samples("x"), np.fromfile(raw))
            return [
                compare(
                    "one channel of 256 MiB vs numpy.fromfile",
                    {"f.samples('x')": lambda: f.samples("x"),
                     "numpy.fromfile": lambda: np.fromfile(raw, dtype=np.float64)},
                    self.repeat, 0.9, 256 * MIB,
                )
            ]  # fmt: skip

    def fig_gzip(self) -> list[Row]:
        def pack(target: Path) -> None:
            with self.many().open("rb") as raw, gzip.open(target, "wb", compresslevel=1) as out:
                shutil.copyfileobj(raw, out, 4 * MIB)

        packed = self.file("256.qel.gz", pack)
        with qel.open(packed) as f:
            return [
                compare(
                    "one channel of a gzip file vs its full load",
                    {"f.samples(n), gzip": lambda: f.samples(WANTED),
                     "qel.load(p), gzip": lambda: qel.load(str(packed))},
                    self.repeat, 0.83, MIB,
                )
            ]  # fmt: skip

    def fig_memory(self) -> list[Row]:
        used, result = peak(self.single(), "samples", "x")
        rows = [
            Row("peak RSS of f.samples, 256 MiB channel", "peak above baseline",
                "result bytes + 32 MiB", used, result + 32 * MIB, used / (result + 32 * MIB),
                1.0, lower_is_better=True)
        ]  # fmt: skip
        if self.chunked_bytes:
            big = self.file("big.qel", lambda p: write_one_channel(p, self.chunked_bytes // 8))
            used, total = peak(big, "chunks", "x")
            rows.append(
                Row(f"peak RSS of iter_chunks over {total / 2**30:.1f} GiB", "peak above baseline",
                    "64 MiB", used, 64 * MIB, used / (64 * MIB), 1.0, lower_is_better=True)
            )  # fmt: skip
            big.unlink()
        return rows


FIGURES = ["one_of_256", "open", "whole", "single", "gzip", "memory"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="measured rounds per figure")
    parser.add_argument("--chunked-gib", type=float, default=2.0, help="0 skips that figure")
    parser.add_argument("--only", nargs="+", choices=FIGURES, help="run only these figures")
    args = parser.parse_args()
    rows: list[Row] = []
    with tempfile.TemporaryDirectory(prefix="qel-bench-open-") as directory:
        suite = Suite(Path(directory), args.repeat, args.chunked_gib)
        for figure in args.only or FIGURES:
            rows += getattr(suite, f"fig_{figure}")()
    info = machine()
    print(f"medians of {args.repeat} alternating rounds; load average "
          f"{' '.join(f'{x:.1f}' for x in os.getloadavg())}; {info['cpu']}, "
          f"{info['cores']} cores, Python {info['python']}, commit {info['commit']}\n")  # fmt: skip
    print_table(rows)


if __name__ == "__main__":
    main()
