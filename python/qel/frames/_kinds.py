"""What a channel's values are, by its data type, and the arrays that hold them."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

# Data types with one number per sample and the dtype `samples()` gives them.
NUMERIC: dict[str, np.dtype[Any]] = {
    name: np.dtype(dtype)
    for name, dtype in [
        ("bool", np.bool_),
        ("int8", np.int8),
        ("int16", np.int16),
        ("int32", np.int32),
        ("int64", np.int64),
        ("uint8", np.uint8),
        ("uint16", np.uint16),
        ("uint32", np.uint32),
        ("uint64", np.uint64),
        ("float", np.float32),
        ("double", np.float64),
    ]
}

GPS = "gpslocation"
GPS_FIELDS = ("latitude", "longitude", "altitude")
OBJECT = np.dtype(object)


def kind(data_type: str) -> str:
    """The values' kind: "numeric", "gps", "string" or "binary" (also types not decoded)."""
    if data_type in NUMERIC:
        return "numeric"
    if data_type == GPS:
        return "gps"
    return "string" if data_type == "string" else "binary"


def interpolable(data_type: str) -> bool:
    return data_type == GPS or (data_type in NUMERIC and data_type != "bool")


def as_array(samples: Any, data_type: str) -> npt.NDArray[Any]:
    """The samples as an array: numeric and GPS ones as they come, texts and bytes as objects."""
    if kind(data_type) in ("numeric", "gps"):
        return np.asarray(samples)
    items = samples if samples is not None else []
    array = np.empty(len(items), dtype=object)
    array[:] = items
    return array


def missing_values(data_type: str, count: int, dtype: np.dtype[Any]) -> npt.NDArray[Any]:
    """`count` samples that are all missing: NaN, None, or zero under a mask."""
    shape = (count, 3) if data_type == GPS else (count,)
    if dtype == OBJECT:
        return np.full(shape, None, dtype=object)
    if dtype.kind == "f":
        return np.full(shape, np.nan, dtype=dtype)
    return np.zeros(shape, dtype=dtype)
