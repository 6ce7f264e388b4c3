"""Benchmark of the DataFrame and Arrow conversions against building the same tables by hand.

Generates its files in a temporary directory, then measures each figure side by side with its
baseline in the same process (alternating rounds after a warm-up, medians; ratios are baseline
time / qel time, higher is better). Peak memory is the peak resident size a conversion adds, in
a fresh interpreter with the file already loaded, over the bytes of the table it makes (lower is
better).

    python bench/bench_frames.py [--channels 64] [--samples 1000000] [--repeat 5]
                                 [--json out.json] [--only NAME ...]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
from dataclasses import asdict
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import qel
from bench_python import MIB, Row, compare, machine, print_table

RATES = [1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0]
T0 = 1_700_000_000_000_000_000


def write_shared(path: Path, channels: int, samples: int) -> None:
    w = qel.WriterBuilder()
    values = np.sin(np.arange(samples) * 1e-3)
    for i in range(channels):
        channel = w.add_channel(f"c{i}", "double", "scalar", physical_unit="V")
        w.add_equidistant_segment(channel, T0, 1000.0, values + i)
    w.write_to_file(str(path))


def write_rates(path: Path, seconds: int) -> None:
    """100 channels, ten of each rate from 1 Hz to 1 kHz, over the same span."""
    w = qel.WriterBuilder()
    for i in range(100):
        rate = RATES[i % len(RATES)]
        channel = w.add_channel(f"r{i}", "double", "scalar")
        w.add_equidistant_segment(channel, T0, rate, np.arange(int(seconds * rate)) + float(i))
    w.write_to_file(str(path))


# --- the tables built by hand, as users do without these calls ---------------------------


def pandas_by_hand(dm: qel.DataManager) -> pd.DataFrame:
    index = pd.to_datetime(dm.channels[0].timestamps_ns(), unit="ns", utc=True)
    return pd.DataFrame({ch.name: ch.samples() for ch in dm.channels}, index=index)


def arrow_by_hand(dm: qel.DataManager) -> pa.Table:
    time = pa.array(dm.channels[0].timestamps_ns(), type=pa.timestamp("ns", tz="UTC"))
    columns = {"time": time} | {ch.name: pa.array(ch.samples()) for ch in dm.channels}
    return pa.table(columns)


def raster_by_hand(dm: qel.DataManager, period: str) -> pd.DataFrame:
    series = [
        pd.Series(ch.samples(), index=pd.to_datetime(ch.timestamps_ns(), unit="ns", utc=True))
        for ch in dm.channels
    ]
    start = min(s.index[0] for s in series)
    stop = max(s.index[-1] for s in series)
    index = pd.date_range(start, stop, freq=period)
    return pd.concat([s.reindex(index, method="ffill") for s in series], axis=1)


PEAK_SCRIPT = """
import sys, qel
sys.path.insert(0, sys.argv[3])
from bench_frames import pandas_by_hand, arrow_by_hand
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
import pandas, pyarrow
dm = qel.load(sys.argv[1])
dm.to_pandas(["c0"]), dm.to_arrow(["c0"])  # imports and first-call set-up, not the table
convert = {"to_pandas": lambda: dm.to_pandas(), "to_arrow": lambda: dm.to_arrow(),
           "pandas by hand": lambda: pandas_by_hand(dm),
           "arrow by hand": lambda: arrow_by_hand(dm)}[sys.argv[2]]
before = status("VmRSS:")
open("/proc/self/clear_refs", "w").write("5")
table = convert()
peak = status("VmHWM:") - before
size = (table.memory_usage(index=True).sum() if hasattr(table, "memory_usage")
        else table.nbytes)
