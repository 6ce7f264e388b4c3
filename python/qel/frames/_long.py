"""The long layout: one row per sample, (time, channel, value), in time order.

Numbers go to the float64 column `value` (integers beyond 2**53 are rounded there), strings to
`text`, binaries to `binary`; GPS gives three rows per sample, named channel.latitude,
channel.longitude and channel.altitude. The columns are the same whatever channels a file has.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from qel.frames._align import Aligned, Channels, ColumnPlan, column_dtype
from qel.frames._kinds import GPS_FIELDS


@dataclass
class Long:
    times: npt.NDArray[np.int64]
    codes: npt.NDArray[np.int32]
    categories: list[str]
    value: npt.NDArray[np.float64]
    is_number: npt.NDArray[np.bool_]
    text: npt.NDArray[Any]
    binary: npt.NDArray[Any]
    plans: list[ColumnPlan]


Piece = tuple[str, str, npt.NDArray[np.int64], npt.NDArray[Any]]  # name, kind, times, values


def _split(
    plan: ColumnPlan, times: npt.NDArray[np.int64], values: npt.NDArray[Any]
) -> Iterator[Piece]:
    if plan.kind == "gps":
        for k, field in enumerate(GPS_FIELDS):
            yield f"{plan.name}.{field}", "numeric", times, values[:, k]
    else:
        yield plan.name, plan.kind, times, values


def _own(channels: Channels) -> tuple[list[ColumnPlan], Iterator[Piece]]:
    plans = [
        ColumnPlan(name, info, column_dtype(info, None), False)
        for name, info in ((n, channels.source.info(n)) for n in channels.names)
    ]

    def pieces() -> Iterator[Piece]:
        for plan in plans:
            yield from _split(plan, *channels.values(plan.name))

    return plans, pieces()


def _aligned(aligned: Aligned) -> Iterator[Piece]:
    """The cells of an aligned table that hold a sample."""
    for column in aligned.columns():
        times, values = aligned.times, column.values
        if column.missing is not None:
            times, values = times[~column.missing], values[~column.missing]
        yield from _split(column.plan, times, values)


def long_rows(source: Channels | Aligned) -> Long:
    if isinstance(source, Aligned):
        plans, pieces = source.plans, list(_aligned(source))
    else:
        plans, own = _own(source)
        pieces = list(own)
    categories = [name for name, _, _, _ in pieces]
    if len(set(categories)) < len(categories):
        duplicate = next(n for n in categories if categories.count(n) > 1)
        raise ValueError(f"two channels would be named {duplicate!r}: a channel and a GPS part")
    total = sum(len(times) for _, _, times, _ in pieces)
    times = np.concatenate([p[2] for p in pieces]) if pieces else np.empty(0, np.int64)
    codes = np.repeat(np.arange(len(pieces), dtype=np.int32), [len(p[2]) for p in pieces])
    value = np.full(total, np.nan)
    text = np.full(total, None, dtype=object)
    binary = np.full(total, None, dtype=object)
    is_number = np.zeros(total, dtype=np.bool_)
    start = 0
    for _, kind, piece_times, values in pieces:
        stop = start + len(piece_times)
        {"numeric": value, "string": text, "binary": binary}[kind][start:stop] = values
        is_number[start:stop] = kind == "numeric"
        start = stop
    order = np.argsort(times, kind="stable")
    return Long(
        times[order],
        codes[order],
        categories,
        value[order],
        is_number[order],
        text[order],
        binary[order],
        plans,
    )
