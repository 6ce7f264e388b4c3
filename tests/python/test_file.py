"""qel.open reads what qel.load loads: the same channels, samples, timestamps and segments, for
every file the load accepts, and the load's error for every file it refuses; windows and chunks
are slices of the loaded arrays. Then the File object itself: closing, lookups, strictness,
the notes on its errors, and reads from several threads."""

from __future__ import annotations

import gzip
import pathlib
import struct
import threading
import zlib
from xml.sax.saxutils import quoteattr

import numpy as np
import pytest
import qel
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from qel_files import MULTI, QelFile, channel

ABS_TIMESTAMP_DATA = 8
CHANNELS = [
    channel(0, "d", "double"),
    channel(1, "i", "int32", 4),
    channel(2, "s", "string"),
    channel(3, "u", "tensor-type"),
    channel(4, "g", "gpslocation"),
]
TRAILER = struct.pack("<HI", 0xFFFF, 2) + b"tb" + b"QEL_STREAM_END".ljust(40, b"\0")
SIGNATURE = struct.pack("<HI", 0xFFFE, 4) + b"sig!"

TIMES = st.integers(-50, 50)
RATES = st.sampled_from([1.0, 3.0, 1e9 / 7, 2.5e8])


def v4_bytes(file: QelFile) -> bytes:
    channels = "".join(
        "<channel "
        + " ".join(f"{key}={quoteattr(str(value))}" for key, value in c.items())
        + "/>"
        for c in file.channels
    )
    xml = f'<?xml version="1.0"?><velmaris creator="x"><channels>{channels}</channels></velmaris>'
    return b"QEL4 %d\n" % len(xml.encode()) + xml.encode() + b"".join(file.blocks)


@st.composite
def blocks(draw, file: QelFile, version: int) -> None:
    """One block of a kind the load reads, tolerates or refuses."""
    kind = draw(
        st.sampled_from(["start", "continued", "timestamped", "gps", "message", "records", "skip"])
    )
    n = draw(st.integers(0, 4))
    values = np.arange(n, dtype=np.float64) + draw(st.integers(0, 9))
    times = draw(st.lists(TIMES, min_size=n, max_size=n))
    if kind in ("timestamped", "gps") and not times:
        file.frame(1 if kind == "timestamped" else 4, ABS_TIMESTAMP_DATA | MULTI, bytes(4))
    elif kind == "start":
        file.start_data(0, draw(TIMES), draw(RATES), values)
    elif kind == "continued":
        file.continued_data(0, values)
    elif kind == "timestamped":
        file.timestamped(1, times, values.astype(np.int32))
    elif kind == "gps":
        file.timestamped(4, times, np.repeat(values, 3))
    elif kind == "message":
        file.message(2, draw(TIMES), draw(st.binary(max_size=3)))
    elif kind == "records":
        # Values of one size; version 4 ends each with a terminator byte.
        size = draw(st.integers(0, 3))
        texts = [draw(st.text("ab\u00e9", min_size=size, max_size=size)) for _ in times]
        records = b"".join(
            struct.pack("<q", t) + v.encode() + (b"\0" if version == 4 else b"")
            for t, v in zip(times, texts, strict=True)
        )
        file.frame(2, ABS_TIMESTAMP_DATA | MULTI, struct.pack("<I", len(times)) + records)
    else:
        # Zero-length frames, kinds the reader skips, an unsupported channel, an unknown index.
        skipped = [(0, None, b""), (0, 1, b""), (0, 3, b""), (0, 99, b"x"), (3, 6, b"zz")]
        index, control, body = draw(st.sampled_from([*skipped, (9, 6, b"")]))
        file.frame(index, control, body)


