"""Values of a channel at given points in time, from its samples in time order.

Every method leaves points before a channel's first sample missing; "linear" and "nearest" also
points after its last, so that nothing is extrapolated. "previous" holds the last value, as a
state holds until it changes. Where several samples share a timestamp, the last one counts.
Where to look depends only on the timestamps, so one placement serves every channel of a time
base.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from qel.frames._kinds import OBJECT

METHODS = ("previous", "linear", "nearest")
Placed = tuple[npt.NDArray[Any], npt.NDArray[np.bool_] | None]


def _distance(later: npt.NDArray[np.int64], earlier: npt.NDArray[np.int64]) -> npt.NDArray[Any]:
    """later - earlier (never negative here), exact even where it exceeds the int64 range."""
    return later.view(np.uint64) - earlier.view(np.uint64)


def fill_missing(values: npt.NDArray[Any], missing: npt.NDArray[np.bool_] | None) -> Placed:
    """Marks the missing rows: NaN in floats, None in objects, zero under the mask otherwise."""
    if missing is None or not missing.any():
        return values, None
    if values.dtype == OBJECT:
        values[missing] = None
    elif values.dtype.kind == "f":
        values[missing] = np.nan
    else:
        values[missing] = 0
    return values, missing


@dataclass
class Placement:
    """Which samples give the value at each point: `index` (None when the points are the
    samples' own times), and for "linear" the next sample and the weight of its value."""

    index: npt.NDArray[np.intp] | None
    missing: npt.NDArray[np.bool_] | None
    after: npt.NDArray[np.intp] | None = None
    weight: npt.NDArray[np.float64] | None = None

    def apply(self, values: npt.NDArray[Any]) -> Placed:
        if self.index is None:
            return values, None
        if self.after is None or self.weight is None:
            return fill_missing(values[self.index], self.missing)
        return fill_missing(self._interpolate(values), self.missing)

    def _interpolate(self, values: npt.NDArray[Any]) -> npt.NDArray[Any]:
        """Straight lines between neighbouring samples; a point on a sample takes its value."""
        assert self.index is not None and self.after is not None and self.weight is not None
        weight = self.weight.reshape(self.weight.shape + (1,) * (values.ndim - 1))
        start = values[self.index].astype(np.float64)
        with np.errstate(invalid="ignore", over="ignore"):
            result = start + (values[self.after].astype(np.float64) - start) * weight
        np.copyto(result, start, where=weight == 0.0)
        dtype = values.dtype if values.dtype.kind == "f" else np.dtype(np.float64)
        return np.asarray(result, dtype=dtype)


def locate(times: npt.NDArray[np.int64], points: npt.NDArray[np.int64], method: str) -> Placement:
    """`method` is one of METHODS, or "exact" for the samples at exactly each point."""
    if len(times) == len(points) and np.array_equal(times, points):
        return Placement(None, None)
    last = len(times) - 1
    before = np.searchsorted(times, points, side="right") - 1  # -1 before the first sample
    missing = before < 0
    at = np.maximum(before, 0)
    if method == "previous":
        return Placement(at, missing)
    if method == "exact":
        return Placement(at, missing | (times[at] != points))
    missing |= points > times[last]
    after = np.minimum(at + 1, last)
    if method == "nearest":
        closer = _distance(times[after], points) < _distance(points, times[at])
        return Placement(np.where(closer, after, at), missing)
    with np.errstate(invalid="ignore", divide="ignore"):
        weight = _distance(points, times[at]) / _distance(times[after], times[at])
    weight[(times[at] == points) | (after == at)] = 0.0  # on a sample, or past the last one
    return Placement(at, missing, after, weight)
