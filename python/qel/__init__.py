"""Read and write QEL stream files: channels of time-series samples as NumPy arrays."""

from qel._qel import (
    Channel,
    DataManager,
    File,
    QelError,
    ReaderStats,
    Segment,
    StreamWriter,
    WriterBuilder,
    __version__,
    load,
    open,
    save,
)

__all__ = [
    "Channel",
    "DataManager",
    "File",
    "QelError",
    "ReaderStats",
    "Segment",
    "StreamWriter",
    "WriterBuilder",
    "__version__",
    "load",
    "open",
    "save",
]