@st.composite
def recordings(draw) -> bytes:
    version = draw(st.sampled_from([4, 5]))
    file = QelFile([dict(c) for c in CHANNELS], crc=version == 5 and draw(st.booleans()))
    for _ in range(draw(st.integers(0, 8))):
        draw(blocks(file, version))
    if file.crc and file.blocks and draw(st.booleans()):
        at = draw(st.integers(0, len(file.blocks) - 1))
        file.blocks[at] = file.blocks[at][:-1] + bytes([file.blocks[at][-1] ^ 1])
    data = v4_bytes(file) if version == 4 else file.to_bytes()
    if version == 5:
        data += draw(st.sampled_from([b"", SIGNATURE, TRAILER, SIGNATURE + TRAILER]))
    data = data[: len(data) - draw(st.integers(0, 12))] if draw(st.booleans()) else data
    packing = draw(st.sampled_from([None, gzip.compress, zlib.compress]))
    return packing(data) if packing else data


def exact(samples):
    """Numeric samples as bytes, so that NaN payloads and -0.0 count; lists as they are."""
    if isinstance(samples, np.ndarray):
        return (samples.dtype.str, samples.shape, samples.tobytes())
    return samples


def segments(ch):
    return [(s.start_timestamp_ns, s.sample_rate_hz, s.sample_count) for s in ch.segments]


def assert_same_channel(got, want):
    described = ("index", "name", "data_type", "channel_type", "sample_count", "physical_unit")
    assert [getattr(got, a) for a in described] == [getattr(want, a) for a in described]
    assert got.metadata == want.metadata and segments(got) == segments(want)
    assert exact(got.samples()) == exact(want.samples())
    np.testing.assert_array_equal(got.timestamps_ns(), want.timestamps_ns())


def sliced(samples, mask):
    if isinstance(samples, np.ndarray):
        return samples[mask]
    return [value for value, keep in zip(samples, mask, strict=True) if keep]


def assert_window(f, want, start, stop):
    """Samples, timestamps, chunks and the cut channel of one window of one channel."""
    times = want.timestamps_ns()
    mask = np.ones(len(times), dtype=bool)
    if start is not None:
        mask &= times >= start
    if stop is not None:
        mask &= times < stop
    window = {"start_ns": start, "stop_ns": stop}
    expected = exact(sliced(want.samples(), mask))
    assert exact(f.samples(want.name, **window)) == expected
    np.testing.assert_array_equal(f.timestamps_ns(want.name, **window), times[mask])
    cut = f.read([want.name], **window)[want.name]
    assert exact(cut.samples()) == expected and cut.sample_count == mask.sum()
    # A cut segment keeps its rate and starts at its first kept sample.
    assert {s[0] for s in segments(cut) if s[2]} <= set(times[mask].tolist())
    for limit in (1, 3):
        chunks = list(f.iter_chunks(want.name, max_samples=limit, **window))
        assert all(0 < len(t) <= limit for t, _ in chunks)
        joined_times = np.concatenate([t for t, _ in chunks]) if chunks else times[:0]
        np.testing.assert_array_equal(joined_times, times[mask])
        pieces = [s for _, s in chunks]
        if isinstance(want.samples(), np.ndarray):
            joined = np.concatenate(pieces) if pieces else want.samples()[:0]
        else:
            joined = [value for piece in pieces for value in piece]
        assert exact(joined) == expected


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(content=recordings(), data=st.data())
def test_open_reads_what_load_loads(tmp_path, content, data):
    path = tmp_path / "r.qel"
    path.write_bytes(content)
    try:
        loaded = qel.load(str(path))
    except qel.QelError as error:
        # Refused when a read reaches the block, with the load's text, or at open for a fault
        # in the frame heads, which may lie behind the payload that stopped the load.
        opened = None
        with pytest.raises(qel.QelError) as raised:
            opened = qel.open(path)
            opened.read()
        assert opened is None or str(raised.value) == str(error)
        assert f"file: {path}" in raised.value.__notes__
        return
    with qel.open(path) as f:
        assert f.names == loaded.names and len(f) == len(loaded)
        assert f.truncated == (loaded.stats.blocks_truncated > 0)
        assert f.file_info == loaded.file_info
        for got, want in zip(f.read().channels, loaded.channels, strict=True):
            assert_same_channel(got, want)
        for want in loaded.channels:
            assert_same_channel(f.channel(want.name), loaded.channel(want.name))
            assert_same_channel(f.channel_by_index(want.index), want)
        for want in loaded.channels:
            bounds = st.none() | st.sampled_from([*want.timestamps_ns().tolist(), -3, 7])
            assert_window(f, want, data.draw(bounds), data.draw(bounds))


