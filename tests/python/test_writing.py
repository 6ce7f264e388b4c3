import pathlib

import numpy as np
import pytest
import qel

TS = np.array([10, 20, 30], dtype=np.int64)
CONSUMED = "WriterBuilder already consumed by write_to_file()"


def builder() -> qel.WriterBuilder:
    """Channels 0 double, 1 int32, 2 string, 3 binary, 4 gpslocation."""
    w = qel.WriterBuilder()
    for name in ("double", "int32", "string", "binary", "gpslocation"):
        w.add_channel(name, name, "scalar")
    return w


def consumed() -> qel.WriterBuilder:
    w = builder()
    with pytest.raises(qel.QelError):
        w.write_to_file("/nonexistent-dir/x.qel")
    return w


def raises(exception, text, call) -> None:
    with pytest.raises(exception) as raised:
        call()
    assert str(raised.value).startswith(text)


@pytest.mark.parametrize(
    ("call", "exception", "text"),
    [
        # Argument conversion.
        (lambda w: w.tag(1), TypeError, "argument 'value': must be str, not int"),
        (lambda w: w.location(1.0, "x", 0), TypeError, "argument 'lon': must be float, not str"),
        (lambda w: w.add_channel(b"a", "double", "scalar"), TypeError, "argument 'name': "),
        (
            lambda w: w.add_channel("a", "double", "scalar", comment=1),
            TypeError,
            "argument 'comment': must be str or None, not int",
        ),
        (
            lambda w: w.add_channel("a", "double", "scalar", size_of_length_value=256),
            OverflowError,
            "argument 'size_of_length_value': 256 is out of range 0 to 255",
        ),
        (
            lambda w: w.add_channel("a", "double", "scalar", time_increment_ns=2**63),
            OverflowError,
            "argument 'time_increment_ns': ",
        ),
        (
            lambda w: w.add_equidistant_segment(65536, 0, 1.0, np.zeros(1)),
            OverflowError,
            "argument 'channel': 65536 is out of range 0 to 65535",
        ),
        (
            lambda w: w.add_equidistant_segment(-1, 0, 1.0, np.zeros(1)),
            OverflowError,
            "argument 'channel': ",
        ),
        (
            lambda w: w.add_equidistant_segment(0, 2**63, 1.0, np.zeros(1)),
            OverflowError,
            "argument 'start_ns': ",
        ),
        (
            lambda w: w.add_equidistant_segment(0, 0, "1", np.zeros(1)),
            TypeError,
            "argument 'sample_rate_hz': must be float, not str",
        ),
        (
            lambda w: w.add_string_samples(2, TS, "abc"),
            TypeError,
            "argument 'values': must be a sequence of str, not str",
        ),
        (
            lambda w: w.add_string_samples(2, TS, ["a", 1, "c"]),
            TypeError,
            "argument 'values': item 1 must be str, not int",
        ),
        (
            lambda w: w.add_binary_samples(3, TS, [b"", "s", b""]),
            TypeError,
            "argument 'values': item 1 must be a bytes-like object or a sequence of int, not str",
        ),
        (
            lambda w: w.add_binary_samples(3, TS, [b"", [1, 256], b""]),
            OverflowError,
            "argument 'values': 256 is out of range 0 to 255",
        ),
        (lambda w: w.write_to_file(pathlib.Path("x")), TypeError, "argument 'path': "),
        # Texts.
        (
            lambda w: w.add_channel("a", "bytearray", "scalar"),
            ValueError,
            'unknown data_type "bytearray"; expected one of bool, int8..int64, uint8..uint64, '
            "float, double, string, binary, gpslocation",
        ),
        (
            lambda w: w.add_channel("a", "double", "Scalar"),
            ValueError,
            'unknown channel_type "Scalar"; expected scalar, vector, matrix, or binary',
        ),
        (
            lambda w: w.with_integrity("CRC32C"),
            ValueError,
            "unknown integrity \"CRC32C\"; expected 'none' or 'crc32c'",
        ),
        (
            lambda w: w.with_integrity("ed25519"),
            ValueError,
            "integrity 'ed25519' (signing) is not supported by the writer",
        ),
        # Arrays.
        (
            lambda w: w.add_equidistant_segment(0, 0, 1.0, np.zeros(2, np.float16)),
            ValueError,
            "add_equidistant_segment expects a 1D float32 or float64 numpy array",
        ),
        (
            lambda w: w.add_equidistant_segment(0, 0, 1.0, np.zeros((2, 2))),
            ValueError,
            "add_equidistant_segment expects a 1D float32 or float64 numpy array",
        ),
        (
            lambda w: w.add_equidistant_segment(0, 0, 1.0, [1.0]),
            ValueError,
            "add_equidistant_segment expects a 1D float32 or float64 numpy array",
        ),
        (
            lambda w: w.add_equidistant_segment(0, 0, 1.0, np.zeros(2, ">f8")),
            ValueError,
            "add_equidistant_segment expects a 1D float32 or float64 numpy array",
        ),
        (
            lambda w: w.add_equidistant_segment(0, 0, 1.0, np.zeros(4)[::2]),
            TypeError,
            "The given array is not contiguous",
        ),
        (
            lambda w: w.add_timestamped_samples(1, TS.astype(np.int32), np.zeros(3, np.int32)),
            ValueError,
            "timestamps_ns must be a 1D int64 numpy array",
        ),
        (
            lambda w: w.add_timestamped_samples(1, TS, np.zeros(3, np.float16)),
            ValueError,
            "add_timestamped_samples expects a 1D numeric numpy array (bool, int8..int64, "
            "uint8..uint64, float32, or float64)",
        ),
        (
            lambda w: w.add_string_samples(2, [10, 20, 30], ["a", "b", "c"]),
            ValueError,
            "timestamps_ns must be a 1D int64 numpy array",
        ),
        (
            lambda w: w.add_gps_samples(4, TS, np.zeros((3, 2))),
            ValueError,
            "positions must be a (n, 3) float64 numpy array",
        ),
        (
            lambda w: w.add_gps_samples(4, TS, np.zeros((3, 3), np.float32)),
            ValueError,
            "positions must be a (n, 3) float64 numpy array",
        ),
        (
            lambda w: w.add_gps_samples(4, TS, np.zeros((3, 3), order="F")),
            TypeError,
            "The given array is not contiguous",
        ),
        # Core errors.
        (
            lambda w: w.add_channel("a", "double", "scalar", size_of_length_value=3),
            qel.QelError,
            'invalid QEL metablock: channel "a": size_of_length_value must be 2 or 4, got 3',
        ),
        (
            lambda w: w.add_equidistant_segment(0, 0, 1.0, np.zeros(2, np.float32)),
            qel.QelError,
            "channel 0 data type mismatch: expected Double, got block payload Float",
        ),
        (
            lambda w: w.add_timestamped_samples(1, TS, np.zeros(3, np.int64)),
            qel.QelError,
            "channel 1 data type mismatch: expected Int32, got block payload Int64",
        ),
        (
            lambda w: w.add_timestamped_samples(4, TS, np.zeros(3)),
            qel.QelError,
            "channel 4 data type mismatch: expected GpsLocation, got block payload Double",
        ),
        (
            lambda w: w.add_gps_samples(0, TS, np.zeros((3, 3))),
            qel.QelError,
            "channel 0 data type mismatch: expected Double, got block payload GpsLocation",
        ),
        (
            lambda w: w.add_string_samples(3, TS, ["a", "b", "c"]),
            qel.QelError,
            "channel 3 data type mismatch: expected Binary, got block payload String",
        ),
        (
            lambda w: w.add_timestamped_samples(1, TS, np.zeros(2, np.int32)),
            qel.QelError,
            "invalid QEL block payload: channel 1: timestamp len 3 != values len 2",
        ),
        (
            lambda w: w.add_equidistant_segment(9, 0, 1.0, np.zeros(1)),
            qel.QelError,
            'channel "(index 9)" not found',
        ),
        (
            lambda w: w.add_equidistant_segment(0, 0, 0.0, np.zeros(1)),
            qel.QelError,
            "invalid QEL block payload: channel 0: equidistant sample_rate_hz must be > 0, got 0",
        ),
    ],
)
def test_failures_leave_the_builder_unchanged(call, exception, text):
    w = builder()
    raises(exception, text, lambda: call(w))
    assert repr(w) == "WriterBuilder(channels=5)"
    w.add_equidistant_segment(0, 0, 1.0, np.zeros(1))


