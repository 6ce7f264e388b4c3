"""What the conversions read: a few calls that a loaded DataManager and a lazy File both offer."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from qel._qel import Channel


class Source(Protocol):
    """Channels by name, each described by a `qel.Channel`; of channels that share a name the
    first one counts, as `channel(name)` has it."""

    def names(self) -> list[str]: ...
    def info(self, name: str) -> Channel: ...
    def samples(self, name: str) -> Any: ...
    def timestamps_ns(self, name: str) -> npt.NDArray[np.int64]: ...
    def file_info(self) -> dict[str, Any] | None: ...


class ManagerSource:
    """A loaded DataManager: its channels' descriptions are copied once, their samples on demand."""

    def __init__(self, manager: Any) -> None:
        self._manager = manager
        self._channels: dict[str, Channel] = {}
        for channel in manager.channels:
            self._channels.setdefault(channel.name, channel)

    def names(self) -> list[str]:
        return list(self._channels)

    def info(self, name: str) -> Channel:
        try:
            return self._channels[name]
        except KeyError:
            raise KeyError(f"no channel named {name!r}") from None

    def samples(self, name: str) -> Any:
        return self._channels[name].samples()

    def timestamps_ns(self, name: str) -> npt.NDArray[np.int64]:
        return self._channels[name].timestamps_ns()

    def file_info(self) -> dict[str, Any] | None:
        info = getattr(self._manager, "file_info", None)
        return dict(info) if info is not None else None


class FileSource:
    """A `qel.File`: a channel is read, once, when a conversion first asks for it, so that only
    the channels asked for are read."""

    def __init__(self, file: Any) -> None:
        self._file = file
        self._names = list(dict.fromkeys(file.names))
        self._channels: dict[str, Channel] = {}

    def names(self) -> list[str]:
        return list(self._names)

    def info(self, name: str) -> Channel:
        channel = self._channels.get(name)
        if channel is None:
            channel = self._file.channel(name) if isinstance(name, str) else None
            if channel is None:
                raise KeyError(f"no channel named {name!r}")
            self._channels[name] = channel
        return channel

    def samples(self, name: str) -> Any:
        return self.info(name).samples()

    def timestamps_ns(self, name: str) -> npt.NDArray[np.int64]:
        return self.info(name).timestamps_ns()

    def file_info(self) -> dict[str, Any] | None:
        return dict(self._file.file_info)


def select(source: Source, names: str | Sequence[str] | None) -> list[str]:
    """The channels asked for, in the order given (all, in file order, for None)."""
    if names is None:
        return source.names()
    chosen = [names] if isinstance(names, str) else list(names)
    seen: set[str] = set()
    for name in chosen:
        if not isinstance(name, str):
            raise TypeError(f"channel names must be str, not {type(name).__name__}")
        if name in seen:
            raise ValueError(f"channel {name!r} is asked for twice")
        seen.add(name)
        source.info(name)
    return chosen
