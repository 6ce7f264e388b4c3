import pathlib
import zlib

import numpy as np
import pytest
import qel
from qel_files import NUMERIC, QelFile, channel


def load(tmp_path: pathlib.Path, file: QelFile) -> qel.DataManager:
    return qel.load(file.write(tmp_path / "f.qel"))


def three_channels() -> QelFile:
    return QelFile(
        [channel(0, "speed", "double"), channel(1, "t", "int32"), channel(4, 'odd "x"', "string")]
    )


@pytest.mark.parametrize("datatype", NUMERIC)
def test_numeric_channels_have_the_natural_dtype(tmp_path, datatype):
    values = (np.arange(5) * 37 - 74).astype(NUMERIC[datatype])  # wraps for unsigned types
    file = QelFile([channel(0, "eq", datatype), channel(1, "ts", datatype)])
    file.start_data(0, 10, 2.0, values[:3]).continued_data(0, values[3:])
    file.timestamped(1, [5, 1, 9, 9, 2], values)
    dm = load(tmp_path, file)
    for name in ("eq", "ts"):
        samples = dm.channel(name).samples()
        assert samples.dtype == np.dtype(NUMERIC[datatype])
        assert samples.flags.owndata and samples.flags.writeable
        np.testing.assert_array_equal(samples, values)
    np.testing.assert_array_equal(dm.channel("ts").timestamps_ns(), [5, 1, 9, 9, 2])


def test_gps_rows_of_three_and_binary_bytes(tmp_path):
    positions = np.array([[48.1, 11.5, 520.0], [48.2, 11.6, 530.5]])
    defs = [channel(0, "gps", "gpslocation"), channel(1, "nogps", "gpslocation")]
    file = QelFile([*defs, channel(2, "blob", "binary")]).timestamped(0, [1, 2], positions)
    dm = load(tmp_path, file.message(2, 5, b"\x00\xff").message(2, 6, b""))
    np.testing.assert_array_equal(dm.channel("gps").samples(), positions)
    empty = dm.channel("nogps").samples()
    assert (empty.shape, empty.dtype) == ((0, 3), np.float64)
    blob = dm.channel("blob")
    assert (blob.samples(), blob.segments, blob.channel_type) == (
        [b"\x00\xff", b""],
        [],
        "variable",
    )


@pytest.mark.parametrize(
    ("segments", "expected"),
    [
        ([(0, 3.0, 4)], [0, 333333333, 666666666, 1000000000]),
        ([(7, 0.0, 3)], [7, 7, 7]),
        ([(100, 1e9, 2), (50, 0.5, 0), (50, 0.5, 3)], [100, 101, 50, 2000000050, 4000000050]),
        ([(2**63 - 2, 1.0, 3)], [2**63 - 2, 2**63 - 1, 2**63 - 1]),
    ],
)
def test_equidistant_timestamps_are_reconstructed(tmp_path, segments, expected):
    file = QelFile([channel(0, "c", "double")])
    for start, rate, count in segments:
        file.start_data(0, start, rate, np.zeros(count))
    c = load(tmp_path, file).channel("c")
    timestamps = c.timestamps_ns()
    assert timestamps.dtype == np.int64
    assert timestamps.tolist() == expected
    assert [(s.start_timestamp_ns, s.sample_count) for s in c.segments] == [
        (start, count) for start, _, count in segments
    ]


@pytest.mark.parametrize(
    "texts",
    [
        ["", "\0", "plain", "\x7f" * 9],
        ["\xff", "é", "温度", "🙂"],
        ["plain"] * 50 + ["Grüße"],
    ],
    ids=["ascii", "non-ascii", "non-ascii-last"],
)
def test_string_samples_decode_whether_or_not_ascii(tmp_path, texts):
    file = QelFile([channel(0, "text", "string")])
    for i, text in enumerate(texts):
        file.message(0, 10 - i, text.encode())
    text = load(tmp_path, file).channel("text")
    assert text.samples() == texts
    assert text.timestamps_ns().tolist() == [10 - i for i in range(len(texts))]


