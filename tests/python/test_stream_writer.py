"""qel.StreamWriter: what it writes equals what WriterBuilder writes for the
same calls, its arguments, its lifecycle and the blocks it emits."""

import os
import pathlib
import re
import struct
import threading
from types import SimpleNamespace

import numpy as np
import pytest
import qel
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from property_runs import examples
from qel_files import NUMERIC, split_frames
from test_properties import sample_calls, snapshot

TS = np.array([10, 20, 30], dtype=np.int64)
CLOSED = "StreamWriter already closed by close()"
INT64_MAX = 2**63 - 1
# One channel of every kind: numeric types, then gpslocation, string, binary.
TYPES = [*NUMERIC, "gpslocation", "string", "binary"]
METHODS = {"gpslocation": "add_gps_samples", "string": "add_string_samples"}
METHODS["binary"] = "add_binary_samples"


def sample_time(start: int, rate: float, j: int) -> int:
    """The reader's time of sample j of a segment: start + trunc(j * 1e9 / rate), saturating."""
    if j == 0:
        return start
    offset = j * 1e9 / rate
    offset = INT64_MAX if offset >= 2.0**63 else int(offset)
    return max(-(2**63), min(INT64_MAX, start + offset))


def stream(path, types, **kwargs) -> qel.StreamWriter:
    channels = [(f"c{i}", t, "scalar") if isinstance(t, str) else t for i, t in enumerate(types)]
    return qel.StreamWriter(path, channels, **kwargs)


