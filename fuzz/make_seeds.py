"""Writes the seed corpora of the fuzz targets into fuzz/seeds/<target>/.

Files come from the writer (every data type, both integrity profiles, both
length-field widths) and from hand-made byte layouts the writer never emits
(version 4, relative timestamps, message events, skipped kinds, trailer).
Run with the package installed: python fuzz/make_seeds.py. With --large DIR
it writes instead, into DIR/<target>/, the seeds whose runs are large enough for the reader's
direct path into the channel arrays; they are too big to keep in the tree, so
fuzz/run.sh makes them for every run.
"""

from __future__ import annotations

import gzip
import json
import shutil
import struct
import sys
import tempfile
import zlib
from pathlib import Path

import numpy as np
import qel

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT.parent / "tests" / "python"))
from qel_files import MULTI, QelFile, channel  # noqa: E402

NUMERIC = ["bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]


def written(integrity: str, width: int) -> bytes:
    w = qel.WriterBuilder().creator("seed").comment("c").location(1.5, 2.5, 3.5)
    w.with_integrity(integrity)
    for name in NUMERIC:
        index = w.add_channel(name, name, "scalar", size_of_length_value=width)
        w.add_timestamped_samples(index, np.array([1, 2]), np.array([1, 0]).astype(name))
    for name, dtype in (("float", np.float32), ("double", np.float64)):
        index = w.add_channel(name, name, "scalar", physical_unit="V", time_increment_ns=5)
        w.add_equidistant_segment(index, 10, 100.0, np.arange(3, dtype=dtype))
        w.add_equidistant_segment(index, 90, 50.0, np.arange(0, dtype=dtype))
    gps = w.add_channel("gps", "gpslocation", "vector", size_of_length_value=width)
    w.add_gps_samples(gps, np.array([4]), np.array([[1.0, 2.0, 3.0]]))
    text = w.add_channel("text", "string", "scalar", size_of_length_value=width)
    w.add_string_samples(text, np.array([1, 2]), ["ä", ""])
    blob = w.add_channel("blob", "binary", "binary", mime_type="x/y")
    w.add_binary_samples(blob, np.array([3]), [b"\x00\xff"])
    w.add_channel("empty", "double", "matrix")
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "f.qel"
        w.write_to_file(str(path))
        return path.read_bytes()


def crafted() -> dict[str, bytes]:
    chans = [
        channel(0, "d", "double"),
        channel(1, "i", "int32", 4),
        channel(2, "s", "string"),
        channel(3, "b", "bytearray"),
        channel(4, "u", "tensor-type"),
    ]
    f = QelFile(chans).start_data(0, 0, 10.0, np.arange(2.0)).continued_data(0, np.ones(1))
    f.timestamped(1, [5], np.array([7], dtype=np.int32))
    f.frame(1, 7 | MULTI, struct.pack("<IIi", 1, 3, 9))  # relative timestamps
    f.message(2, 8, b"hi").message(3, 9, b"\x01")
    f.frame(2, 8 | MULTI, struct.pack("<I", 1) + struct.pack("<q", 4) + b"abc")
    f.frame(4, 6, b"skipped unread").frame(0, None).frame(0, 1).frame(0, 3).frame(0, 99)
    signature = struct.pack("<HI", 0xFFFE, 4) + b"sig!"
    trailer = struct.pack("<HI", 0xFFFF, 2) + b"tb" + b"QEL_STREAM_END".ljust(40, b"\0")
    v5 = f.to_bytes() + trailer
    xml = (
        b'<?xml version="1.0"?><velmaris creator="x" latitude="1.5"><infos><info name="k" '
        b'value="v"/></infos><channels><channel index="0" name="s" channeltype="scalar" '
        b'datatype="string" sizeoflengthvalue="2" timeincrement="-5"/></channels></velmaris>'
    )
    v4 = b"QEL4 %d\n" % len(xml) + xml + struct.pack("<HHBq", 0, 12, 8, 6) + b"ab\0"
    crc = QelFile([channel(0, "d", "double")], crc=True).start_data(0, 0, 1.0, np.ones(2))
    crc.blocks.append(crc.blocks[0][:-1] + b"\0")  # a frame CRC that fails
    return {"crafted_v5": v5, "crafted_v4": v4, "crafted_crc": crc.to_bytes() + signature}


def large() -> dict[str, bytes]:
    values = np.arange(2100.0)
    out = {}
    for integrity in ("none", "crc32c"):
        w = qel.WriterBuilder().with_integrity(integrity)
        w.add_channel("d", "double", "scalar")
        w.add_equidistant_segment(0, 0, 1.0, values)
        w.add_equidistant_segment(0, 5, 2.0, values[:3])
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "f.qel"
            w.write_to_file(str(path))
            out[f"large_{integrity}"] = path.read_bytes()
    ints = QelFile([channel(0, "i", "int32", 4), channel(1, "u", "uint8", 4)])
    ints.start_data(0, 0, 1.0, np.arange(4200, dtype=np.int32)).continued_data(0, np.ones(1))
    ints.start_data(1, 0, 1.0, np.zeros(3, np.uint8)).continued_data(1, np.ones(17000, np.uint8))
    out["large_crafted"] = ints.to_bytes()
    return out


def metablocks(files: dict[str, bytes]) -> dict[str, bytes]:
    out = {}
    for name, data in files.items():
        line, rest = data.split(b"\n", 1)
        out[name] = rest[: int(line.split()[1])]
    out["envelope"] = json.dumps({"qel": {"version": 5, "infos": [{"name": "a"}]}}).encode()
    return out


def write(target: str, seeds: dict[str, bytes]) -> None:
    directory = ROOT / "seeds" / target
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    for name, data in seeds.items():
        (directory / name).write_bytes(data)


def main() -> None:
    if sys.argv[1:2] == ["--large"]:
        plain, opened, compressed = (
            Path(sys.argv[2]) / "fuzz_load",
            Path(sys.argv[2]) / "fuzz_open",
            Path(sys.argv[2]) / "fuzz_load_compressed",
        )
        for directory in (plain, opened, compressed):
            directory.mkdir(parents=True, exist_ok=True)
        for name, data in large().items():
            (plain / name).write_bytes(data)
            (opened / name).write_bytes(data)
            (compressed / name).write_bytes(b"\0" + data)
        return
    files = {
        "written_none_2": written("none", 2),
        "written_crc_4": written("crc32c", 4),
        **crafted(),
    }
    loads = {
        **files,
        "gzip": gzip.compress(files["crafted_v5"]),
        "zlib": zlib.compress(files["written_crc_4"]),
    }
    write("fuzz_load", loads)
    write("fuzz_open", loads)
    write(
        "fuzz_load_compressed",
        {f"{n}_{k}": bytes([k]) + d for n, d in files.items() for k in (0, 1)},
    )
    meta = metablocks(files)
    write("fuzz_meta_json", {n: d for n, d in meta.items() if not d.startswith(b"<")})
    write("fuzz_meta_xml", {"v4": meta["crafted_v4"]})
    write(
        "fuzz_header",
        {n: d.split(b"\n", 1)[0] + b"\n" for n, d in files.items()}
        | {"tokens": b"QEL5 12 crc32c:0A0B0C0D ed25519:0123456789abcdef\r\n"},
    )


if __name__ == "__main__":
    main()
