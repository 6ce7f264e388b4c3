"""Benchmark suite of the Python API against the baselines users know.

Generates its data in a temporary directory at run time, then measures every
figure side by side with its baseline in the same process: repetitions
alternate between the two, after one warm-up round, and the table shows
medians. Ratios are baseline time / qel time (higher is better), except for
peak memory, which is peak resident bytes of a load / bytes of decoded samples
(lower is better), each load in a fresh interpreter.

    python bench/bench_python.py [--size-mib 256] [--repeat 7] [--json out.json]
                                 [--only NAME ...] [--clock wall|cpu]

`--clock cpu` times each run by the CPU time of the process instead of the
wall clock: steadier when other work shares the machine, but blind to waiting
for the disk (a write's fsync) and to threads overlapping.
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import os
import pickle
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from collections.abc import Callable
from dataclasses import asdict, dataclass
from pathlib import Path
from types import ModuleType

import layouts
import numpy as np
import qel

MIB = 2**20


@dataclass
class Row:
    name: str
    qel: str
    baseline: str
    qel_s: float
    baseline_s: float
    ratio: float
    target: float | None
    lower_is_better: bool = False
    nbytes: int = 0
    note: str = ""

    def met(self) -> str:
        if self.target is None:
            return ""
        ok = self.ratio <= self.target if self.lower_is_better else self.ratio >= self.target
        return "yes" if ok else "NO"


CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}
clock = CLOCKS["wall"]


def measure(pair: dict[str, Callable[[], object]], repeat: int) -> list[float]:
    """Medians over `repeat` alternating rounds, after one round of warm-up."""
    times: list[list[float]] = [[] for _ in pair]
    for rep in range(repeat + 1):
        for i, run in enumerate(pair.values()):
            start = clock()
            run()
            if rep > 0:
                times[i].append(clock() - start)
    return [statistics.median(t) for t in times]


def compare(
    name: str,
    pair: dict[str, Callable[[], object]],
    repeat: int,
    target: float | None,
    nbytes: int = 0,
) -> Row:
    """`nbytes`: the bytes of samples one run delivers, for the throughput column."""
    (qel_name, baseline_name) = pair
    qel_s, baseline_s = measure(pair, repeat)
    ratio = baseline_s / qel_s
    return Row(name, qel_name, baseline_name, qel_s, baseline_s, ratio, target, nbytes=nbytes)


# --- data -------------------------------------------------------------------


def write_doubles(path: Path, values: np.ndarray, width: int = 2, crc: bool = False) -> None:
    w = qel.WriterBuilder()
    if crc:
        w.with_integrity("crc32c")
    channel = w.add_channel("signal", "double", "scalar", size_of_length_value=width)
    w.add_equidistant_segment(channel, 0, 1000.0, values)
    w.write_to_file(str(path))


def write_timestamped(path: Path, times: np.ndarray, values: np.ndarray) -> None:
    w = qel.WriterBuilder()
    channel = w.add_channel("counter", "int32", "scalar")
    w.add_timestamped_samples(channel, times, values)
    w.write_to_file(str(path))


def write_strings(path: Path, strings: list[str]) -> None:
    w = qel.WriterBuilder()
    channel = w.add_channel("event", "string", "scalar")
    w.add_string_samples(channel, np.arange(len(strings), dtype=np.int64), strings)
    w.write_to_file(str(path))


def write_many_channels(path: Path, channels: int, samples: int) -> None:
    w = qel.WriterBuilder()
    values = np.arange(samples, dtype=np.float64)
    for i in range(channels):
        channel = w.add_channel(f"c{i}", "double", "scalar")
        w.add_equidistant_segment(channel, 0, 10.0, values)
    w.write_to_file(str(path))


def gzip_file(source: Path, target: Path) -> None:
    with source.open("rb") as raw, gzip.open(target, "wb", compresslevel=1) as packed:
        shutil.copyfileobj(raw, packed, 4 * MIB)


def smooth_doubles(count: int) -> np.ndarray:
    """A noisy signal quantised to 1/1024: compressible, but not trivially."""
    rng = np.random.default_rng(1)
    signal = np.sin(np.arange(count) * 1e-4) * 100 + rng.standard_normal(count)
    return np.round(signal * 1024) / 1024


def short_strings() -> list[str]:
    return [f"event {i}" for i in range(1_000_000)]


# --- figures ----------------------------------------------------------------


def samples_of(path: Path, name: str) -> object:
    channel = qel.load(str(path)).channel(name)
    assert channel is not None
    return channel.samples()


def inflate_file(path: Path) -> bytes:
    return zlib.decompress(path.read_bytes(), wbits=31)


def two_threads(run: Callable[[], object]) -> None:
    threads = [threading.Thread(target=run) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


PEAK_SCRIPT = """
import sys, qel
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
before = status("VmRSS:")
try:
    open("/proc/self/clear_refs", "w").write("5")
