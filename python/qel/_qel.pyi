import datetime
import os
from collections.abc import Iterator, Sequence
from types import TracebackType
from typing import (
    Any,
    Literal,
    NotRequired,
    Required,
    Self,
    TypeAlias,
    TypedDict,
    Unpack,
    final,
    type_check_only,
)

import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped, unused-ignore]
import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
from typing_extensions import Buffer

@type_check_only
class _ChannelMetadata(TypedDict, total=False):
    comment: str
    physical_dimension: str
    mime_type: str
    reference: str
    time_increment_ns: int
    spectrum_type: str
    size_of_length_value: Required[int]

@type_check_only
class _StreamChannel(TypedDict):
    name: str
    data_type: str
    channel_type: str
    physical_unit: NotRequired[str | None]
    physical_dimension: NotRequired[str | None]
    display_name: NotRequired[str | None]
    mime_type: NotRequired[str | None]
    reference: NotRequired[str | None]
    comment: NotRequired[str | None]
    size_of_length_value: NotRequired[int]
    time_increment_ns: NotRequired[int | None]

__version__: str

_Names: TypeAlias = str | Sequence[str] | None
_Raster: TypeAlias = (
    str
    | float
    | datetime.timedelta
    | np.timedelta64
    | npt.NDArray[np.integer]
    | npt.NDArray[np.datetime64]
    | pd.DatetimeIndex
    | Sequence[int]
    | None
)
_Method: TypeAlias = Literal["previous", "linear", "nearest"]
_Time: TypeAlias = Literal["datetime", "timedelta", "ns"]
_Unit: TypeAlias = Literal["ns", "us", "ms"]
_Layout: TypeAlias = Literal["wide", "long"]

@type_check_only
class _FrameOptions(TypedDict, total=False):
    raster: _Raster
    method: _Method
    time: _Time
    unit: _Unit
    layout: _Layout
    union: bool

class QelError(Exception): ...

@type_check_only
class _InfoEntry(TypedDict):
    name: str
    value: str
    data_type: str
    physical_unit: NotRequired[str]

@type_check_only
class _FileInfo(TypedDict, total=False):
    creator: str
    tag: str
    reason: str
    comment: str
    created_utc: str
    namespace_separator: str
    latitude: float
    longitude: float
    altitude: float
    infos: list[_InfoEntry]

_Samples: TypeAlias = npt.NDArray[np.generic] | list[str] | list[bytes] | None

@final
class DataManager:
    def channel(self, name: str) -> Channel | None: ...
    def channel_by_index(self, index: int) -> Channel | None: ...
    @property
    def channels(self) -> list[Channel]: ...
    @property
    def names(self) -> list[str]: ...
    @property
    def stats(self) -> ReaderStats: ...
    @property
    def file_info(self) -> _FileInfo: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Channel]: ...
    def __contains__(self, name: object, /) -> bool: ...
    def __getitem__(self, name: str, /) -> Channel: ...
    def time_bases(self, names: _Names = None) -> list[list[str]]: ...
    def to_pandas(self, names: _Names = None, **options: Unpack[_FrameOptions]) -> pd.DataFrame: ...
    def to_arrow(self, names: _Names = None, **options: Unpack[_FrameOptions]) -> pa.Table: ...
    def to_parquet(
        self,
        path: str | os.PathLike[str],
        names: _Names = None,
        *,
        compression: str = "zstd",
        **options: Unpack[_FrameOptions],
    ) -> None: ...

@final
class File:
    def channel(self, name: str) -> Channel | None: ...
    def channel_by_index(self, index: int) -> Channel | None: ...
    @property
    def names(self) -> list[str]: ...
    @property
    def file_info(self) -> _FileInfo: ...
    @property
    def truncated(self) -> bool: ...
    @property
    def closed(self) -> bool: ...
    def samples(
        self, name: str, *, start_ns: int | None = None, stop_ns: int | None = None
    ) -> _Samples: ...
    def timestamps_ns(
        self, name: str, *, start_ns: int | None = None, stop_ns: int | None = None
    ) -> npt.NDArray[np.int64]: ...
    def iter_chunks(
        self,
        name: str,
        *,
        max_samples: int = 1048576,
        start_ns: int | None = None,
        stop_ns: int | None = None,
    ) -> ChunkIterator: ...
    def read(
        self,
        names: str | Sequence[str] | None = None,
        *,
        start_ns: int | None = None,
        stop_ns: int | None = None,
    ) -> DataManager: ...
    def close(self) -> None: ...
    def __len__(self) -> int: ...
    def __contains__(self, name: object, /) -> bool: ...
    def __getitem__(self, name: str, /) -> Channel: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]: ...
    def time_bases(self, names: _Names = None) -> list[list[str]]: ...
    def to_pandas(self, names: _Names = None, **options: Unpack[_FrameOptions]) -> pd.DataFrame: ...
    def to_arrow(self, names: _Names = None, **options: Unpack[_FrameOptions]) -> pa.Table: ...
    def to_parquet(
        self,
        path: str | os.PathLike[str],
        names: _Names = None,
        *,
        compression: str = "zstd",
        **options: Unpack[_FrameOptions],
    ) -> None: ...

@final
class ChunkIterator:
    def __iter__(self) -> Self: ...
    def __next__(self) -> tuple[npt.NDArray[np.int64], _Samples]: ...