def written(tmp_path: pathlib.Path) -> str:
    w = qel.WriterBuilder().creator("rig 7").comment("night run").location(48.1, 11.5, 520.0)
    d = w.add_channel("d", "double", "scalar", physical_unit="V")
    w.add_equidistant_segment(d, 1_000, 10.0, np.arange(6.0))
    w.add_channel("empty", "int8", "scalar")
    path = str(tmp_path / "w.qel")
    w.write_to_file(path)
    return path


def test_file_info_keys_are_those_the_file_gives(tmp_path):
    path = written(tmp_path)
    with qel.open(path) as f:
        info = f.file_info
        assert qel.load(path).file_info == info
    assert isinstance(info.pop("created_utc"), str)
    assert info == {
        "creator": "rig 7",
        "tag": "default",
        "comment": "night run",
        "latitude": 48.1,
        "longitude": 11.5,
        "altitude": 520.0,
    }
    bare = QelFile([channel(0, "d", "double")]).write(tmp_path / "bare.qel")
    assert qel.open(bare).file_info == {} == qel.load(bare).file_info


CLOSED_USES = {
    "names": lambda f: f.names,
    "len": len,
    "contains": lambda f: "d" in f,
    "subscript": lambda f: f["d"],
    "channel": lambda f: f.channel("d"),
    "channel_by_index": lambda f: f.channel_by_index(0),
    "samples": lambda f: f.samples("d"),
    "timestamps": lambda f: f.timestamps_ns("d"),
    "chunks": lambda f: f.iter_chunks("d"),
    "read": lambda f: f.read(),
    "file_info": lambda f: f.file_info,
    "truncated": lambda f: f.truncated,
    "enter": lambda f: f.__enter__(),
}


@pytest.mark.parametrize("use", CLOSED_USES.values(), ids=CLOSED_USES.keys())
def test_a_closed_file_refuses_every_use(tmp_path, use):
    with qel.open(written(tmp_path)) as f:
        pass
    assert f.closed
    f.close()
    with pytest.raises(ValueError, match="^I/O operation on closed file$"):
        use(f)


@pytest.mark.parametrize(
    "use",
    [
        lambda f: f["nope"],
        lambda f: f.samples("nope"),
        lambda f: f.timestamps_ns("nope", start_ns=0),
        lambda f: f.iter_chunks("nope"),
        lambda f: f.read(["d", "nope"]),
        lambda f: f.to_pandas(["nope"]),
    ],
)
def test_unknown_names_raise_key_error_naming_the_channel(tmp_path, use):
    with qel.open(written(tmp_path)) as f:
        with pytest.raises(KeyError, match="nope"):
            use(f)
        assert f.channel("nope") is None and f.channel_by_index(99) is None and "nope" not in f


def test_lookups_and_selective_reads(tmp_path):
    path = written(tmp_path)
    loaded = qel.load(path)
    with qel.open(pathlib.Path(path)) as f:
        assert repr(f) == f"File(path={path!r}, channels=2)"
        assert (5 in f, "\ud800" in f, "d" in f) == (False, False, True)
        assert_same_channel(f["d"], loaded["d"])
        assert f.read("empty").names == ["empty"] and f.read([]).names == []
        samples = f.samples("d")
        samples[0] = 99.0  # the array is the caller's own
        assert f.samples("d")[0] == 0.0 and f.channel("d").samples()[0] == 0.0
        assert list(f.iter_chunks("empty")) == []
        with pytest.raises(ValueError, match="max_samples"):
            f.iter_chunks("d", max_samples=0)
        with pytest.raises(TypeError):
            f.samples("d", start_ns="0")
    assert repr(f) == "File(closed)"


