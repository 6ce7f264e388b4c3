"""Files laid out as users' recordings are: many channels of a few MiB each.

Each layout is written as a QEL file (the writer's default blocks) and, for
the comparison, as one HDF5 dataset per array with h5py; the readers below
deliver every sample of every channel, as a user reading the whole file would.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

import numpy as np
import qel

MIB = 2**20


@dataclass(frozen=True)
class Layout:
    name: str
    channels: int
    samples: int  # per channel
    timestamped: bool = False  # int32 values with int64 timestamps, else equidistant doubles

    @property
    def decoded_bytes(self) -> int:
        return self.channels * self.samples * (12 if self.timestamped else 8)

    def values(self, channel: int) -> np.ndarray:
        if self.timestamped:
            return (np.arange(self.samples, dtype=np.int32) * 7 + channel).astype(np.int32)
        return np.arange(self.samples, dtype=np.float64) * 0.5 + channel

    def times(self, channel: int) -> np.ndarray:
        return np.arange(self.samples, dtype=np.int64) * 1000 + channel


LAYOUTS = [
    Layout("256 x 1 MiB doubles", 256, MIB // 8),
    Layout("4096 x 64 KiB doubles", 4096, 64 * 1024 // 8),
    Layout("16 x 16 MiB doubles", 16, 16 * MIB // 8),
    Layout("256 x 64 K timestamped int32", 256, 64 * 1024, timestamped=True),
]


def arrays(layout: Layout) -> list[tuple[np.ndarray | None, np.ndarray]]:
    """(timestamps or None, values) of every channel."""
    return [
        (layout.times(i) if layout.timestamped else None, layout.values(i))
        for i in range(layout.channels)
    ]


def write_qel(path: Path, layout: Layout, data: list[tuple[np.ndarray | None, np.ndarray]]) -> None:
    w = qel.WriterBuilder()
    dtype = "int32" if layout.timestamped else "double"
    for i, (times, values) in enumerate(data):
        channel = w.add_channel(f"c{i}", dtype, "scalar")
        if times is None:
            w.add_equidistant_segment(channel, 0, 1000.0, values)
        else:
            w.add_timestamped_samples(channel, times, values)
    w.write_to_file(str(path))


def write_h5(
    h5py: ModuleType, path: Path, data: list[tuple[np.ndarray | None, np.ndarray]]
) -> None:
    with h5py.File(path, "w") as f:
        for i, (times, values) in enumerate(data):
            f.create_dataset(f"c{i}", data=values)
            if times is not None:
                f.create_dataset(f"t{i}", data=times)


def sync_file(path: Path) -> None:
    """Makes a written file durable, as qel's writer does before it replaces the old one."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read_qel(path: Path) -> list[object]:
    """Every channel's samples, and its timestamps where the file stores them."""
    out: list[object] = []
    for channel in qel.load(str(path)).channels:
        out.append(channel.samples())
        if channel.channel_type == "timestamped":
            out.append(channel.timestamps_ns())
    return out


def read_qel_opened(path: Path) -> list[object]:
    """Every channel's samples read from the opened file: one copy, from the file to the array."""
    with qel.open(str(path)) as f:
        return [f.samples(name) for name in f.names]


def samples_of_all(manager: qel.DataManager) -> list[object]:
    return [channel.samples() for channel in manager.channels]


def read_h5(h5py: ModuleType, path: Path) -> list[object]:
    with h5py.File(path, "r") as f:
        return [f[name][()] for name in f]


def check(path: Path, layout: Layout) -> None:
    manager = qel.load(str(path))
    assert len(manager) == layout.channels
    for i in (0, layout.channels - 1):
        channel = manager.channel(f"c{i}")
        assert channel is not None
        assert np.array_equal(np.asarray(channel.samples()), layout.values(i))
        if layout.timestamped:
            assert np.array_equal(channel.timestamps_ns(), layout.times(i))
