"""Raster points in integer nanoseconds: from a period, an array of timestamps or a channel."""

from __future__ import annotations

import datetime
import math
import os
import re
from decimal import ROUND_HALF_EVEN, Decimal
from typing import Any

import numpy as np
import numpy.typing as npt

INT64_MAX = 2**63 - 1

# Nanoseconds of each unit a period may be written in.
_UNITS = {
    "ns": 1,
    "us": 1_000,
    "µs": 1_000,
    "ms": 1_000_000,
    "s": 1_000_000_000,
    "min": 60_000_000_000,
    "h": 3_600_000_000_000,
    "d": 86_400_000_000_000,
}
_PART = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(ns|us|µs|ms|s|min|h|d)")


def _whole_ns(value: Decimal, raster: object) -> int:
    ns = int(value.quantize(Decimal(1), rounding=ROUND_HALF_EVEN))
    if not 0 < ns <= INT64_MAX:
        raise ValueError(f"raster period {raster!r} must be between 1 ns and {INT64_MAX} ns")
    return ns


def parse_period(text: str) -> int:
    """Nanoseconds of a period such as "10ms", "1.5s" or "1h30min", rounded to whole ns."""
    total, end = Decimal(0), 0
    for match in _PART.finditer(text):
        if match.start() != end:
            break
        total += Decimal(match.group(1)) * _UNITS[match.group(2)]
        end = match.end()
    if end == 0 or text[end:].strip():
        raise ValueError(
            f"raster {text!r} is neither a channel nor a period such as '10ms', '1.5s' or "
            "'1h30min' (units ns, us, ms, s, min, h, d)"
        )
    return _whole_ns(total, text)


def _timedelta64_ns(value: np.timedelta64) -> int:
    unit, step = np.datetime_data(value.dtype)
    if np.isnat(value):
        raise ValueError("raster period must not be NaT")
    return _whole_ns(Decimal(int(value.astype(np.int64))) * step * _factor(unit), value)


# Nanoseconds of each fixed unit of NumPy's datetime64 and timedelta64.
_NUMPY_UNITS = {"W": 7 * _UNITS["d"], "D": _UNITS["d"], "h": _UNITS["h"], "m": _UNITS["min"],
                "s": _UNITS["s"], "ms": _UNITS["ms"], "us": _UNITS["us"], "ns": 1}  # fmt: skip


def _factor(unit: str) -> int:
    if unit not in _NUMPY_UNITS:
        raise ValueError(f"times in unit {unit!r} cannot be converted to whole nanoseconds")
    return _NUMPY_UNITS[unit]


def period_ns(raster: object) -> int | None:
    """The period of a raster given as a period, or None when it is not one."""
    if isinstance(raster, str):
        return parse_period(raster)
    if isinstance(raster, datetime.timedelta) and hasattr(raster, "to_timedelta64"):
        return _timedelta64_ns(raster.to_timedelta64())
    if isinstance(raster, datetime.timedelta):
        micros = (raster.days * 86_400 + raster.seconds) * 1_000_000 + raster.microseconds
        return _whole_ns(Decimal(micros) * 1000, raster)
    if isinstance(raster, np.timedelta64):
        return _timedelta64_ns(raster)
    if isinstance(raster, bool):
        raise TypeError("raster must be a period, an array of timestamps or a channel name")
    if isinstance(raster, int | np.integer):
        return _whole_ns(Decimal(int(raster)) * 1_000_000_000, raster)
    if isinstance(raster, float | np.floating):
        if not math.isfinite(raster):
            raise ValueError(f"raster period {raster!r} is not a number of seconds")
        return _whole_ns(Decimal(repr(float(raster))) * 1_000_000_000, raster)
    return None


def points_between(start: int, stop: int, period: int, columns: int) -> npt.NDArray[np.int64]:
    """start, start + period, ... up to stop, each computed exactly as start + k * period."""
    count = (stop - start) // period + 1 if stop >= start else 0
    if count * 8 * (columns + 1) > _memory_bytes():
        raise ValueError(
            f"a raster of {count} points ({period} ns from {start} to {stop}) for {columns} "
            "channels does not fit in memory; choose a longer period"
        )
    # Offsets up to stop - start may exceed int64; modulo 2**64 the sum is still exact.
    offsets = np.arange(count, dtype=np.uint64) * np.uint64(period)
    return (offsets + np.uint64(start % 2**64)).view(np.int64)


def _memory_bytes() -> int:
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def as_timestamps(raster: Any) -> npt.NDArray[np.int64]:
    """An array-like of timestamps as int64 nanoseconds, converted exactly or not at all."""
    if hasattr(raster, "asi8") and hasattr(raster, "unit"):  # a pandas DatetimeIndex
        return _scaled(np.asarray(raster.asi8), _factor(raster.unit))
    array = np.asarray(raster)
    if array.ndim != 1:
        raise ValueError(f"a raster array must be one-dimensional, not of shape {array.shape}")
    if array.dtype.kind == "M":
        unit, step = np.datetime_data(array.dtype)
        values = array.view(np.int64)
        if np.any(values == np.iinfo(np.int64).min):
            raise ValueError("raster timestamps must not be NaT")
        return _scaled(values, _factor(unit) * step)
    if array.dtype.kind == "u" and array.size and int(array.max()) > INT64_MAX:
        raise ValueError(f"raster timestamp {int(array.max())} is beyond the int64 range")
    if array.dtype.kind not in "iu" and array.size:
        raise TypeError(
            f"a raster array must hold int64 nanoseconds or datetime64, not {array.dtype}"
        )
    return np.ascontiguousarray(array, dtype=np.int64)


def _scaled(values: npt.NDArray[Any], factor: int) -> npt.NDArray[np.int64]:
    values = np.ascontiguousarray(values, dtype=np.int64)
    if factor == 1:
        return values
    limit = INT64_MAX // factor
    if values.size and (int(values.max()) > limit or int(values.min()) < -limit):
        raise ValueError("raster timestamps are beyond the range of int64 nanoseconds")
    return values * factor
