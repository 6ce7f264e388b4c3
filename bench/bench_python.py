"""Python-level benchmark of the read and write paths against NumPy's raw file I/O.

Generates its data in a temporary directory at run time: one equidistant float64
channel (256 MiB by default) written both as a QEL file and as raw bytes.
Repetitions alternate between the contenders; the table shows medians.

    python bench/bench_python.py [--mib 256] [--repeat 7]
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import qel


def write_qel(path: Path, values: np.ndarray) -> None:
    w = qel.WriterBuilder()
    channel = w.add_channel("signal", "double", "scalar", size_of_length_value=4)
    w.add_equidistant_segment(channel, 0, 1000.0, values)
    w.write_to_file(str(path))


def read_qel(path: Path) -> object:
    channel = qel.load(str(path)).channel("signal")
    assert channel is not None
    return channel.samples()


def measure(contenders: dict[str, Callable[[], object]], repeat: int) -> dict[str, float]:
    """Medians over `repeat` alternating rounds, after one round of warm-up."""
    times: dict[str, list[float]] = {name: [] for name in contenders}
    for rep in range(repeat + 1):
        for name, run in contenders.items():
            start = time.perf_counter()
            run()
            if rep > 0:
                times[name].append(time.perf_counter() - start)
    return {name: statistics.median(samples) for name, samples in times.items()}


def report(title: str, medians: dict[str, float], size: int, baseline: str) -> None:
    print(f"\n{title}")
    print(f"{'':<44}{'median':>10}{'GiB/s':>9}{'vs numpy':>10}")
    for name, seconds in medians.items():
        ratio = seconds / medians[baseline]
        print(f"{name:<44}{seconds * 1e3:>8.1f}ms{size / seconds / 2**30:>9.2f}{ratio:>9.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=256, help="size of the channel in MiB")
    parser.add_argument("--repeat", type=int, default=7, help="repetitions per contender")
    args = parser.parse_args()

    values = np.random.default_rng(1).standard_normal(args.mib * 2**20 // 8)
    with tempfile.TemporaryDirectory() as directory:
        qel_path, raw_path = Path(directory) / "bench.qel", Path(directory) / "bench.f64"
        write = measure(
            {
                "WriterBuilder ... write_to_file": lambda: write_qel(qel_path, values),
                "ndarray.tofile": lambda: values.tofile(raw_path),
            },
            args.repeat,
        )
        read = measure(
            {
                "qel.load(...).channel(...).samples()": lambda: read_qel(qel_path),
                "  of which qel.load(...)": lambda: qel.load(str(qel_path)),
                "numpy.fromfile": lambda: np.fromfile(raw_path, dtype=np.float64),
            },
            args.repeat,
        )
        assert np.array_equal(np.asarray(read_qel(qel_path)), values)
        print(f"{args.mib} MiB of float64 samples, {args.repeat} repetitions, files in page cache")
        print(f"QEL file {qel_path.stat().st_size / 2**20:.2f} MiB, raw file {args.mib} MiB")
    report("Read", read, values.nbytes, "numpy.fromfile")
    report("Write", write, values.nbytes, "ndarray.tofile")


if __name__ == "__main__":
    main()