@pytest.mark.parametrize(
    ("call", "exception"),
    [
        (lambda w: w.tag(1), TypeError),  # arguments are converted first,
        (lambda w: w.add_channel("a", "bytearray", "scalar"), ValueError),  # texts parsed next,
        (lambda w: w.with_integrity("x"), ValueError),
        (lambda w: w.add_equidistant_segment(0, 0, 1.0, [1]), qel.QelError),  # arrays checked last
        (lambda w: w.add_string_samples(2, [1], "x"), TypeError),
        (lambda w: w.add_string_samples(2, [1], ["x"]), qel.QelError),
        (lambda w: w.add_gps_samples(4, TS, None), qel.QelError),
        (lambda w: w.tag("t"), qel.QelError),
        (lambda w: w.location(1, 2, 3), qel.QelError),
        (lambda w: w.add_channel("a", "double", "scalar"), qel.QelError),
        (lambda w: w.write_to_file("x.qel"), qel.QelError),
    ],
)
def test_consumed_builder_refuses_after_converting_arguments(call, exception):
    w = consumed()
    with pytest.raises(exception) as raised:
        call(w)
    if exception is qel.QelError:
        assert str(raised.value) == CONSUMED
    assert repr(w) == "WriterBuilder(consumed)"


def test_a_successful_write_consumes_too(tmp_path):
    w = builder()
    w.write_to_file(str(tmp_path / "ok.qel"))
    raises(qel.QelError, CONSUMED, lambda: w.tag("x"))
    assert repr(w) == "WriterBuilder(consumed)"


