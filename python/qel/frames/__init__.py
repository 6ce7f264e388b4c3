"""DataFrames, Arrow tables and Parquet files of a recording's channels.

The methods `to_pandas`, `to_arrow`, `to_parquet` and `time_bases` of `qel.DataManager` and
`qel.File`, and `qel.Channel.to_pandas`, call the functions here. pandas and pyarrow are
imported when a conversion needs them (`pip install 'qel[pandas]'`, `'qel[arrow]'`).

Timestamps are int64 nanoseconds throughout: raster points are computed as start + k * period
in integers, interpolation weights from integer differences. Every table is in time order:
samples that come out of order are sorted stably, so that samples with equal timestamps keep
the order of the file.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, fields
from typing import Any

from qel._qel import File
from qel.frames import _arrow, _pandas
from qel.frames._align import Channels, align, check_method
from qel.frames._extras import require
from qel.frames._long import long_rows
from qel.frames._source import FileSource, ManagerSource, Source, select
from qel.frames._timeaxis import TimeAxis
from qel.frames._timebase import time_bases as _time_bases

__all__ = ["channel_to_pandas", "time_bases", "to_arrow", "to_pandas", "to_parquet"]

LAYOUTS = ("wide", "long")
Names = str | Sequence[str] | None


@dataclass(frozen=True)
class Options:
    """The keyword arguments that every conversion takes (see `qel.DataManager.to_pandas`)."""

    raster: Any = None
    method: str = "previous"
    time: str = "datetime"
    unit: str = "ns"
    layout: str = "wide"
    union: bool = False

    @staticmethod
    def of(given: dict[str, Any]) -> Options:
        unknown = set(given) - {field.name for field in fields(Options)}
        if unknown:
            raise TypeError(f"unexpected keyword argument {sorted(unknown)[0]!r}")
        options = Options(**given)
        if options.layout not in LAYOUTS:
            raise ValueError(f"layout must be 'wide' or 'long', not {options.layout!r}")
        return options


def as_source(owner: Any) -> Source:
    if isinstance(owner, File):
        return FileSource(owner)
    return ManagerSource(owner)


def time_bases(owner: Any, names: Names = None) -> list[list[str]]:
    source = as_source(owner)
    return _time_bases(source, select(source, names))


Build = Callable[[Any, TimeAxis, "dict[str, Any] | None"], Any]


def _table(owner: Any, names: Names, given: dict[str, Any], wide: Build, long: Build) -> Any:
    """The rows asked for, handed to the builder of the layout."""
    options = Options.of(given)
    axis = TimeAxis.of(options.time, options.unit)
    source = as_source(owner)
    chosen = select(source, names)
    raster, method, union = options.raster, options.method, bool(options.union)
    if options.layout == "long" and raster is None and not union:
        check_method(method, source, chosen)
        return long(long_rows(Channels(source, chosen)), axis, source.file_info())
    aligned = align(source, chosen, raster, method, union)
    if options.layout == "long":
        return long(long_rows(aligned), axis, source.file_info())
    return wide(aligned, axis, source.file_info())


def to_pandas(owner: Any, names: Names = None, **options: Any) -> Any:
    require("pandas")
    return _table(owner, names, options, _pandas.wide_frame, _pandas.long_frame)


def to_arrow(owner: Any, names: Names = None, **options: Any) -> Any:
    require("pyarrow")
    return _table(owner, names, options, _arrow.wide_table, _arrow.long_table)


def to_parquet(
    owner: Any,
    path: str | os.PathLike[str],
    names: Names = None,
    *,
    compression: str = "zstd",
    **options: Any,
) -> None:
    parquet = require("pyarrow.parquet")
    parquet.write_table(to_arrow(owner, names, **options), path, compression=compression)


def channel_to_pandas(channel: Any, *, time: str = "datetime") -> Any:
    return _pandas.channel_series(channel, TimeAxis.of(time, "ns"))
