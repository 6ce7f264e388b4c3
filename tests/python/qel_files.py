"""Builds QEL files byte by byte for the tests: header line, JSON metablock, block frames."""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

# Numeric data type names and their natural numpy dtypes.
NUMERIC = {"bool": np.bool_, "float": np.float32, "double": np.float64} | {
    f"{sign}int{bits}": np.dtype(f"{sign}int{bits}").type
    for sign in ("", "u")
    for bits in (8, 16, 32, 64)
}


def crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


# Block kinds; MULTI is the multi-sample flag of the control byte.
CONTINUED_DATA = 5
START_DATA = 6
ABS_TIMESTAMP_DATA = 8
MESSAGE_EVENT = 4
MULTI = 0x80


def channel(index: int, name: str, datatype: str, width: int = 2, **extra: object) -> dict:
    return {
        "index": index,
        "name": name,
        "channeltype": "scalar",
        "datatype": datatype,
        "sizeoflengthvalue": width,
        **extra,
    }


@dataclass
class QelFile:
    channels: list[dict]
    crc: bool = False
    blocks: list[bytes] = field(default_factory=list)

    def _width(self, index: int) -> int:
        return next((c["sizeoflengthvalue"] for c in self.channels if c["index"] == index), 2)

    def frame(self, index: int, control: int | None, body: bytes = b"") -> QelFile:
        """Appends one block; control None makes a zero-length frame."""
        payload = b"" if control is None else bytes([control]) + body
        length = len(payload) + (4 if self.crc and payload else 0)
        head = struct.pack("<H", index) + struct.pack(
            "<H" if self._width(index) == 2 else "<I", length
        )
        tail = struct.pack("<I", crc32c(head + payload)) if self.crc and payload else b""
        self.blocks.append(head + payload + tail)
        return self

    def start_data(self, index: int, start_ns: int, rate: float, values: np.ndarray) -> QelFile:
        body = struct.pack("<qdI", start_ns, rate, len(values)) + values.tobytes()
        return self.frame(index, START_DATA | MULTI, body)

    def continued_data(self, index: int, values: np.ndarray) -> QelFile:
        return self.frame(
            index, CONTINUED_DATA | MULTI, struct.pack("<I", len(values)) + values.tobytes()
        )

    def timestamped(self, index: int, timestamps: list[int], values: np.ndarray) -> QelFile:
        """One bcAbsTimeStampData block; GPS values are rows of three float64."""
        rows = values.reshape(len(timestamps), -1)
        records = b"".join(
            struct.pack("<q", t) + row.tobytes() for t, row in zip(timestamps, rows, strict=True)
        )
        return self.frame(
            index, ABS_TIMESTAMP_DATA | MULTI, struct.pack("<I", len(timestamps)) + records
        )

    def message(self, index: int, timestamp: int, value: bytes) -> QelFile:
        body = struct.pack("<qI", timestamp, len(value)) + value
        return self.frame(index, MESSAGE_EVENT, body)

    def to_bytes(self) -> bytes:
        meta = json.dumps({"qel": {"format": "qel5", "channels": self.channels}}).encode()
        header = f"QEL5 {len(meta)}"
        if self.crc:
            header += f" crc32c:{crc32c(meta):08X}"
        return header.encode() + b"\n" + meta + b"".join(self.blocks)

    def write(self, path: Path) -> str:
        path.write_bytes(self.to_bytes())
        return str(path)


@dataclass
class Written:
    """A written file split up: metablock, complete frames, and whether it ends
    inside a frame after the frame's channel index (what readers count as a
    truncated block)."""

    meta: dict
    frames: list[tuple[int, bytes]]
    cut: bool


def split_frames(data: bytes, crc: bool = False) -> Written:
    """Splits a version-5 file into its frames (payloads without the CRC)."""
    line_end = data.index(b"\n")
    start = line_end + 1 + int(data[:line_end].split()[1])
    meta = json.loads(data[line_end + 1 : start])
    widths = {c["index"]: c["sizeoflengthvalue"] for c in meta["qel"]["channels"]}
    frames, at = [], start
    while at + 2 <= len(data):
        (index,) = struct.unpack_from("<H", data, at)
        width = widths[index]
        if at + 2 + width > len(data):
            return Written(meta, frames, True)
        (length,) = struct.unpack_from("<H" if width == 2 else "<I", data, at + 2)
        end = at + 2 + width + length
        if end > len(data):
            return Written(meta, frames, True)
        frames.append((index, data[at + 2 + width : end - (4 if crc else 0)]))
        at = end
    # A reader takes a lone byte after the last frame for the clean end.
    return Written(meta, frames, False)
