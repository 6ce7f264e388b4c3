"""Benchmark of qel.StreamWriter against ndarray.tofile of the whole array.

Writes the same doubles (256 MiB by default) as one equidistant segment in
calls of 1 000 and of 100 000 samples, with and without CRC32C, and the whole
array with ndarray.tofile. Rounds alternate between all cases after one
warm-up round; the table shows medians and ratios (baseline time / qel time,
higher is better). Every file is removed after its round.

    python bench/bench_stream.py [--size-mib 256] [--repeat 7] [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import qel

MIB = 2**20


def stream(values: np.ndarray, path: Path, per_call: int, integrity: str) -> None:
    with qel.StreamWriter(path, [("x", "double", "scalar")], integrity=integrity) as writer:
        for start in range(0, len(values), per_call):
            # 1 MHz: sample n lies at n * 1000 ns, so every call continues the segment.
            writer.add_equidistant_segment(0, start * 1000, 1e6, values[start : start + per_call])


def tofile(values: np.ndarray, path: Path) -> None:
    values.tofile(path)


def cpu_model() -> str:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--dir", default=None, help="where the files go (default: a temp dir)")
    args = parser.parse_args()

    load_before = os.getloadavg()[0]
    values = np.random.default_rng(1).standard_normal(args.size_mib * MIB // 8)
    cases = {
        "tofile": lambda p: tofile(values, p),
        "1000 plain": lambda p: stream(values, p, 1000, "none"),
        "1000 crc": lambda p: stream(values, p, 1000, "crc32c"),
        "100000 plain": lambda p: stream(values, p, 100_000, "none"),
        "100000 crc": lambda p: stream(values, p, 100_000, "crc32c"),
    }
    times: dict[str, list[float]] = {name: [] for name in cases}
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        path = Path(directory) / "bench.qel"
        for round_ in range(args.repeat + 1):
            for name, run in cases.items():
                began = time.perf_counter()
                run(path)
                elapsed = time.perf_counter() - began
                path.unlink()
                if round_ > 0:
                    times[name].append(elapsed)
    median = {name: statistics.median(t) for name, t in times.items()}

    print(
        f"machine: {cpu_model()}, {os.cpu_count()} cores; load average before/after: "
        f"{load_before:.1f}/{os.getloadavg()[0]:.1f}"
    )
    print(f"{args.size_mib} MiB of doubles, median of {args.repeat} alternating rounds\n")
    print("| case | qel s | baseline | baseline s | ratio | target |")
    print("|---|---|---|---|---|---|")
    rows = [
        ("calls of 1 000", "1000 plain", "tofile", 0.8),
        ("calls of 100 000", "100000 plain", "tofile", 0.95),
        ("calls of 1 000, CRC", "1000 crc", "1000 plain", 0.9),
        ("calls of 100 000, CRC", "100000 crc", "100000 plain", 0.9),
    ]
    for label, case, baseline, target in rows:
        ratio = median[baseline] / median[case]
        met = "yes" if ratio >= target else "NO"
        print(
            f"| {label} | {median[case]:.3f} | {baseline} | {median[baseline]:.3f} | "
            f"{ratio:.2f} | {target} {met} |"
        )


if __name__ == "__main__":
    main()
