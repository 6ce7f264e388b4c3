"""Values of a channel at given points in time, from its samples in time order.

Every method leaves points before a channel's first sample missing; "linear" and "nearest" also
points after its last, so that nothing is extrapolated. "previous" holds the last value, as a
state holds until it changes. Where several samples share a timestamp, the last one counts.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from qel.frames._kinds import OBJECT

METHODS = ("previous", "linear", "nearest")
Placed = tuple[npt.NDArray[Any], npt.NDArray[np.bool_] | None]


def _distance(later: npt.NDArray[np.int64], earlier: npt.NDArray[np.int64]) -> npt.NDArray[Any]:
    """later - earlier (never negative here), exact even where it exceeds the int64 range."""
    return later.view(np.uint64) - earlier.view(np.uint64)


def fill_missing(values: npt.NDArray[Any], missing: npt.NDArray[np.bool_]) -> Placed:
    """Marks the missing rows: NaN in floats, None in objects, zero under the mask otherwise."""
    if not missing.any():
        return values, None
    if values.dtype == OBJECT:
        values[missing] = None
    elif values.dtype.kind == "f":
        values[missing] = np.nan
    else:
        values[missing] = 0
    return values, missing


def place(
    times: npt.NDArray[np.int64],
    values: npt.NDArray[Any],
    points: npt.NDArray[np.int64],
    method: str,
) -> Placed:
    """`method` is one of METHODS, or "exact" for the samples at exactly each point."""
    if len(times) == len(points) and np.array_equal(times, points):
        return values, None
    last = len(times) - 1
    before = np.searchsorted(times, points, side="right") - 1  # -1 before the first sample
    missing = before < 0
    at = np.maximum(before, 0)
    if method == "previous":
        return fill_missing(values[at], missing)
    if method == "exact":
        return fill_missing(values[at], missing | (times[at] != points))
    missing |= points > times[last]
    after = np.minimum(at + 1, last)
    if method == "nearest":
        closer = _distance(times[after], points) < _distance(points, times[at])
        return fill_missing(values[np.where(closer, after, at)], missing)
    return fill_missing(_interpolate(times, values, points, at, after), missing)


def _interpolate(
    times: npt.NDArray[np.int64],
    values: npt.NDArray[Any],
    points: npt.NDArray[np.int64],
    at: npt.NDArray[np.intp],
    after: npt.NDArray[np.intp],
) -> npt.NDArray[Any]:
    """Straight lines between neighbouring samples; a point on a sample takes its value."""
    exact = times[at] == points
    with np.errstate(invalid="ignore", divide="ignore"):
        weight = _distance(points, times[at]) / _distance(times[after], times[at])
        weight[exact | (after == at)] = 0.0  # on a sample, or past the last one (missing)
        weight = weight.reshape(weight.shape + (1,) * (values.ndim - 1))
        start = values[at].astype(np.float64)
        result = start + (values[after].astype(np.float64) - start) * weight
    np.copyto(result, start, where=exact.reshape(weight.shape))
    dtype = values.dtype if values.dtype.kind == "f" else np.dtype(np.float64)
    return np.asarray(result, dtype=dtype)
