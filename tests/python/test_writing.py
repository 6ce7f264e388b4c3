"""The Python layer of the writer: argument conversion, exception types and
texts, the consumed state and qel.save. The core's own checks are tested in
C++; values round trip in test_properties."""

import pathlib

import numpy as np
import pytest
import qel

TS = np.array([10, 20, 30], dtype=np.int64)
CONSUMED = "WriterBuilder already consumed by write_to_file()"
EQUIDISTANT = "add_equidistant_segment expects a 1D float32 or float64 numpy array"
TIMESTAMPS = "timestamps_ns must be a 1D int64 numpy array"


def builder() -> qel.WriterBuilder:
    """Channels 0 double, 1 int32, 2 string, 3 binary, 4 gpslocation."""
    w = qel.WriterBuilder()
    for name in ("double", "int32", "string", "binary", "gpslocation"):
        w.add_channel(name, name, "scalar")
    return w


def raises(exception, text, call) -> None:
    with pytest.raises(exception) as raised:
        call()
    assert str(raised.value).startswith(text)


def channel(*types, **fields):
    return lambda w: w.add_channel("a", *(types or ("double", "scalar")), **fields)


def equidistant(values, start=0):
    return lambda w: w.add_equidistant_segment(0, start, 1.0, values)


@pytest.mark.parametrize(
    ("call", "exception", "text"),
    [
        # One per converter: str, float, str or None, int or None, integer
        # range, path, and the sequences of str and of bytes.
        (lambda w: w.tag(1), TypeError, "argument 'value': must be str, not int"),
        (lambda w: w.location(1.0, "x", 0), TypeError, "argument 'lon': must be float, not str"),
        (channel(comment=1), TypeError, "argument 'comment': must be str or None, not int"),
        (
            channel(time_increment_ns="1"),
            TypeError,
            "argument 'time_increment_ns': must be int or None, not str",
        ),
        (
            lambda w: w.add_gps_samples(65536, TS, np.zeros((3, 3))),
            OverflowError,
            "argument 'channel': 65536 is out of range 0 to 65535",
        ),
        (lambda w: w.write_to_file(pathlib.Path("x")), TypeError, "argument 'path': "),
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
        # Texts parsed by the Python layer.
        (
            channel("bytearray", "scalar"),
            ValueError,
            'unknown data_type "bytearray"; expected one of bool, int8..int64, uint8..uint64, '
            "float, double, string, binary, gpslocation",
        ),
        (
            channel("double", "Scalar"),
            ValueError,
            'unknown channel_type "Scalar"; expected scalar, vector, matrix, or binary',
        ),
        (
            lambda w: w.with_integrity("CRC32C"),
            ValueError,
            "unknown integrity \"CRC32C\"; expected 'none' or 'crc32c'",
        ),
        # Arrays: one per message.
        (equidistant(np.zeros(2, ">f8")), ValueError, EQUIDISTANT),
        (equidistant(np.zeros(4)[::2]), TypeError, "The given array is not contiguous"),
        (lambda w: w.add_string_samples(2, [10, 20, 30], ["a", "b", "c"]), ValueError, TIMESTAMPS),
        (
            lambda w: w.add_timestamped_samples(1, TS, np.zeros(3, np.float16)),
            ValueError,
            "add_timestamped_samples expects a 1D numeric numpy array (bool, int8..int64, "
            "uint8..uint64, float32, or float64)",
        ),
        (
            lambda w: w.add_gps_samples(4, TS, np.zeros((3, 3), np.float32)),
            ValueError,
            "positions must be a (n, 3) float64 numpy array",
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
        (channel("bytearray", "scalar"), ValueError),  # texts parsed next,
        (lambda w: w.add_string_samples(2, [1], "x"), TypeError),
        (lambda w: w.add_equidistant_segment(0, 0, 1.0, [1]), qel.QelError),  # arrays checked last
        (lambda w: w.write_to_file("x.qel"), qel.QelError),
    ],
)
def test_consumed_builder_refuses_after_converting_arguments(call, exception):
    w = builder()
    with pytest.raises(qel.QelError):
        w.write_to_file("/nonexistent-dir/x.qel")  # a failed write consumes too
    with pytest.raises(exception) as raised:
        call(w)
    if exception is qel.QelError:
        assert str(raised.value) == CONSUMED
    assert repr(w) == "WriterBuilder(consumed)"


def test_methods_chain_and_a_successful_write_consumes(tmp_path):
    w = qel.WriterBuilder()
    assert w.tag("t").reason("r") is w
    assert w.creator("c").comment("x").namespace_sep("/").location(1, 2.5, 3) is w
    assert w.with_integrity("crc32c").with_integrity("none") is w
    assert w.add_channel("a", "double", "scalar", size_of_length_value=4) == 0
    assert w.add_channel(name="b", data_type="int8", channel_type="matrix") == 1
    assert w.add_equidistant_segment(0, 0, 1.0, np.zeros(1)) is None
    assert repr(w) == "WriterBuilder(channels=2)"
    w.write_to_file(str(tmp_path / "ok.qel"))
    raises(qel.QelError, CONSUMED, lambda: w.tag("x"))
    assert repr(w) == "WriterBuilder(consumed)"


def test_binary_inputs_of_every_buffer_kind_and_texts_of_definitions(tmp_path):
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
    assert dm.channel("blob").samples() == [b"\x00\xff", b"ab", b"xyz", b"\1\2", b"\0\1\2"]
    assert (dm.channel("t").physical_unit, dm.channel("t").display_name) == ("°C", "Eq")


@pytest.fixture
def manager(tmp_path):
    w = qel.WriterBuilder()
    w.add_channel("a", "int16", "scalar")
    w.add_timestamped_samples(0, np.array([1, 2]), np.array([3, -4], dtype=np.int16))
    w.write_to_file(str(tmp_path / "source.qel"))
    return qel.load(str(tmp_path / "source.qel"))


@pytest.mark.parametrize(("integrity", "token"), [(None, False), ("crc32c", True)])
def test_save_with_each_integrity_choice(tmp_path, manager, integrity, token):
    target = tmp_path / "saved.qel"
    qel.save(manager, str(target), integrity=integrity)
    header = target.read_bytes().split(b"\n", 1)[0].decode()
    assert ("crc32c:" in header) is token
    saved = qel.load(str(target))
    assert saved.stats.integrity == ("crc32c" if token else "none")
    assert saved.stats.verification_status == ("crc_valid" if token else "none")
    np.testing.assert_array_equal(saved.channel("a").samples(), [3, -4])
    assert manager.channel("a").sample_count == 2  # the manager stays usable


@pytest.mark.parametrize(
    ("call", "exception", "text"),
    [
        (
            lambda m, p: qel.save(5, p),
            TypeError,
            "argument 'manager': must be DataManager, not int",
        ),
        (lambda m, p: qel.save(m, 5), TypeError, "argument 'path': "),
        (
            lambda m, p: qel.save(m, p, integrity="ed25519"),
            ValueError,
            "integrity 'ed25519' (signing) is not supported by the writer",
        ),
    ],
)
def test_refused_saves_create_no_file(tmp_path, manager, call, exception, text):
    target = tmp_path / "x.qel"
    raises(exception, text, lambda: call(manager, str(target)))
    assert not target.exists()
