"""Tables as pandas objects: one column per channel (wide) or one row per sample (long)."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

from qel.frames._align import Aligned, Column, ColumnPlan
from qel.frames._extras import require
from qel.frames._kinds import GPS_FIELDS, OBJECT, as_array, kind
from qel.frames._long import Long
from qel.frames._timeaxis import TimeAxis
from qel.frames._timebase import is_sorted


def time_index(pd: Any, times_ns: npt.NDArray[np.int64], axis: TimeAxis) -> Any:
    values = axis.values(times_ns)
    if axis.time == "datetime":
        naive = pd.DatetimeIndex(values.view(f"M8[{axis.unit}]"), copy=False, name="time")
        return naive.tz_localize("UTC")
    if axis.time == "timedelta":
        return pd.TimedeltaIndex(values.view(f"m8[{axis.unit}]"), copy=False, name="time")
    return pd.Index(values, copy=False, name="time")


def _objects(pd: Any, values: npt.NDArray[Any], index: Any = None) -> Any:
    """Strings and bytes as objects: pandas would otherwise infer its own string dtype."""
    return pd.Series(values, index=index, dtype=OBJECT, copy=False)


def _array(pd: Any, plan: ColumnPlan, values: npt.NDArray[Any], missing: Any, index: Any) -> Any:
    """A column of the natural dtype; integers and booleans that may miss values are masked."""
    if values.dtype == OBJECT:
        return _objects(pd, values, index)
    if not plan.nullable or values.dtype.kind == "f":
        return values
    mask = missing if missing is not None else np.zeros(len(values), dtype=np.bool_)
    if values.dtype.kind == "b":
        return pd.arrays.BooleanArray(values, mask)
    return pd.arrays.IntegerArray(values, mask)


def _cells(pd: Any, column: Column, index: Any) -> list[tuple[str, Any]]:
    """The column's (name, array) pairs: GPS gives latitude, longitude and altitude."""
    plan, values = column.plan, column.values
    if plan.kind == "gps":
        return [(f"{plan.name}.{field}", values[:, k]) for k, field in enumerate(GPS_FIELDS)]
    return [(plan.name, _array(pd, plan, values, column.missing, index))]


def unique(cells: Iterable[tuple[str, Any]]) -> dict[str, Any]:
    """The columns by name; a GPS column may not take the name of another channel."""
    columns: dict[str, Any] = {}
    for name, cell in cells:
        if name in columns:
            raise ValueError(f"two columns would be named {name!r}: a channel's and a GPS part's")
        columns[name] = cell
    return columns


def _attrs(plans: list[ColumnPlan], file_info: dict[str, Any] | None) -> dict[str, Any]:
    attrs: dict[str, Any] = {
        "units": {s.name: s.info.physical_unit for s in plans},
        "display_names": {s.name: s.info.display_name for s in plans},
    }
    if file_info is not None:
        attrs["file_info"] = file_info
    return attrs


def wide_frame(aligned: Aligned, axis: TimeAxis, file_info: dict[str, Any] | None) -> Any:
    """The arrays read are handed to pandas as they are, each its own block: no copy, where
    consolidating them into one 2-D block would cost a copy and fresh memory of the table's
    size."""
    pd = require("pandas")
    index = time_index(pd, aligned.times, axis)
    cells = unique(cell for column in aligned.columns() for cell in _cells(pd, column, index))
    frame = pd.DataFrame(cells, index=index, columns=list(cells), copy=False)
    frame.attrs = _attrs(aligned.plans, file_info)
    return frame


def long_frame(long: Long, axis: TimeAxis, file_info: dict[str, Any] | None) -> Any:
    pd = require("pandas")
    channel = pd.Categorical.from_codes(long.codes, categories=long.categories)
    frame = pd.DataFrame(
        {
            "time": time_index(pd, long.times, axis),
            "channel": channel,
            "value": long.value,
            "text": _objects(pd, long.text),
            "binary": _objects(pd, long.binary),
        },
        copy=False,
    )
    frame.attrs = _attrs(long.plans, file_info)
    return frame


def channel_series(channel: Any, axis: TimeAxis) -> Any:
    """One channel indexed by its timestamps in time order (stable sort)."""
    pd = require("pandas")
    times = channel.timestamps_ns()
    values = as_array(channel.samples(), channel.data_type)
    if not is_sorted(times):
        order = np.argsort(times, kind="stable")
        times, values = times[order], values[order]
    index = time_index(pd, times, axis)
    if kind(channel.data_type) == "gps":
        result = pd.DataFrame(values, index=index, columns=list(GPS_FIELDS), copy=False)
    else:
        result = pd.Series(values, index=index, name=channel.name, copy=False,
                           dtype=OBJECT if values.dtype == OBJECT else None)  # fmt: skip
    result.attrs = {"unit": channel.physical_unit, "display_name": channel.display_name}
    return result
