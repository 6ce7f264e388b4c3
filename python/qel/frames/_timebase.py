"""Channels grouped by their time base: the channels of one group have identical timestamps."""

from __future__ import annotations

from collections.abc import Callable
from functools import cached_property, partial
from typing import Any

import numpy as np
import numpy.typing as npt

from qel._qel import Channel
from qel.frames._source import Source


def is_sorted(times: npt.NDArray[np.int64]) -> bool:
    return bool(np.all(times[:-1] <= times[1:]))


class TimeBase:
    """The names of channels with identical timestamps, and those timestamps, read when needed.

    The timestamps are put in order by a stable sort: samples that come out of order are moved
    to their place in time, samples with equal timestamps keep the order of the file.
    """

    def __init__(self, name: str, count: int, read: Callable[[], npt.NDArray[np.int64]]) -> None:
        self.names = [name]
        self.count = count
        self._read = read

    @cached_property
    def raw(self) -> npt.NDArray[np.int64]:
        return self._read()

    @cached_property
    def _sorted(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.intp] | None]:
        raw = self.raw
        if is_sorted(raw):
            return raw, None
        order = np.argsort(raw, kind="stable")
        return raw[order], order

    @property
    def times(self) -> npt.NDArray[np.int64]:
        """The timestamps in time order."""
        return self._sorted[0]

    @property
    def order(self) -> npt.NDArray[np.intp] | None:
        """The permutation that puts the samples in time order; None when they are in order."""
        return self._sorted[1]

    def same_times(self, other: TimeBase) -> bool:
        if self.count != other.count:
            return False
        a, b = self.raw, other.raw
        return bool(a[0] == b[0] and a[-1] == b[-1] and np.array_equal(a, b))


def segment_key(info: Channel) -> tuple[Any, ...] | None:
    """Equidistant channels with the same runs have the same timestamps, without computing them."""
    if info.channel_type != "equidistant":
        return None
    return tuple(
        (s.start_timestamp_ns, s.sample_rate_hz, s.sample_count)
        for s in info.segments
        if s.sample_count
    )


def group(source: Source, names: list[str]) -> tuple[list[TimeBase], list[str]]:
    """The time bases of the channels that have samples, in order of first appearance, and the
    names of the channels that have none. Timestamps are read only to tell apart channels that
    have as many samples as another group and no equal runs."""
    bases: list[TimeBase] = []
    by_key: dict[tuple[Any, ...], TimeBase] = {}
    empty: list[str] = []
    for name in names:
        info = source.info(name)
        if info.sample_count == 0:
            empty.append(name)
            continue
        key = segment_key(info)
        if key is not None and key in by_key:
            by_key[key].names.append(name)
            continue
        base = TimeBase(name, info.sample_count, partial(source.timestamps_ns, name))
        same = next((b for b in bases if b.same_times(base)), None)
        if same is not None:
            same.names.append(name)
            base = same
        else:
            bases.append(base)
        if key is not None:
            by_key[key] = base
    return bases, empty


def time_bases(source: Source, names: list[str]) -> list[list[str]]:
    bases, empty = group(source, names)
    groups = [base.names for base in bases]
    return groups + [empty] if empty else groups
