"""The rows and columns of a table: channels joined on a shared time base, or placed on a raster
or on the union of their timestamps."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from qel._qel import Channel
from qel.frames import _raster
from qel.frames._kinds import GPS, NUMERIC, OBJECT, as_array, interpolable, kind, missing_values
from qel.frames._resample import METHODS, Placement, locate
from qel.frames._source import Source
from qel.frames._timebase import TimeBase, group


@dataclass(frozen=True)
class ColumnPlan:
    """One channel's column: its dtype, and whether it may miss values (decided by the mode,
    not by the data, so that files of the same channels give the same schema)."""

    name: str
    info: Channel
    dtype: np.dtype[Any]
    nullable: bool

    @property
    def kind(self) -> str:
        return kind(self.info.data_type)


@dataclass
class Column:
    plan: ColumnPlan
    values: npt.NDArray[Any]  # (n,) or, for GPS, (n, 3)
    missing: npt.NDArray[np.bool_] | None


def column_dtype(info: Channel, method: str | None) -> np.dtype[Any]:
    if info.data_type in NUMERIC:
        dtype = NUMERIC[info.data_type]
        return dtype if method != "linear" or dtype.kind == "f" else np.dtype(np.float64)
    return np.dtype(np.float64) if info.data_type == GPS else OBJECT


class Channels:
    """The channels of one conversion with their time bases, each read once."""

    def __init__(self, source: Source, names: list[str]) -> None:
        self.source = source
        self.names = names
        self.bases, self.empty = group(source, names)
        self._base_of = {name: base for base in self.bases for name in base.names}

    def values(self, name: str) -> tuple[npt.NDArray[np.int64], npt.NDArray[Any]]:
        """A channel's timestamps and values in time order."""
        info = self.source.info(name)
        base = self._base_of.get(name)
        if base is None:
            empty = missing_values(info.data_type, 0, column_dtype(info, None))
            return np.empty(0, np.int64), empty
        values = as_array(self.source.samples(name), info.data_type)
        return base.times, values if base.order is None else values[base.order]

    def span(self) -> tuple[int, int]:
        firsts = [int(base.times[0]) for base in self.bases]
        lasts = [int(base.times[-1]) for base in self.bases]
        return (min(firsts), max(lasts)) if firsts else (0, -1)

    def base_rank(self, name: str) -> int:
        base = self._base_of.get(name)
        return self.bases.index(base) if base is not None else len(self.bases)

    def own_times(self, name: str) -> npt.NDArray[np.int64] | None:
        base = self._base_of.get(name)
        return base.times if base is not None else None


@dataclass
class Aligned:
    """Rows at `times` and the columns of the channels placed on them."""

    times: npt.NDArray[np.int64]
    plans: list[ColumnPlan]
    channels: Channels
    method: str | None  # None: the channels share the rows' time base
    _last: tuple[npt.NDArray[np.int64], Placement] | None = None

    def columns(self) -> list[Column]:
        """In the order of the plans, made time base by time base, so that the placement of
        one time base at a time is held."""
        rank = self.channels.base_rank
        columns: list[Column | None] = [None] * len(self.plans)
        for i in sorted(range(len(self.plans)), key=lambda i: rank(self.plans[i].name)):
            columns[i] = self._column(self.plans[i])
        return [column for column in columns if column is not None]

    def _column(self, plan: ColumnPlan) -> Column:
        times, values = self.channels.values(plan.name)
        if len(times) == 0:
            values = missing_values(plan.info.data_type, len(self.times), plan.dtype)
            return Column(plan, values, np.ones(len(self.times), dtype=np.bool_))
        if self.method is None:
            return Column(plan, values, None)
        placed, missing = self._placement(times).apply(values)
        return Column(plan, placed.astype(plan.dtype, copy=False), missing)

    def _placement(self, times: npt.NDArray[np.int64]) -> Placement:
        """One per time base: its channels share the array of timestamps."""
        if self._last is None or self._last[0] is not times:
            assert self.method is not None
            self._last = (times, locate(times, self.times, self.method))
        return self._last[1]


def check_method(method: str, source: Source, names: list[str]) -> None:
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, not {method!r}")
    if method == "linear":
        flat = [n for n in names if not interpolable(source.info(n).data_type)]
        if flat:
            raise ValueError(
                f"method='linear' interpolates numbers only; channel {flat[0]!r} holds "
                f"{source.info(flat[0]).data_type} values (use 'previous' or 'nearest')"
            )


def _describe(bases: list[TimeBase]) -> str:
    def one(names: list[str]) -> str:
        shown = ", ".join(map(repr, names[:3]))
        return f"[{shown}, and {len(names) - 3} more]" if len(names) > 3 else f"[{shown}]"

    return "; ".join(one(base.names) for base in bases)


def align(source: Source, names: list[str], raster: Any, method: str, union: bool) -> Aligned:
    check_method(method, source, names)
    channels = Channels(source, names)
    if union and raster is not None:
        raise ValueError("give either raster= or union=True, not both")
    if union:
        times = _union(channels)
        step = "exact"
    elif raster is not None:
        times = _raster_points(raster, channels)
        step = method
    elif len(channels.bases) > 1:
        raise ValueError(
            f"the channels do not share one time base: {_describe(channels.bases)}; resample "
            "them with raster= (a period such as '10ms', an array of int64 timestamps or a "
            "channel name) or take the union of their timestamps with union=True"
        )
    else:
        times = channels.bases[0].times if channels.bases else np.empty(0, np.int64)
        step = None
    uses = None if step in (None, "exact") else method
    plans = [
        ColumnPlan(name, info, column_dtype(info, uses), step is not None or name in channels.empty)
        for name, info in ((n, source.info(n)) for n in names)
    ]
    return Aligned(times, plans, channels, step)


def _union(channels: Channels) -> npt.NDArray[np.int64]:
    """Every timestamp of the channels once, in order: one sort of the distinct time bases."""
    parts = [base.times for base in channels.bases]
    return np.unique(np.concatenate(parts)) if parts else np.empty(0, np.int64)


def _raster_points(raster: Any, channels: Channels) -> npt.NDArray[np.int64]:
    if isinstance(raster, str) and raster in channels.source.names():
        own = channels.own_times(raster)
        if own is not None:
            return own
        ref = Channels(channels.source, [raster])
        return ref.bases[0].times if ref.bases else np.empty(0, np.int64)
    period = _raster.period_ns(raster)
    if period is None:
        return _raster.as_timestamps(raster)
    start, stop = channels.span()
    return _raster.points_between(start, stop, period, len(channels.names))