@st.composite
def plans(draw):
    """Channels, and calls on them in any order: segments that continue the
    previous one or not, timestamped numeric and GPS samples, strings,
    binaries, with flushes between."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32)))
    types = draw(st.lists(st.sampled_from(TYPES), min_size=1, max_size=5))
    widths = [draw(st.sampled_from([2, 4])) for _ in types]
    equidistant = [t in ("float", "double") and draw(st.booleans()) for t in types]
    made, current = [], {}
    for _ in range(draw(st.integers(0, 12))):
        if draw(st.integers(0, 5)) == 0:
            made.append(("flush",))
            continue
        channel = draw(st.integers(0, len(types) - 1))
        kind = types[channel]
        n = draw(st.integers(0, 4) | st.integers(8000, 20000))
        if equidistant[channel]:
            segment = current.get(channel)
            if segment and draw(st.booleans()):
                start, rate = sample_time(*segment), segment[1]
            else:
                start = draw(st.integers(-(2**62), 2**62))
                rate = draw(st.sampled_from([1000.0, 3.0, 44100.0, 1e-3]))
            # Whether it continues follows from start and rate, however drawn.
            continues = segment is not None and (start, rate) == (sample_time(*segment), segment[1])
            current[channel] = [
                segment[0] if continues else start,
                rate,
                (segment[2] if continues else 0) + n,
            ]
            values = rng.standard_normal(n).astype(NUMERIC[kind])
            made.append(("seg", channel, start, rate, values, continues))
            continue
        times = rng.integers(-(2**63), 2**63 - 1, n, dtype=np.int64, endpoint=True)
        if kind == "string":
            values = [
                "".join(map(chr, rng.integers(32, 0x2FF, rng.integers(0, 9))))
                for _ in range(min(n, 50))
            ]
            times = times[: len(values)]
        elif kind == "binary":
            values = [rng.bytes(int(rng.integers(0, 9))) for _ in range(min(n, 50))]
            times = times[: len(values)]
        elif kind == "gpslocation":
            values = rng.standard_normal((n, 3))
        else:
            values = rng.integers(0, 256, n * np.dtype(NUMERIC[kind]).itemsize, dtype=np.uint8)
            values = values.view(NUMERIC[kind]) if kind != "bool" else values.astype(bool)
        made.append(("ts", channel, times, values))
    return types, widths, made


def replay_builder(types, widths, made, integrity) -> qel.WriterBuilder:
    """The builder given the same calls, each run of continuing segments as one."""
    builder = qel.WriterBuilder().with_integrity(integrity)
    for i, (t, width) in enumerate(zip(types, widths, strict=True)):
        builder.add_channel(f"c{i}", t, "scalar", size_of_length_value=width)
    segments = []
    for call in made:
        if call[0] == "seg":
            _, channel, start, rate, values, continues = call
            if continues:
                next(s for s in reversed(segments) if s[0] == channel)[3].append(values)
            else:
                segments.append((channel, start, rate, [values]))
        elif call[0] == "ts":
            _, channel, times, values = call
            getattr(builder, METHODS.get(types[channel], "add_timestamped_samples"))(
                channel, times, values
            )
    for channel, start, rate, parts in segments:
        builder.add_equidistant_segment(channel, start, rate, np.concatenate(parts))
    return builder


@settings(
    max_examples=examples(60),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(plan=plans(), integrity=st.sampled_from(["none", "crc32c"]))
def test_loads_as_the_builder_file_of_the_same_calls(tmp_path_factory, plan, integrity):
    types, widths, made = plan
    tmp_path = tmp_path_factory.mktemp("plan")
    path = tmp_path / "stream.qel"
    channels = [(f"c{i}", t, "scalar") for i, t in enumerate(types)]
    channels = [
        {"name": n, "data_type": t, "channel_type": c, "size_of_length_value": w}
        for (n, t, c), w in zip(channels, widths, strict=True)
    ]
    with qel.StreamWriter(path, channels, integrity=integrity) as writer:
        for call in made:
            if call[0] == "flush":
                writer.flush()
            elif call[0] == "seg":
                writer.add_equidistant_segment(call[1], call[2], call[3], call[4])
            else:
                getattr(writer, METHODS.get(types[call[1]], "add_timestamped_samples"))(*call[1:])
    built = tmp_path / "built.qel"
    replay_builder(types, widths, made, integrity).write_to_file(str(built))
    loaded = qel.load(str(path))
    assert (loaded.stats.blocks_truncated, loaded.stats.blocks_crc_failed) == (0, 0)
    assert loaded.stats.verification_status == ("crc_valid" if integrity == "crc32c" else "none")
    assert snapshot(loaded) == snapshot(qel.load(str(built)))


@settings(max_examples=examples(80), deadline=None)
@given(st.lists(sample_calls, max_size=12))
def test_refuses_what_the_builder_refuses_with_the_same_exception(tmp_path_factory, sequence):
    directory = tmp_path_factory.mktemp("calls")
    builder = qel.WriterBuilder()
    for i, t in enumerate(TYPES):
        builder.add_channel(f"c{i}", t, "scalar", size_of_length_value=4)
    writer = stream(directory / "s.qel", TYPES)
    for method, *args in sequence:
        outcomes = []
        for target in (builder, writer):
            try:
                getattr(target, method)(*args)
                outcomes.append(None)
            except (TypeError, ValueError, OverflowError, qel.QelError) as error:
                outcomes.append((type(error), str(error)))
        assert outcomes[0] == outcomes[1]
    writer.close()
    builder.write_to_file(str(directory / "b.qel"))
    # Values and their order agree; segments may have been joined.
    left, right = qel.load(str(directory / "s.qel")), qel.load(str(directory / "b.qel"))
    assert [c[:4] for c in snapshot(left)] == [c[:4] for c in snapshot(right)]


def masked(data: bytes) -> bytes:
    # The header's metablock CRC covers the creation time too.
    data = re.sub(rb"^(QEL5 \d+) crc32c:[0-9A-F]{8}", rb"\1", data)
    return re.sub(rb'"created_utc": "[^"]*"', b"", data)


@pytest.mark.parametrize("data_type", TYPES)
def test_one_call_on_one_channel_writes_the_builder_bytes(tmp_path, data_type):
    """With a 2-byte field the buffered block sizes are the builder's, so the
    bytes agree (the creation time aside)."""
    n = 20000 if data_type not in ("string", "binary") else 3
    times = np.arange(n, dtype=np.int64) * 7
    values = {
        "gpslocation": np.ones((n, 3)),
        "string": ["a", "", "é"],
        "binary": [b"\0", b"", b"xy"],
    }.get(data_type, np.ones(n, dtype=NUMERIC.get(data_type)))
    method = METHODS.get(data_type, "add_timestamped_samples")
    args = (0, times, values)
    if data_type in ("float", "double"):
        method, args = "add_equidistant_segment", (0, -5, 1000.0, values)
    builder = qel.WriterBuilder().with_integrity("crc32c")
    builder.add_channel("c0", data_type, "scalar", size_of_length_value=2)
    getattr(builder, method)(*args)
    builder.write_to_file(str(tmp_path / "b.qel"))
    width = {"size_of_length_value": 2}
    with qel.StreamWriter(
        tmp_path / "s.qel",
        [{"name": "c0", "data_type": data_type, "channel_type": "scalar"} | width],
        integrity="crc32c",
    ) as writer:
        getattr(writer, method)(*args)
    assert masked((tmp_path / "s.qel").read_bytes()) == masked((tmp_path / "b.qel").read_bytes())


def controls(path, crc=False):
    """(channel, control byte, count or None) of every frame of the file."""
    out = []
    for index, payload in split_frames(pathlib.Path(path).read_bytes(), crc).frames:
        control = payload[0]
        at = {0x86: 17, 0x85: 1, 0x88: 1}.get(control)
        out.append(
            (index, control, None if at is None else struct.unpack_from("<I", payload, at)[0])
        )
    return out


def test_segments_continue_across_calls_and_flush_writes_the_partial_blocks(tmp_path):
    path = tmp_path / "s.qel"
    writer = stream(path, ["double", "int16"])
    size = path.stat().st_size
    writer.add_equidistant_segment(0, 0, 1000.0, np.zeros(3000))
    writer.add_timestamped_samples(1, TS, np.ones(3, dtype=np.int16))
    assert path.stat().st_size == size  # buffered, less than a block each
    writer.add_equidistant_segment(0, 3_000_000_000, 1000.0, np.zeros(6000))  # continues
    assert controls(path) == [(0, 0x86, 8189)]  # the first block filled
    writer.flush()
    writer.add_equidistant_segment(0, 9_000_000_000, 1000.0, np.zeros(1))  # continues
    writer.add_equidistant_segment(0, 9_000_000_000, 1000.0, np.zeros(0))  # starts anew, empty
    writer.add_equidistant_segment(0, 5, 1000.0, np.zeros(2))  # starts anew
    writer.close()
    assert controls(path) == [
        (0, 0x86, 8189),
        (0, 0x85, 811),
        (1, 0x88, 3),
        (0, 0x05, None),
        (0, 0x86, 0),
        (0, 0x86, 2),
    ]
    segments = [(s.start_timestamp_ns, s.sample_count) for s in qel.load(str(path))["c0"].segments]
    assert segments == [(0, 9001), (9_000_000_000, 0), (5, 2)]


def test_string_channels_get_wide_fields_and_a_sample_that_does_not_fit_is_refused(tmp_path):
    big = "x" * 70_000
    channels = [
        ("wide", "string", "scalar"),
        {
            "name": "narrow",
            "data_type": "binary",
            "channel_type": "scalar",
            "size_of_length_value": 2,
        },
    ]
    with qel.StreamWriter(tmp_path / "s.qel", channels) as writer:
        writer.add_string_samples(0, TS[:1], [big])
        with pytest.raises(qel.QelError) as refused:
            writer.add_binary_samples(1, TS[:2], [b"ok", big.encode()])
        assert str(refused.value) == (
            "invalid QEL block payload: channel 1: block length 70009 bytes exceeds u16 length "
            "field; increase size_of_length_value to 4"
        )
        writer.add_binary_samples(1, TS[:1], [b"ok"])  # the refused call wrote nothing
    loaded = qel.load(str(tmp_path / "s.qel"))
    assert (loaded["wide"].samples(), loaded["narrow"].samples()) == ([big], [b"ok"])
    widths = [
        c["sizeoflengthvalue"]
        for c in split_frames((tmp_path / "s.qel").read_bytes()).meta["qel"]["channels"]
    ]
    assert widths == [4, 2]


class Named(os.PathLike):
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return str(self.path)


@pytest.mark.parametrize(
    ("channels", "kwargs", "exception", "text"),
    [
        ("abc", {}, TypeError, "argument 'channels': must be a sequence of channel tuples"),
        ([("a", "double")], {}, TypeError, "channels[0]: channel() missing required argument"),
        (
            [{"name": "a", "data_type": "double"}],
            {},
            TypeError,
            "channels[0]: missing key 'channel_type'",
        ),
        (
            [("a", "double", "scalar"), 5],
            {},
            TypeError,
            "channels[1]: must be a (name, data_type, channel_type) tuple or a dict, not int",
        ),
        (
            [{"name": "a", "data_type": "double", "channel_type": "scalar", "unit": "m"}],
            {},
            TypeError,
            "channels[0]: 'unit' is an invalid keyword argument for channel()",
        ),
        (
            [("a", "bytearray", "scalar")],
            {},
            ValueError,
            'channels[0]: unknown data_type "bytearray"',
        ),
        (
            [
                {
                    "name": "a",
                    "data_type": "double",
                    "channel_type": "scalar",
                    "size_of_length_value": 3,
                }
            ],
            {},
            qel.QelError,
            'invalid QEL metablock: channel "a": size_of_length_value must be 2 or 4, got 3',
        ),
        ([], {}, qel.QelError, "writer has no channels declared"),
        ([("a", "double", "scalar")], {"integrity": "ed25519"}, ValueError, "integrity 'ed25519'"),
        ([("a", "double", "scalar")], {"location": (1.0, 2.0)}, TypeError, "argument 'location'"),
        ([("a", "double", "scalar")], {"tag": 1}, TypeError, "argument 'tag': must be str or None"),
    ],
)
def test_constructor_arguments(tmp_path, channels, kwargs, exception, text):
    with pytest.raises(exception) as raised:
        qel.StreamWriter(tmp_path / "s.qel", channels, **kwargs)
    assert str(raised.value).startswith(text) or text in str(raised.value)
    assert not (tmp_path / "s.qel").exists()


def test_paths_and_existing_files(tmp_path):
    path = tmp_path / "s.qel"
    info = {"creator": "logger 1", "tag": "run", "comment": "c", "location": (1.5, 2.0, -3.0)}
    qel.StreamWriter(Named(path), [("a", "double", "scalar")], **info).close()
    with pytest.raises(qel.QelError, match="File exists"):
        qel.StreamWriter(str(path), [("a", "double", "scalar")])
    with pytest.raises(TypeError, match="argument 'path': must be str or os.PathLike, not int"):
        qel.StreamWriter(3, [("a", "double", "scalar")])
    file_info = split_frames(path.read_bytes()).meta["qel"]["file"]
    assert (file_info["creator"], file_info["tag"], file_info["created_at_altitude"]) == (
        "logger 1",
        "run",
        -3.0,
    )
    with qel.StreamWriter(os.fsencode(path), [("b", "int8", "scalar")], overwrite=True) as w:
        w.add_timestamped_samples(0, TS, np.ones(3, dtype=np.int8))
    assert qel.load(str(path)).names == ["b"]


CALLS = [
    ("add_equidistant_segment", (0, 0, 1.0, np.zeros(2))),
    ("add_timestamped_samples", (1, TS, np.ones(3, dtype=np.int32))),
    ("add_gps_samples", (2, TS, np.ones((3, 3)))),
    ("add_string_samples", (3, TS, ["a", "b", "c"])),
    ("add_binary_samples", (4, TS, [b"a", b"b", b"c"])),
    ("flush", ()),
    ("sync", ()),
    ("close", ()),
    ("__enter__", ()),
]


@pytest.mark.parametrize(("method", "args"), CALLS, ids=[c[0] for c in CALLS])
def test_every_call_after_close_raises(tmp_path, method, args):
    writer = stream(tmp_path / "s.qel", ["double", "int32", "gpslocation", "string", "binary"])
    getattr(writer, method)(*args)
    writer.close() if method != "close" else None
    assert writer.closed and repr(writer).endswith("closed)")
    with pytest.raises(qel.QelError, match=re.escape(CLOSED)):
        getattr(writer, method)(*args)
    writer.__exit__(None, None, None)  # a context manager closed by hand still exits


def test_an_exception_in_the_block_still_closes_and_keeps_the_samples(tmp_path):
    with (
        pytest.raises(KeyError),
        qel.StreamWriter(tmp_path / "s.qel", [("a", "float", "scalar")]) as w,
    ):
        w.add_equidistant_segment(0, 0, 10.0, np.arange(5, dtype=np.float32))
        raise KeyError
    assert w.closed
    assert qel.load(str(tmp_path / "s.qel"))["a"].samples().tolist() == [0, 1, 2, 3, 4]


def test_writes_without_the_interpreter_lock(tmp_path):
    """The writer blocks on a pipe that only this thread drains: it can only
    finish if it released the lock while it waited."""
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    values = np.arange(1 << 20, dtype=np.float64)
    failures = []

    def record():
        try:
            with qel.StreamWriter(fifo, [("a", "double", "scalar")], overwrite=True) as writer:
                writer.add_equidistant_segment(0, 0, 1.0, values)
        except Exception as error:  # reported below
            failures.append(error)

    thread = threading.Thread(target=record)
    thread.start()
    with open(fifo, "rb") as pipe:
        data = pipe.read()
    thread.join()
    assert failures == []
    (tmp_path / "copy.qel").write_bytes(data)
    assert np.array_equal(qel.load(str(tmp_path / "copy.qel"))["a"].samples(), values)


def test_threads_share_one_writer(tmp_path):
    types = ["int64"] * 4
    with stream(tmp_path / "s.qel", types) as writer:

        def fill(channel):
            for start in range(0, 20000, 500):
                times = np.arange(start, start + 500, dtype=np.int64)
                writer.add_timestamped_samples(channel, times, times * channel)

        threads = [threading.Thread(target=fill, args=(c,)) for c in range(len(types))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    loaded = qel.load(str(tmp_path / "s.qel"))
    for channel in range(len(types)):
        assert loaded.channels[channel].samples().tolist() == [t * channel for t in range(20000)]


@pytest.mark.parametrize("integrity", ["none", "crc32c"])
def test_every_prefix_of_the_file_loads(tmp_path, integrity):
    """A crash can cut the file at any byte: every cut after the metablock
    loads the complete blocks before it, and counts a cut block; qel.open
    reads every cut as the load does."""
    path = tmp_path / "s.qel"
    with stream(path, ["float", "uint8", "binary"], integrity=integrity) as writer:
        for call in range(6):
            writer.add_equidistant_segment(0, call * 4_000_000, 1000.0, np.ones(4, np.float32))
            writer.add_timestamped_samples(1, TS, np.full(3, call, dtype=np.uint8))
            writer.add_binary_samples(2, TS[:2], [bytes([call]) * 5, b""])
            writer.flush()
    data = path.read_bytes()
    body = data.index(b"\n") + 1 + int(data.split(b" ")[1].split(b"\n")[0])
    full = snapshot(qel.load(str(path)))
    for cut in range(body, len(data) + 1):
        (tmp_path / "cut.qel").write_bytes(data[:cut])
        loaded = qel.load(str(tmp_path / "cut.qel"))
        written = split_frames(data[:cut], crc=integrity == "crc32c")
        assert loaded.stats.blocks_truncated == int(written.cut)
        assert loaded.stats.blocks_read == len(written.frames)
        with qel.open(tmp_path / "cut.qel") as f:
            assert f.truncated == written.cut and snapshot(f.read()) == snapshot(loaded)
            looked_up = SimpleNamespace(channels=[f.channel(n) for n in f.names])
            assert snapshot(looked_up) == snapshot(loaded)
        for part, whole in zip(snapshot(loaded), full, strict=True):
            samples, times = part[3], part[4]
            prefix = samples if isinstance(samples, list) else samples[2]
            assert prefix == (whole[3] if isinstance(samples, list) else whole[3][2])[: len(prefix)]
            assert times == whole[4][: len(times)]
    for cut in (1, body // 2, body - 1):
        (tmp_path / "cut.qel").write_bytes(data[:cut])
        with pytest.raises(qel.QelError) as loading:
            qel.load(str(tmp_path / "cut.qel"))
        with pytest.raises(qel.QelError, match=re.escape(str(loading.value))):
            qel.open(tmp_path / "cut.qel")
