import gzip
import inspect
import pathlib
import zlib

import numpy as np
import pytest
import qel
from qel_files import NUMERIC, QelFile, channel


def sample_values(datatype: str, n: int) -> np.ndarray:
    dtype = np.dtype(NUMERIC[datatype])
    if dtype == np.bool_:
        return np.arange(n) % 3 == 0
    info = np.iinfo(dtype) if dtype.kind in "iu" else np.finfo(dtype)
    return np.linspace(info.min / 2, info.max / 2, n).astype(dtype)


def load(tmp_path: pathlib.Path, file: QelFile) -> qel.DataManager:
    return qel.load(file.write(tmp_path / "f.qel"))


def three_channels() -> QelFile:
    return QelFile(
        [channel(0, "speed", "double"), channel(1, "t", "int32"), channel(4, 'odd "x"', "string")]
    )


@pytest.mark.parametrize("datatype", NUMERIC)
def test_numeric_channels_have_the_natural_dtype(tmp_path, datatype):
    values = sample_values(datatype, 5)
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


def test_gps_samples_are_rows_of_three(tmp_path):
    positions = np.array([[48.1, 11.5, 520.0], [48.2, 11.6, 530.5]])
    file = QelFile([channel(0, "gps", "gpslocation"), channel(1, "nogps", "gpslocation")])
    dm = load(tmp_path, file.timestamped(0, [1, 2], positions))
    gps = dm.channel("gps")
    assert (gps.data_type, gps.channel_type) == ("gpslocation", "timestamped")
    np.testing.assert_array_equal(gps.samples(), positions)
    empty = dm.channel("nogps").samples()
    assert (empty.shape, empty.dtype) == ((0, 3), np.float64)


@pytest.mark.parametrize(
    ("segments", "expected"),
    [
        ([(0, 3.0, 4)], [0, 333333333, 666666666, 1000000000]),
        ([(7, 0.0, 3)], [7, 7, 7]),
        ([(7, float("nan"), 2)], [7, 7]),
        ([(7, -5.0, 2)], [7, 7]),
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


def test_variable_channels_give_lists_and_timestamps(tmp_path):
    file = QelFile([channel(0, "text", "string"), channel(1, "blob", "binary")])
    file.message(0, 30, "Grüße, 温度".encode()).message(0, 10, b"")
    file.message(1, 5, b"\x00\xff").message(1, 6, b"")
    dm = load(tmp_path, file)
    text, blob = dm.channel("text"), dm.channel("blob")
    assert text.samples() == ["Grüße, 温度", ""]
    assert blob.samples() == [b"\x00\xff", b""]
    assert text.timestamps_ns().tolist() == [30, 10]
    assert (blob.channel_type, blob.sample_count, blob.segments) == ("variable", 2, [])


@pytest.mark.parametrize(
    "texts",
    [
        ["", "\0", "plain", "\x7f" * 9],
        ["plain", "\x80", "plain"],
        ["\xff", "é", "温度", "🙂"],
        ["plain"] * 50 + ["Grüße"],
    ],
    ids=["ascii", "non-ascii-between", "non-ascii", "non-ascii-last"],
)
def test_string_samples_decode_whether_or_not_ascii(tmp_path, texts):
    file = QelFile([channel(0, "text", "string")])
    for i, text in enumerate(texts):
        file.message(0, i, text.encode())
    assert load(tmp_path, file).channel("text").samples() == texts


def test_reprs(tmp_path):
    file = three_channels().start_data(0, -5, 100.0, np.zeros(2)).start_data(0, 0, 0.5, np.zeros(1))
    dm = load(tmp_path, file)
    assert repr(dm) == "DataManager(channels=3, compressed=false)"
    assert len(dm) == 3
    assert [repr(s) for s in dm.channel("speed").segments] == [
        "Segment(start_timestamp_ns=-5, sample_rate_hz=100, sample_count=2)",
        "Segment(start_timestamp_ns=0, sample_rate_hz=0.5, sample_count=1)",
    ]
    assert repr(dm.channels[2]) == (
        'Channel(index=4, name="odd \\"x\\"", data_type="string", '
        'channel_type="variable", sample_count=0)'
    )
    stats = repr(dm.stats)
    assert stats.startswith("ReaderStats(channels_total=3, blocks_total=2, elapsed_ms=")
    assert stats.endswith(", compressed=false)")
    assert len(stats.split("elapsed_ms=")[1].split(",")[0].split(".")[1]) == 2


def test_channel_properties_and_lookup(tmp_path):
    defs = [
        channel(3, "a.b", "float", physicalunit="°C", displayname="Temp"),
        channel(9, "n", "uint8"),
    ]
    dm = load(tmp_path, QelFile(defs))
    a = dm.channel_by_index(3)
    assert (a.index, a.name, a.data_type, a.channel_type) == (3, "a.b", "float", "equidistant")
    assert (a.physical_unit, a.display_name, a.is_empty, a.sample_count) == ("°C", "Temp", True, 0)
    assert (dm.channel("n").physical_unit, dm.channel("n").display_name) == (None, None)
    assert [c.name for c in dm.channels] == ["a.b", "n"]
    assert dm.channel("missing") is None
    assert dm.channel_by_index(4) is None
    assert dm.channel(name="n").index == dm.channel_by_index(index=9).index == 9


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
        (
            lambda dm: qel.load(pathlib.Path("x.qel")),
            TypeError,
            "argument 'path': must be str, not ",
        ),
        (lambda dm: qel.load("a\0b"), ValueError, "argument 'path': embedded null character"),
        (lambda dm: dm.channel(5), TypeError, "argument 'name': must be str, not int"),
        (lambda dm: dm.channel_by_index("1"), TypeError, "argument 'index': must be int, not str"),
        (
            lambda dm: dm.channel_by_index(1.0),
            TypeError,
            "argument 'index': must be int, not float",
        ),
        (lambda dm: dm.channel_by_index(70000), OverflowError, "argument 'index': 70000 is out"),
        (lambda dm: dm.channel_by_index(-1), OverflowError, "argument 'index': -1 is out"),
        (lambda dm: dm.channel_by_index(2**70), OverflowError, "argument 'index': "),
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
        (b"QEL5 5\n{}", "I/O error: "),
        (b"QEL5 2\n{}", 'invalid QEL metablock: QEL5 root is missing the "qel" envelope'),
        (
            QelFile([channel(0, "c", "double")]).frame(7, 6).to_bytes(),
            "block references unknown channel index 7",
        ),
    ],
)
def test_core_errors_arrive_as_qel_error(tmp_path, content, text):
    path = tmp_path / "bad.qel"
    path.write_bytes(content)
    with pytest.raises(qel.QelError) as raised:
        qel.load(str(path))
    assert str(raised.value).startswith(text)
    assert raised.value.args == (str(raised.value),)