def test_builder_style_methods_chain():
    w = qel.WriterBuilder()
    assert w.tag("t").reason("r") is w
    assert w.creator("c").comment("x").namespace_sep("/").location(1, 2.5, 3) is w
    assert w.with_integrity("crc32c").with_integrity("none") is w
    assert w.add_channel("a", "double", "scalar") == 0
    assert w.add_channel("a", "double", "scalar") == 1
    assert w.add_equidistant_segment(0, 0, 1.0, np.zeros(1)) is None
    assert repr(w) == "WriterBuilder(channels=2)"


def test_empty_builder_cannot_be_written(tmp_path):
    raises(
        qel.QelError,
        "writer has no channels declared",
        lambda: qel.WriterBuilder().write_to_file(str(tmp_path / "x.qel")),
    )


def test_binary_inputs_of_every_buffer_kind_and_texts_of_definitions(tmp_path):
    # The randomised round trips cover the values; these are the input forms
    # and the optional definition texts they do not draw.
    w = qel.WriterBuilder()
    w.add_channel("blob", "binary", "binary", mime_type="application/octet-stream")
    w.add_channel("t", "int8", "scalar", physical_unit="°C", display_name="Eq")
    w.add_binary_samples(
        0,
        np.arange(5),
        [b"\x00\xff", bytearray(b"ab"), memoryview(b"xyz"), [1, 2], np.arange(3, dtype=np.uint8)],
    )
    path = str(tmp_path / "all.qel")
    w.write_to_file(path)
    dm = qel.load(path)
    assert dm.channel("blob").samples() == [
        b"\x00\xff",
        b"ab",
        b"xyz",
        b"\x01\x02",
        b"\x00\x01\x02",
    ]
    assert dm.channel("t").physical_unit == "°C"
    assert dm.channel("t").display_name == "Eq"


@pytest.mark.parametrize(("integrity", "token"), [(None, False), ("none", False), ("crc32c", True)])
def test_save_with_each_integrity_choice(tmp_path, integrity, token):
    source = tmp_path / "source.qel"
    w = qel.WriterBuilder()
    w.add_channel("a", "int16", "scalar")
    w.add_timestamped_samples(0, np.array([1, 2]), np.array([3, -4], dtype=np.int16))
    w.write_to_file(str(source))
    dm = qel.load(str(source))

    target = tmp_path / "saved.qel"
    qel.save(dm, str(target), integrity=integrity)
    header = target.read_bytes().split(b"\n", 1)[0].decode()
    assert ("crc32c:" in header) is token
    saved = qel.load(str(target))
    assert saved.stats.integrity == ("crc32c" if token else "none")
    assert saved.stats.verification_status == ("crc_valid" if token else "none")
    np.testing.assert_array_equal(saved.channel("a").samples(), [3, -4])
    assert dm.channel("a").sample_count == 2  # the manager stays usable


@pytest.mark.parametrize(
    ("args", "exception", "text"),
    [
        ((5, "x.qel"), TypeError, "argument 'manager': must be DataManager, not int"),
        ((None, 5), TypeError, "argument 'manager': "),
    ],
)
def test_save_argument_errors(args, exception, text):
    raises(exception, text, lambda: qel.save(*args))


@pytest.mark.parametrize(
    ("integrity", "exception", "text"),
    [
        (1, TypeError, "argument 'integrity': must be str or None, not int"),
        ("ed25519", ValueError, "integrity 'ed25519' (signing) is not supported by the writer"),
        ("CRC32C", ValueError, "unknown integrity \"CRC32C\"; expected 'none' or 'crc32c'"),
    ],
)
def test_save_integrity_errors(tmp_path, integrity, exception, text):
    w = qel.WriterBuilder()
    w.add_channel("a", "double", "scalar")
    w.write_to_file(str(tmp_path / "a.qel"))
    dm = qel.load(str(tmp_path / "a.qel"))
    raises(exception, text, lambda: qel.save(dm, str(tmp_path / "b.qel"), integrity=integrity))
    raises(qel.QelError, "I/O error: ", lambda: qel.save(dm, str(tmp_path / "no" / "b.qel")))


def test_writer_signatures_follow_the_docstrings():
    assert qel.WriterBuilder.add_channel.__text_signature__ == (
        "($self, name, data_type, channel_type, *, physical_unit=None, physical_dimension=None, "
        "display_name=None, mime_type=None, reference=None, comment=None, "
        "size_of_length_value=2, time_increment_ns=None)"
    )
    assert qel.save.__text_signature__ == "(manager, path, *, integrity=None)"
    assert qel.WriterBuilder.with_integrity.__doc__.splitlines()[1] == (
        '`crc32c` header token and a per-block frame CRC32C; `profile="none"`'
    )
    w = qel.WriterBuilder()
    w.add_channel("a", "double", "scalar", size_of_length_value=4, time_increment_ns=None)
    assert w.add_channel(name="b", data_type="int8", channel_type="matrix") == 1