def test_chunks_stop_when_the_file_is_closed(tmp_path):
    f = qel.open(written(tmp_path))
    chunks = f.iter_chunks("d", max_samples=2)
    times, samples = next(chunks)
    assert times.tolist() == [1_000, 100_001_000] and samples.tolist() == [0.0, 1.0]
    f.close()
    with pytest.raises(ValueError, match="closed file"):
        next(chunks)


def crafted(tmp_path, name, build, crc=False):
    file = QelFile([channel(0, "d", "double"), channel(1, "u", "tensor-type")], crc=crc)
    build(file.start_data(0, 0, 1.0, np.arange(3.0)))
    return file, tmp_path / name


@pytest.mark.parametrize(
    ("build", "crc", "cut", "problem"),
    [
        (lambda f: f.continued_data(0, np.ones(4)), False, 5, "truncated"),
        (lambda f: f.blocks.append(f.blocks[0][:-1] + b"\0"), True, 0, "CRC"),
        (lambda f: f.frame(1, 6, b"ignored"), False, 0, "skipped"),
        (lambda f: f.frame(0, None), False, 0, "skipped"),
    ],
    ids=["truncated", "crc", "unsupported", "zero-length"],
)
def test_strict_refuses_what_the_load_tolerates(tmp_path, build, crc, cut, problem):
    file, path = crafted(tmp_path, "t.qel", build, crc)
    data = file.to_bytes()
    path.write_bytes(data[: len(data) - cut])
    with qel.open(path) as f:
        assert f.truncated == (problem == "truncated")
        assert_same_channel(f["d"], qel.load(str(path))["d"])
    with pytest.raises(qel.QelError, match=problem) as raised:
        qel.open(path, strict=True)
    assert raised.value.__notes__ == [f"file: {path}"]
    clean, clean_path = crafted(tmp_path, "c.qel", lambda f: None, crc)
    clean_path.write_bytes(clean.to_bytes())
    assert qel.open(clean_path, strict=True).names == qel.load(str(clean_path)).names == ["d"]


@pytest.mark.parametrize(
    "content",
    [
        b"QEL9 2\n{}",
        b"QEL5 40\n{}",
        QelFile([channel(0, "d", "double")]).frame(7, 6, b"").to_bytes(),
        QelFile([channel(0, "d", "double")]).frame(0, 6 | MULTI, b"\0\0").to_bytes(),
    ],
    ids=["version", "short-metablock", "unknown-index", "bad-payload"],
)
def test_errors_keep_the_load_text_and_name_the_file(tmp_path, content):
    path = tmp_path / "bad.qel"
    path.write_bytes(content)
    with pytest.raises(qel.QelError) as loading:
        qel.load(str(path))
    with pytest.raises(qel.QelError) as opening:  # noqa: PT012
        with qel.open(path) as f:
            f.samples("d")
    assert str(opening.value) == str(loading.value)
    assert opening.value.__notes__ == [f"file: {path}"]


def test_threads_read_one_file_at_once_and_close_leaves_their_reads(tmp_path):
    """Every thread holds the file open between two reads when another closes it: the reads
    already begun are unaffected, later ones raise."""
    file = QelFile([channel(i, f"c{i}", "double", 4) for i in range(4)])
    for i in range(4):
        file.start_data(i, i, 10.0, np.arange(50_000.0) * i)
    path = file.write(tmp_path / "m.qel")
    loaded = qel.load(path)
    f = qel.open(path)
    everyone_read = threading.Barrier(5)
    closed = threading.Event()
    outcomes: dict[int, object] = {}

    def work(i: int) -> None:
        chunks = f.iter_chunks(f"c{i}", max_samples=20_000)
        first = f.samples(f"c{i}")
        everyone_read.wait()
        closed.wait()
        try:
            next(chunks)
        except ValueError as error:
            outcomes[i] = (first, str(error))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    everyone_read.wait()
    f.close()
    closed.set()
    for thread in threads:
        thread.join()
    for i in range(4):
        first, error = outcomes[i]
        np.testing.assert_array_equal(first, loaded[f"c{i}"].samples())
        assert error == "I/O operation on closed file"
