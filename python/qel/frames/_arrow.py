"""Tables as Arrow tables: numeric columns share the NumPy arrays' memory where Arrow allows."""

from __future__ import annotations

import json
from typing import Any

import numpy as np
import numpy.typing as npt

from qel.frames._align import Aligned, Column, ColumnPlan
from qel.frames._extras import require
from qel.frames._kinds import GPS_FIELDS
from qel.frames._long import Long
from qel.frames._timeaxis import TimeAxis


def _validity(pa: Any, missing: npt.NDArray[np.bool_] | None) -> Any:
    if missing is None:
        return None
    return pa.py_buffer(np.packbits(~missing, bitorder="little"))


def _numbers(pa: Any, values: npt.NDArray[Any], missing: npt.NDArray[np.bool_] | None) -> Any:
    """Booleans are packed into bits (a copy Arrow needs); other numbers keep their buffer."""
    if values.dtype.kind == "b":
        return pa.array(values, mask=missing)
    values = np.ascontiguousarray(values)
    arrow_type = pa.from_numpy_dtype(values.dtype)
    nulls = -1 if missing is not None else 0
    buffers = [_validity(pa, missing), pa.py_buffer(values)]
    return pa.Array.from_buffers(arrow_type, len(values), buffers, null_count=nulls)


def _array(pa: Any, column: Column) -> Any:
    plan, values, missing = column.plan, column.values, column.missing
    if plan.kind == "numeric":
        return _numbers(pa, values, missing)
    if plan.kind == "gps":
        parts = [_numbers(pa, values[:, k], missing) for k in range(3)]
        mask = pa.array(missing) if missing is not None else None
        return pa.StructArray.from_arrays(parts, names=list(GPS_FIELDS), mask=mask)
    return pa.array(values, type=pa.string() if plan.kind == "string" else pa.binary())


def _field_metadata(plan: ColumnPlan) -> dict[str, str]:
    info = plan.info
    pairs = {"data_type": info.data_type, "unit": info.physical_unit,
             "display_name": info.display_name}  # fmt: skip
    return {key: value for key, value in pairs.items() if value is not None}


def time_array(pa: Any, times_ns: npt.NDArray[np.int64], axis: TimeAxis) -> Any:
    values = np.ascontiguousarray(axis.values(times_ns))
    arrow_type = {
        "datetime": pa.timestamp(axis.unit, tz="UTC"),
        "timedelta": pa.duration(axis.unit),
        "ns": pa.int64(),
    }[axis.time]
    return pa.Array.from_buffers(arrow_type, len(values), [None, pa.py_buffer(values)])


def _schema_metadata(
    file_info: dict[str, Any] | None, plans: list[ColumnPlan] | None = None
) -> dict[str, str]:
    """File information, and for the long layout each channel's field metadata, as JSON."""
    metadata = {}
    if file_info is not None:
        metadata["qel.file_info"] = json.dumps(file_info, default=str)
    if plans is not None:
        channels = {plan.name: _field_metadata(plan) for plan in plans}
        metadata["qel.channels"] = json.dumps(channels)
    return metadata


def wide_table(aligned: Aligned, axis: TimeAxis, file_info: dict[str, Any] | None) -> Any:
    pa = require("pyarrow")
    arrays = [time_array(pa, aligned.times, axis)]
    fields = [pa.field("time", arrays[0].type)]
    for column in aligned.columns():
        array = _array(pa, column)
        arrays.append(array)
        fields.append(pa.field(column.plan.name, array.type, metadata=_field_metadata(column.plan)))
    schema = pa.schema(fields, metadata=_schema_metadata(file_info))
    return pa.Table.from_arrays(arrays, schema=schema)


def long_table(long: Long, axis: TimeAxis, file_info: dict[str, Any] | None) -> Any:
    pa = require("pyarrow")
    time = time_array(pa, long.times, axis)
    channel = pa.DictionaryArray.from_arrays(
        pa.array(long.codes), pa.array(long.categories, type=pa.string())
    )
    value = _numbers(pa, long.value, ~long.is_number)
    arrays = [time, channel, value, pa.array(long.text, type=pa.string()),
              pa.array(long.binary, type=pa.binary())]  # fmt: skip
    names = ["time", "channel", "value", "text", "binary"]
    table = pa.Table.from_arrays(arrays, names=names)
    return table.replace_schema_metadata(_schema_metadata(file_info, long.plans))