except OSError:
    pass
manager = qel.load(sys.argv[1])
print(status("VmHWM:") - before)
"""


def peak_load_bytes(path: Path) -> int:
    out = subprocess.run(
        [sys.executable, "-c", PEAK_SCRIPT, str(path)], check=True, capture_output=True, text=True
    )
    return int(out.stdout)


def peak_row(name: str, path: Path, sample_bytes: int, target: float | None) -> Row:
    peak = statistics.median(peak_load_bytes(path) for _ in range(3))
    return Row(
        name, "peak RSS of qel.load", "decoded sample bytes", peak, sample_bytes,
        peak / sample_bytes, target, lower_is_better=True,
    )  # fmt: skip


class Suite:
    def __init__(self, directory: Path, size: int, repeat: int) -> None:
        self.dir = directory
        self.size = size
        self.repeat = repeat
        self.doubles = smooth_doubles(size // 8)
        self.files: dict[str, Path] = {}

    def file(self, name: str, make: Callable[[Path], None]) -> Path:
        if name not in self.files:
            path = self.dir / name
            make(path)
            self.files[name] = path
        return self.files[name]

    def plain(self) -> Path:
        return self.file("doubles.qel", lambda p: write_doubles(p, self.doubles))

    def raw(self) -> Path:
        return self.file("doubles.f64", self.doubles.tofile)

    def check(self, path: Path) -> None:
        assert np.array_equal(np.asarray(samples_of(path, "signal")), self.doubles)

    def fig_load(self) -> list[Row]:
        plain, raw = self.plain(), self.raw()
        one_block = self.file("doubles-w4.qel", lambda p: write_doubles(p, self.doubles, 4))
        self.check(plain)
        self.check(one_block)
        fromfile = lambda: np.fromfile(raw, dtype=np.float64)  # noqa: E731
        return [
            compare(
                "load + samples(), equidistant doubles",
                {"samples(), 64 KiB blocks": lambda: samples_of(plain, "signal"),
                 "numpy.fromfile": fromfile},
                self.repeat, 0.6, self.size,
            ),
            compare(
                "  the same, one block (4-byte lengths)",
                {"samples(), one block": lambda: samples_of(one_block, "signal"),
                 "numpy.fromfile": fromfile},
                self.repeat, 0.6, self.size,
            ),
        ]  # fmt: skip

    def fig_timestamped(self) -> list[Row]:
        count = self.size // 12
        times = np.arange(count, dtype=np.int64) * 1000
        values = np.random.default_rng(2).integers(-(2**31), 2**31, count, dtype=np.int32)
        path = self.file("int32.qel", lambda p: write_timestamped(p, times, values))

        def run() -> None:
            channel = qel.load(str(path)).channel("counter")
            assert channel is not None
            channel.samples()
            channel.timestamps_ns()

        channel = qel.load(str(path)).channel("counter")
        assert channel is not None
        assert np.array_equal(np.asarray(channel.samples()), values)
        assert np.array_equal(channel.timestamps_ns(), times)
        return [
            compare(
                "load + samples() + timestamps_ns(), int32",
                {"load, samples, timestamps": run,
                 "numpy.fromfile (file bytes)": lambda: np.fromfile(path, dtype=np.uint8)},
                self.repeat, 0.5, count * 12,
            )
        ]  # fmt: skip

    def fig_write(self) -> list[Row]:
        qel_path, raw_path = self.dir / "write.qel", self.dir / "write.f64"
        row = compare(
            "write_to_file, equidistant doubles",
            {"WriterBuilder ... write_to_file": lambda: write_doubles(qel_path, self.doubles),
             "ndarray.tofile": lambda: self.doubles.tofile(raw_path)},
            self.repeat, 0.6, self.size,
        )  # fmt: skip
        qel_path.unlink()
        raw_path.unlink()
        return [row]

    def fig_crc(self) -> list[Row]:
        plain = self.plain()
        crc = self.file("doubles-crc.qel", lambda p: write_doubles(p, self.doubles, crc=True))
        self.check(crc)
        return [
            compare(
                "load with crc32c",
                {"qel.load, crc32c": lambda: qel.load(str(crc)),
                 "qel.load, no integrity": lambda: qel.load(str(plain))},
                self.repeat, 0.9, self.size,
            )
        ]  # fmt: skip

    def fig_gzip(self) -> list[Row]:
        packed = self.file("doubles.qel.gz", lambda p: gzip_file(self.plain(), p))
        self.check(packed)
        row = compare(
            "load of a gzip file",
            {"qel.load, gzip": lambda: qel.load(str(packed)),
             "zlib inflate of the file": lambda: inflate_file(packed)},
            self.repeat, 0.85, self.size,
        )  # fmt: skip
        row.note = f"compressed to {packed.stat().st_size / self.size:.0%}"
        return [row]

    def fig_threads(self) -> list[Row]:
        plain, strings = self.plain(), self.strings()
        load = lambda: qel.load(str(plain))  # noqa: E731
        load_strings = lambda: qel.load(str(strings))  # noqa: E731
        source = self.doubles
        copy = lambda: source.copy()  # noqa: E731
        block = bytes(64 * MIB)
        digest = lambda: hashlib.sha256(block).digest()  # noqa: E731
        return [
            compare(
                "two loads in two threads",
                {"two threads": lambda: two_threads(load),
                 "in sequence": lambda: (load(), load())},
                self.repeat, 1.6, 2 * self.size,
            ),
            compare(
                "  the same, 1 M short strings (CPU-bound)",
                {"two threads": lambda: two_threads(load_strings),
                 "in sequence": lambda: (load_strings(), load_strings())},
                self.repeat, 1.6,
            ),
            compare(
                "  machine ceiling: two ndarray.copy()",
                {"two threads": lambda: two_threads(copy),
                 "in sequence": lambda: (copy(), copy())},
                self.repeat, None, 2 * self.size,
            ),
            compare(
                "  machine ceiling: two sha256 of 64 MiB",
                {"two threads": lambda: two_threads(digest),
                 "in sequence": lambda: (digest(), digest())},
                self.repeat, None,
            ),
        ]  # fmt: skip

    def strings(self) -> Path:
        return self.file("strings.qel", lambda p: write_strings(p, short_strings()))

    def fig_strings(self) -> list[Row]:
        strings = short_strings()
        path = self.strings()
        pickled = pickle.dumps(strings, protocol=pickle.HIGHEST_PROTOCOL)
        assert samples_of(path, "event") == strings
        return [
            compare(
                "load + samples(), 1 M short strings",
                {"load, samples": lambda: samples_of(path, "event"),
                 "pickle.loads": lambda: pickle.loads(pickled)},
                self.repeat, 0.5,
            )
        ]  # fmt: skip

    def fig_memory(self) -> list[Row]:
        one_block = self.file("doubles-w4.qel", lambda p: write_doubles(p, self.doubles, 4))
        return [
            peak_row("peak memory of a load, 64 KiB blocks", self.plain(), self.size, 1.3),
            peak_row("  the same, one block", one_block, self.size, 1.3),
        ]

    def fig_h5py(self) -> list[Row]:
        h5py = optional_h5py()
        if h5py is None:
            return []
        path = self.dir / "doubles.h5"
        with h5py.File(path, "w") as f:
            f.create_dataset("signal", data=self.doubles)

        def read() -> object:
            with h5py.File(path, "r") as f:
                return f["signal"][()]

        plain = self.plain()
        return [
            compare(
                "h5py reading the same doubles",
                {"load + samples()": lambda: samples_of(plain, "signal"), "h5py": read},
                self.repeat, None, self.size,
            )
        ]  # fmt: skip

    def fig_channels(self) -> list[Row]:
        channels = 65_535  # the most a u16 index can address with data
        path = self.file("channels.qel", lambda p: write_many_channels(p, channels, 4))
        assert len(qel.load(str(path))) == channels
        row = compare(
            "load of 65 535 channels of 4 samples",
            {"qel.load": lambda: qel.load(str(path)),
             "numpy.fromfile (file bytes)": lambda: np.fromfile(path, dtype=np.uint8)},
            self.repeat, None,
        )  # fmt: skip
        row.note = f"{row.qel_s / channels * 1e6:.2f} us per channel"
        return [row]

    def layout_file(self, layout: layouts.Layout, kind: str, write: Callable[[Path], None]) -> Path:
        name = f"{layout.channels}x{layout.samples}-{layout.timestamped}.{kind}"
        return self.file(name, write)

    def layout_qel(self, layout: layouts.Layout) -> Path:
        def write(path: Path) -> None:
            layouts.write_qel(path, layout, layouts.arrays(layout))
            layouts.check(path, layout)

        return self.layout_file(layout, "qel", write)

    def fig_layouts(self) -> list[Row]:
        h5py = optional_h5py()
        return [row for layout in layouts.LAYOUTS for row in self.layout_rows(layout, h5py)]

    def layout_rows(self, layout: layouts.Layout, h5py: ModuleType | None) -> list[Row]:
        """qel, numpy.fromfile, the load and samples() on their own, and h5py in one run."""
        path = self.layout_qel(layout)
        manager = qel.load(str(path))
        pair: dict[str, Callable[[], object]] = {
            "load + samples()": lambda: layouts.read_qel(path),
            "numpy.fromfile": lambda: np.fromfile(path, dtype=np.uint8),
            "load alone": lambda: qel.load(str(path)),
            "samples() alone": lambda: layouts.samples_of_all(manager),
        }
        if h5py is not None:
            data = layouts.arrays(layout)
            h5 = self.layout_file(layout, "h5", lambda p: layouts.write_h5(h5py, p, data))
            pair["h5py"] = lambda: layouts.read_h5(h5py, h5)
        if not layout.timestamped:
            pair["qel.open + samples()"] = lambda: layouts.read_qel_opened(path)
        times = measure(pair, self.repeat)
        qel_s, fromfile_s, load_s, samples_s = times[:4]
        nbytes = layout.decoded_bytes
        rows = [
            Row(f"{layout.name}: load + samples()", "load + samples()", "numpy.fromfile",
                qel_s, fromfile_s, fromfile_s / qel_s, 0.6, nbytes=nbytes,
                note=f"load {load_s * 1e3:.1f} ms, samples() {samples_s * 1e3:.1f} ms"),
        ]  # fmt: skip
        if h5py is not None:
            rows.append(Row("  the same against h5py", "load + samples()", "h5py", qel_s,
                            times[4], times[4] / qel_s, 1.0, nbytes=nbytes))  # fmt: skip
        if not layout.timestamped:
            opened_s, h5_s = times[-1], times[4] if h5py is not None else None
            baseline, baseline_s = ("h5py", h5_s) if h5_s else ("numpy.fromfile", fromfile_s)
            rows.append(Row(f"  qel.open + samples() against {baseline}", "qel.open + samples()",
                            baseline, opened_s, baseline_s, baseline_s / opened_s, None,
                            nbytes=nbytes))  # fmt: skip
        return rows

    def fig_layouts_write(self) -> list[Row]:
        """qel's write is durable (synced before it replaces the file); h5py's is compared
        as it is and followed by the same sync."""
        h5py = optional_h5py()
        if h5py is None:
            return []
        layout = layouts.LAYOUTS[0]
        data = layouts.arrays(layout)
        qel_path, h5_path = self.dir / "layout-write.qel", self.dir / "layout-write.h5"

        def h5_synced() -> None:
            layouts.write_h5(h5py, h5_path, data)
            layouts.sync_file(h5_path)

        qel_s, h5_s, synced_s = measure(
            {"qel": lambda: layouts.write_qel(qel_path, layout, data),
             "h5py": lambda: layouts.write_h5(h5py, h5_path, data),
             "h5py + fsync": h5_synced},
            self.repeat,
        )  # fmt: skip
        qel_path.unlink()
        h5_path.unlink()
        nbytes = layout.decoded_bytes
        return [
            Row(f"write, {layout.name}", "WriterBuilder ... write_to_file", "h5py create_dataset",
                qel_s, h5_s, h5_s / qel_s, 1.0, nbytes=nbytes),
            Row("  the same against h5py + fsync", "WriterBuilder ... write_to_file",
                "h5py create_dataset + os.fsync", qel_s, synced_s, synced_s / qel_s, 1.0,
                nbytes=nbytes),
        ]  # fmt: skip

    def fig_layouts_memory(self) -> list[Row]:
        return [
            peak_row(f"peak memory of a load, {layout.name}", self.layout_qel(layout),
                     layout.decoded_bytes, 1.3)
            for layout in layouts.LAYOUTS
        ]  # fmt: skip


def optional_h5py() -> ModuleType | None:
    try:
        import h5py  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        return None
    return h5py


FIGURES = ["load", "timestamped", "write", "crc", "gzip", "threads", "strings", "memory",
           "h5py", "channels", "layouts", "layouts_write", "layouts_memory"]  # fmt: skip


def machine() -> dict[str, object]:
    cpu = platform.processor()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        commit = subprocess.run(
            ["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True, check=False,
            cwd=Path(__file__).parent,
        ).stdout.strip()  # fmt: skip
    except OSError:
        commit = ""
    return {
        "cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
        "numpy": np.__version__, "qel": qel.__version__, "commit": commit,
    }  # fmt: skip


def print_table(rows: list[Row]) -> None:
    head = f"{'figure':<50}{'qel':>11}{'baseline':>11}{'GiB/s':>7}{'ratio':>7}{'target':>8}  met"
    print(head)
    print("-" * len(head))
    for r in rows:
        if r.lower_is_better:
            qel_col, base_col = f"{r.qel_s / MIB:.0f} MiB", f"{r.baseline_s / MIB:.0f} MiB"
            target = f"<={r.target}"
            rate = ""
        else:
            qel_col, base_col = f"{r.qel_s * 1e3:.1f} ms", f"{r.baseline_s * 1e3:.1f} ms"
            target = "" if r.target is None else f">={r.target}"
            rate = f"{r.nbytes / r.qel_s / 2**30:.2f}" if r.nbytes else ""
        print(f"{r.name:<50}{qel_col:>11}{base_col:>11}{rate:>7}{r.ratio:>7.2f}{target:>8}  "
              f"{r.met()}{'  ' + r.note if r.note else ''}")  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256, help="MiB of samples per figure")
    parser.add_argument("--repeat", type=int, default=7, help="measured rounds per figure")
    parser.add_argument("--json", type=Path, help="also write the results to this file")
    parser.add_argument("--only", nargs="+", choices=FIGURES, help="run only these figures")
    parser.add_argument("--clock", choices=CLOCKS, default="wall", help="what a run's time is")
    args = parser.parse_args()
    global clock
    clock = CLOCKS[args.clock]

    rows: list[Row] = []
    with tempfile.TemporaryDirectory(prefix="qel-bench-") as directory:
        suite = Suite(Path(directory), args.size_mib * MIB, args.repeat)
        for figure in args.only or FIGURES:
            rows += getattr(suite, f"fig_{figure}")()
    info = machine()
    print(f"{args.size_mib} MiB of samples, medians of {args.repeat} alternating rounds "
          f"({args.clock} clock); "
          f"{info['cpu']}, {info['cores']} cores, Python {info['python']}, "
          f"NumPy {info['numpy']}, commit {info['commit']}\n")  # fmt: skip
    print_table(rows)
    if args.json:
        report = {"machine": info, "size_mib": args.size_mib, "repeat": args.repeat,
                  "clock": args.clock,
                  "figures": [asdict(r) for r in rows]}  # fmt: skip
        args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