print(peak, size)
"""


def peak(path: Path, how: str) -> tuple[float, int]:
    def once() -> tuple[int, int]:
        out = subprocess.run(
            [sys.executable, "-c", PEAK_SCRIPT, str(path), how, str(Path(__file__).parent)],
            check=True, capture_output=True, text=True,
        )  # fmt: skip
        used, size = out.stdout.split()
        return int(used), int(size)

    runs = [once() for _ in range(3)]
    return statistics.median(r[0] for r in runs), runs[0][1]


def peak_row(name: str, path: Path, qel_how: str, baseline_how: str) -> Row:
    qel_peak, size = peak(path, qel_how)
    baseline_peak, _ = peak(path, baseline_how)
    row = Row(name, f"peak of {qel_how}", f"peak of {baseline_how}", qel_peak, baseline_peak,
              qel_peak / size, 1.3, lower_is_better=True)  # fmt: skip
    row.note = f"table {size / MIB:.0f} MiB; by hand {baseline_peak / size:.2f}x"
    return row


class Suite:
    def __init__(self, directory: Path, channels: int, samples: int, repeat: int) -> None:
        self.shared = directory / "shared.qel"
        self.rates = directory / "rates.qel"
        self.channels, self.samples, self.repeat = channels, samples, repeat
        self.bytes = channels * samples * 8

    def fig_pandas(self) -> list[Row]:
        write_shared(self.shared, self.channels, self.samples)
        dm = qel.load(str(self.shared))
        assert dm.to_pandas().equals(pandas_by_hand(dm))
        title = f"to_pandas, {self.channels} x {self.samples} doubles"
        pair = {"dm.to_pandas()": dm.to_pandas, "DataFrame(dict)": lambda: pandas_by_hand(dm)}
        return [
            compare(title, pair, self.repeat, 1.0, self.bytes),
            peak_row("  peak memory over the DataFrame", self.shared, "to_pandas",
                     "pandas by hand"),
        ]  # fmt: skip

    def fig_arrow(self) -> list[Row]:
        if not self.shared.exists():
            write_shared(self.shared, self.channels, self.samples)
        dm = qel.load(str(self.shared))
        assert dm.to_arrow().select(["c0"]).equals(arrow_by_hand(dm).select(["c0"]))
        title = f"to_arrow, {self.channels} x {self.samples} doubles"
        pair = {"dm.to_arrow()": dm.to_arrow, "pa.table(dict)": lambda: arrow_by_hand(dm)}
        return [
            compare(title, pair, self.repeat, None, self.bytes),
            peak_row("  peak memory over the table", self.shared, "to_arrow", "arrow by hand"),
        ]

    def fig_raster(self) -> list[Row]:
        seconds = max(1, self.samples // 1000)
        write_rates(self.rates, seconds)
        dm = qel.load(str(self.rates))
        ours, theirs = dm.to_pandas(raster="10ms"), raster_by_hand(dm, "10ms")
        assert np.array_equal(ours.to_numpy(), theirs.to_numpy(), equal_nan=True)
        row = compare(
            "100 channels of 10 rates onto 10 ms",
            {"to_pandas(raster='10ms')": lambda: dm.to_pandas(raster="10ms"),
             "reindex(ffill) + concat": lambda: raster_by_hand(dm, "10ms")},
            self.repeat, 1.0,
        )  # fmt: skip
        row.note = f"{len(ours)} rows, {seconds} s"
        return [row]


FIGURES = ["pandas", "arrow", "raster"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--channels", type=int, default=64)
    parser.add_argument("--samples", type=int, default=1_000_000, help="per channel, at 1 kHz")
    parser.add_argument("--repeat", type=int, default=5, help="measured rounds per figure")
    parser.add_argument("--json", type=Path, help="also write the results to this file")
    parser.add_argument("--only", nargs="+", choices=FIGURES, help="run only these figures")
    args = parser.parse_args()

    rows: list[Row] = []
    with tempfile.TemporaryDirectory(prefix="qel-bench-frames-") as directory:
        suite = Suite(Path(directory), args.channels, args.samples, args.repeat)
        for figure in args.only or FIGURES:
            rows += getattr(suite, f"fig_{figure}")()
    info = machine() | {"pandas": pd.__version__, "pyarrow": pa.__version__}
    print(f"{args.channels} channels x {args.samples} samples, medians of {args.repeat} "
          f"alternating rounds; {info['cpu']}, {info['cores']} cores, Python {info['python']}, "
          f"NumPy {info['numpy']}, pandas {info['pandas']}, pyarrow {info['pyarrow']}, "
          f"commit {info['commit']}\n")  # fmt: skip
    print_table(rows)
    if args.json:
        report = {"machine": info, "figures": [asdict(r) for r in rows]}
        args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