def test_missing_file_is_an_io_error(tmp_path):
    with pytest.raises(qel.QelError, match=r"^I/O error: .*\(os error 2\)$"):
        qel.load(str(tmp_path / "absent.qel"))


@pytest.mark.parametrize(
    ("compress", "format"), [(lambda b: b, None), (gzip.compress, "gzip"), (zlib.compress, "zlib")]
)
def test_stats_of_plain_and_compressed_files(tmp_path, compress, format):
    file = three_channels().start_data(0, 0, 1.0, np.arange(3.0)).frame(1, None)
    path = tmp_path / "f.qel"
    path.write_bytes(compress(file.to_bytes()))
    dm = qel.load(str(path))
    stats = dm.stats
    assert stats.compression_format == format
    assert stats.compressed is (format is not None)
    assert repr(dm) == f"DataManager(channels=3, compressed={str(format is not None).lower()})"
    assert (stats.blocks_total, stats.blocks_read, stats.blocks_skipped_zero_length) == (2, 1, 1)
    assert (stats.file_size_bytes, stats.channels_total, stats.channels_with_data) == (
        path.stat().st_size,
        3,
        2,
    )
    assert (stats.integrity, stats.verification_status, stats.header_size_bytes) == (
        "none",
        "none",
        0,
    )
    assert isinstance(stats.elapsed_ms, float) and stats.elapsed_ms >= 0
    lines = str(stats).split("\n")
    assert lines[0] == f"File size:       {path.stat().st_size} B"
    assert "Read:                  1" in lines
    assert len(lines) == (18 if format is None else 19) + 1


def test_crc_failures_are_counted_and_reported(tmp_path):
    file = QelFile([channel(0, "c", "double")], crc=True)
    file.start_data(0, 0, 1.0, np.arange(2.0)).start_data(0, 5, 1.0, np.arange(2.0))
    content = bytearray(file.to_bytes())
    content[-1] ^= 0xFF
    path = tmp_path / "crc.qel"
    path.write_bytes(bytes(content))
    stats = qel.load(str(path)).stats
    assert (stats.integrity, stats.blocks_crc_failed, stats.verification_status) == (
        "crc32c",
        1,
        "invalid",
    )
    assert "Blocks CRC-failed:     1" in str(stats).split("\n")


def test_classes_are_reported_under_the_package_and_not_constructible():
    for cls in (qel.DataManager, qel.Channel, qel.Segment, qel.ReaderStats):
        assert cls.__module__ == "qel"
        with pytest.raises(TypeError):
            cls()
    assert qel.DataManager.channel.__text_signature__ == "($self, name)"
    assert qel.Channel.timestamps_ns.__doc__.startswith("`int64` NumPy array")
    assert qel.load.__text_signature__ == "(path)"
    assert str(inspect.signature(qel.load)) == "(path)"
    assert qel.DataManager.__doc__.startswith("`qel.DataManager` — read-only")
    assert qel.ReaderStats.integrity.__doc__ == (
        'Declared integrity level: `"none"`, `"crc32c"`, or `"ed25519"`.'
    )