@final
class Channel:
    @property
    def index(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def data_type(self) -> str: ...
    @property
    def channel_type(self) -> str: ...
    @property
    def sample_count(self) -> int: ...
    @property
    def is_empty(self) -> bool: ...
    @property
    def display_name(self) -> str | None: ...
    @property
    def physical_unit(self) -> str | None: ...
    @property
    def metadata(self) -> _ChannelMetadata: ...
    @property
    def segments(self) -> list[Segment]: ...
    def samples(self) -> npt.NDArray[np.generic] | list[str] | list[bytes] | None: ...
    def timestamps_ns(self) -> npt.NDArray[np.int64]: ...
    def numeric_samples(self) -> npt.NDArray[Any]: ...
    def __array__(
        self, dtype: npt.DTypeLike | None = None, copy: bool | None = None
    ) -> npt.NDArray[Any]: ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def to_pandas(self, *, time: _Time = "datetime") -> pd.Series | pd.DataFrame: ...

@final
class Segment:
    @property
    def start_timestamp_ns(self) -> int: ...
    @property
    def sample_rate_hz(self) -> float: ...
    @property
    def sample_count(self) -> int: ...

@final
class ReaderStats:
    @property
    def file_size_bytes(self) -> int | None: ...
    @property
    def header_size_bytes(self) -> int: ...
    @property
    def metablock_size_bytes(self) -> int: ...
    @property
    def data_section_size_bytes(self) -> int: ...
    @property
    def elapsed_ms(self) -> float: ...
    @property
    def compressed(self) -> bool: ...
    @property
    def compression_format(self) -> str | None: ...
    @property
    def channels_total(self) -> int: ...
    @property
    def channels_with_data(self) -> int: ...
    @property
    def blocks_total(self) -> int: ...
    @property
    def blocks_read(self) -> int: ...
    @property
    def blocks_truncated(self) -> int: ...
    @property
    def trailer_seen(self) -> bool: ...
    @property
    def integrity(self) -> str: ...
    @property
    def blocks_crc_failed(self) -> int: ...
    @property
    def blocks_signature_skipped(self) -> int: ...
    @property
    def blocks_skipped_zero_length(self) -> int: ...
    @property
    def blocks_skipped_deprecated_type(self) -> int: ...
    @property
    def blocks_skipped_status_event(self) -> int: ...
    @property
    def blocks_skipped_reserved_type(self) -> int: ...
    @property
    def verification_status(self) -> str: ...

@final
class WriterBuilder:
    def __init__(self) -> None: ...
    def creator(self, value: str) -> Self: ...
    def tag(self, value: str) -> Self: ...
    def reason(self, value: str) -> Self: ...
    def comment(self, value: str) -> Self: ...
    def namespace_sep(self, value: str) -> Self: ...
    def location(self, lat: float, lon: float, alt: float) -> Self: ...
    def with_integrity(self, profile: str) -> Self: ...
    def add_channel(
        self,
        name: str,
        data_type: str,
        channel_type: str,
        *,
        physical_unit: str | None = None,
        physical_dimension: str | None = None,
        display_name: str | None = None,
        mime_type: str | None = None,
        reference: str | None = None,
        comment: str | None = None,
        size_of_length_value: int = 2,
        time_increment_ns: int | None = None,
    ) -> int: ...
    def add_equidistant_segment(
        self,
        channel: int,
        start_ns: int,
        sample_rate_hz: float,
        values: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    ) -> None: ...
    def add_timestamped_samples(
        self,
        channel: int,
        timestamps_ns: npt.NDArray[np.int64],
        values: npt.NDArray[np.bool_ | np.integer | np.floating],
    ) -> None: ...
    def add_gps_samples(
        self,
        channel: int,
        timestamps_ns: npt.NDArray[np.int64],
        positions: npt.NDArray[np.float64],
    ) -> None: ...
    def add_string_samples(
        self, channel: int, timestamps_ns: npt.NDArray[np.int64], values: Sequence[str]
    ) -> None: ...
    def add_binary_samples(
        self,
        channel: int,
        timestamps_ns: npt.NDArray[np.int64],
        values: Sequence[Buffer | Sequence[int]],
    ) -> None: ...
    def write_to_file(self, path: str) -> None: ...

@final
class StreamWriter:
    def __new__(
        cls,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        channels: Sequence[tuple[str, str, str] | _StreamChannel],
        *,
        integrity: str | None = None,
        creator: str | None = None,
        tag: str | None = None,
        reason: str | None = None,
        comment: str | None = None,
        namespace_sep: str | None = None,
        location: tuple[float, float, float] | None = None,
        overwrite: bool = False,
    ) -> Self: ...
    @property
    def closed(self) -> bool: ...
    def add_equidistant_segment(
        self,
        channel: int,
        start_ns: int,
        sample_rate_hz: float,
        values: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    ) -> None: ...
    def add_timestamped_samples(
        self,
        channel: int,
        timestamps_ns: npt.NDArray[np.int64],
        values: npt.NDArray[np.bool_ | np.integer | np.floating],
    ) -> None: ...
    def add_gps_samples(
        self,
        channel: int,
        timestamps_ns: npt.NDArray[np.int64],
        positions: npt.NDArray[np.float64],
    ) -> None: ...
    def add_string_samples(
        self, channel: int, timestamps_ns: npt.NDArray[np.int64], values: Sequence[str]
    ) -> None: ...
    def add_binary_samples(
        self,
        channel: int,
        timestamps_ns: npt.NDArray[np.int64],
        values: Sequence[Buffer | Sequence[int]],
    ) -> None: ...
    def flush(self) -> None: ...
    def sync(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]: ...

def load(path: str) -> DataManager: ...
def open(path: str | os.PathLike[str], *, strict: bool = False) -> File: ...
def save(manager: DataManager, path: str, *, integrity: str | None = None) -> None: ...
