"""Hostile files that expand: memory stays in proportion, and running out of it raises.

Each load runs in a child process, which reports its own peak resident size, so that
an address-space limit or a crash cannot touch the test process.
"""

import json
import os
import struct
import subprocess
import sys
import zlib

import pytest
from qel_files import crc32c

MiB = 1 << 20

# The sanitizer runtime reserves terabytes of address space and keeps freed memory in
# quarantine: neither limits nor peaks mean anything under it.
pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="memory figures need a plain build"
)

CHANNEL = {
    "index": 0,
    "name": "a",
    "channeltype": "scalar",
    "datatype": "double",
    "sizeoflengthvalue": 4,
}

CHILD = r"""
import json, resource, sys
limit = int(sys.argv[2])
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import qel
try:
    stats = qel.load(sys.argv[1]).stats
    outcome = ["ok", stats.blocks_skipped_reserved_type, stats.blocks_crc_failed, stats.blocks_read]
except qel.QelError as error:
    outcome = ["QelError", str(error)]
except MemoryError:
    outcome = ["MemoryError"]
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(json.dumps({"outcome": outcome, "peak_mib": peak / 1024}))
"""


def load_in_child(path, address_space=0):
    child = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), str(address_space)],
        capture_output=True,
        text=True,
        check=False,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    return json.loads(child.stdout)


def write_gzip(path, pieces):
    packer = zlib.compressobj(1, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    with open(path, "wb") as out:
        for piece in pieces:
            out.write(packer.compress(piece))
        out.write(packer.flush())
    return path


def header(version, metablock, crc=False):
    line = f"QEL{version} {len(metablock)}" + (f" crc32c:{crc32c(metablock):08X}" if crc else "")
    return line.encode() + b"\n" + metablock


def zeros(count, piece=16 * MiB):
    chunk = bytes(piece)
    for start in range(0, count, piece):
        yield chunk[: min(piece, count - start)]


def double_block(crc):
    body = bytes([0x86]) + struct.pack("<qdI3d", 0, 1.0, 3, 1.0, 2.0, 3.0)
    head = struct.pack("<HI", 0, len(body) + (4 if crc else 0))
    return head + body + (struct.pack("<I", crc32c(head + body)) if crc else b"")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return tmp_path_factory.mktemp("expanding")


# A reserved block of 1 GiB, then a block that decodes; with CRCs the big block's CRC is
# wrong, which must still be found and counted.
@pytest.mark.parametrize(("crc", "counts"), [(False, [1, 0, 1]), (True, [0, 1, 1])])
def test_skipped_block_is_streamed_not_buffered(files, crc, counts):
    size = 1 << 30
    metablock = json.dumps({"qel": {"channels": [CHANNEL]}}).encode()
    head = header(5, metablock, crc) + struct.pack("<HI", 0, size + (4 if crc else 0)) + b"\x00"
    path = write_gzip(
        files / f"reserved-{crc}.qel.gz",
        [head, *zeros(size - 1), struct.pack("<I", 0) if crc else b"", double_block(crc)],
    )
    result = load_in_child(path)
    assert result["outcome"] == ["ok", *counts]
    assert result["peak_mib"] < 256


def json_metablock(size):
    """{"qel": {"channels": [...], "x": [0,0,...]}}: the bulk under an unknown key."""
    start = json.dumps({"qel": {"channels": [CHANNEL]}})[:-2].encode() + b', "x": ['
    numbers = b"0," * ((size - len(start)) // 2 - 2)
    return [start, numbers, b"0]}}"]


def xml_metablock(size, nested):
    """A channel, then unknown elements, nested as deep as the size allows or side by side."""
    start = (
        b'<velmaris><channels><channel index="0" name="a" channeltype="scalar" '
        b'datatype="double" sizeoflengthvalue="4"/>'
    )
    end = b"</channels></velmaris>"
    count = (size - len(start) - len(end)) // 7
    middle = [b"<a>" * count, b"</a>" * count] if nested else [b"<a></a>" * count]
    return [start, *middle, end]


METABLOCKS = {
    "json": (5, 128, json_metablock),
    "xml-wide": (4, 56, lambda size: xml_metablock(size, nested=False)),
    "xml-nested": (4, 56, lambda size: xml_metablock(size, nested=True)),
}


@pytest.fixture(scope="module", params=sorted(METABLOCKS))
def large_metablock(files, request):
    version, mib, make = METABLOCKS[request.param]
    pieces = make(mib * MiB)
    line = f"QEL{version} {sum(map(len, pieces))}\n".encode()
    return request.param, write_gzip(files / f"{request.param}.qel.gz", [line, *pieces])


def test_large_metablock_parses_in_proportion(large_metablock):
    kind, path = large_metablock
    result = load_in_child(path)
    # The parser keeps about 150 bytes for each open element: nesting is bounded.
    expected = (
        ["QelError", "invalid QEL metablock: QEL4 elements nest deeper than 65536 levels"]
        if kind == "xml-nested"
        else ["ok", 0, 0, 0]
    )
    assert result["outcome"] == expected
    assert result["peak_mib"] < 1024


# Whether the load fits depends on what the interpreter has mapped already; what
# matters is that it either loads or raises, and the process lives on.
@pytest.mark.parametrize("limit_mib", [1024, 512])
def test_large_metablock_under_an_address_space_limit(large_metablock, limit_mib):
    result = load_in_child(large_metablock[1], limit_mib * MiB)
    assert result["outcome"][0] in ("ok", "QelError", "MemoryError")