def test_reprs_properties_and_lookup(tmp_path):
    file = three_channels().start_data(0, -5, 100.0, np.zeros(2)).start_data(0, 0, 0.5, np.zeros(1))
    file.channels.append(channel(9, "a.b", "float", physicalunit="°C", displayname="Temp"))
    dm = load(tmp_path, file)
    assert len(dm) == 4
    assert repr(dm.channels[2]) == (
        'Channel(index=4, name="odd \\"x\\"", data_type="string", '
        'channel_type="variable", sample_count=0)'
    )
    a = dm.channel_by_index(9)
    assert (a.index, a.name, a.data_type, a.channel_type) == (9, "a.b", "float", "equidistant")
    assert (a.physical_unit, a.display_name, a.is_empty, a.sample_count) == ("°C", "Temp", True, 0)
    assert (dm.channel("t").physical_unit, dm.channel("t").display_name) == (None, None)
    assert dm.channel("missing") is None and dm.channel_by_index(3) is None
    assert dm.channel(name="t").index == dm.channel_by_index(index=1).index == 1


@pytest.mark.parametrize("count", [4, 3 << 20])  # the larger arrays are mapped on their own
def test_samples_are_owned_copies(tmp_path, count):
    values = np.arange(count, dtype=np.int32)
    file = QelFile([channel(0, "c", "int32", width=4)]).start_data(0, 0, 1.0, values)
    dm = load(tmp_path, file)
    first, second = dm.channel("c").samples(), dm.channel("c").samples()
    assert first.flags.owndata and not np.shares_memory(first, second)
    first[:] = -1
    np.testing.assert_array_equal(second, values)
    assert dm.channel("c") is not dm.channel("c")
    del dm, second  # the next arrays reuse their memory
    np.testing.assert_array_equal(load(tmp_path, file).channel("c").samples(), values)
    first.resize(2 * count, refcheck=False)
    assert (first[:count] == -1).all()


@pytest.mark.parametrize(
    ("call", "exception", "text"),
    [
        (lambda dm: qel.load(pathlib.Path("x")), TypeError, "argument 'path': must be str, not "),
        (lambda dm: qel.load("a\0b"), ValueError, "argument 'path': embedded null character"),
        (lambda dm: dm.channel_by_index(70000), OverflowError, "argument 'index': 70000 is out"),
    ],
)
def test_argument_errors(tmp_path, call, exception, text):
    dm = load(tmp_path, three_channels())
    with pytest.raises(exception) as raised:
        call(dm)
    assert str(raised.value).startswith(text)


@pytest.mark.parametrize(
    ("content", "text"),
    [
        (b"QEL9 10\n", "unsupported QEL version: QEL9"),
        (None, "I/O error: No such file or directory (os error 2)"),
    ],
)
def test_core_errors_arrive_as_qel_error(tmp_path, content, text):
    path = tmp_path / "bad.qel"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(qel.QelError) as raised:
        qel.load(str(path))
    assert str(raised.value) == text
    assert raised.value.args == (text,)


@pytest.mark.parametrize(("compress", "crc"), [(None, False), ("zlib", True)])
def test_stats_of_plain_and_checked_compressed_files(tmp_path, compress, crc):
    file = QelFile(three_channels().channels, crc=crc)
    file.start_data(0, 0, 1.0, np.arange(3.0)).start_data(0, 5, 1.0, np.arange(2.0)).frame(1, None)
    content = bytearray(file.to_bytes())
    if crc:
        content[-5] ^= 0xFF  # the CRC of the second block
    path = tmp_path / "f.qel"
    path.write_bytes(zlib.compress(content) if compress else content)
    stats = qel.load(str(path)).stats
    expected = {
        "compression_format": compress,
        "compressed": crc,
        "blocks_read": 2 - crc,
        "blocks_skipped_zero_length": 1,
        "blocks_crc_failed": int(crc),
        "file_size_bytes": path.stat().st_size,
        "integrity": "crc32c" if crc else "none",
        "verification_status": "invalid" if crc else "none",
    }
    assert {name: getattr(stats, name) for name in expected} == expected
    assert isinstance(stats.elapsed_ms, float) and stats.elapsed_ms >= 0
    assert ("Blocks CRC-failed:     1" in str(stats).split("\n")) is crc


def test_classes_are_reported_under_the_package_and_not_constructible():
    for cls in (qel.DataManager, qel.Channel, qel.Segment, qel.ReaderStats):
        assert cls.__module__ == "qel"
        with pytest.raises(TypeError):
            cls()
