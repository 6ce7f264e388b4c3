"""The container, length, array and signature protocols of the classes."""

import inspect
import pathlib

import numpy as np
import pytest
import qel
from qel_files import NUMERIC, QelFile, channel


def load(tmp_path: pathlib.Path, file: QelFile) -> qel.DataManager:
    return qel.load(file.write(tmp_path / "f.qel"))


def duplicate_names(tmp_path: pathlib.Path) -> qel.DataManager:
    file = QelFile(
        [channel(3, "speed", "double"), channel(1, "log", "string"), channel(2, "speed", "int8")]
    )
    file.start_data(3, 0, 1.0, np.arange(2.0)).timestamped(2, [1, 2, 3], np.arange(3, dtype="i1"))
    return load(tmp_path, file)


def test_manager_is_a_container_of_its_channels_where_the_first_name_wins(tmp_path):
    dm = duplicate_names(tmp_path)
    assert dm.names == ["speed", "log", "speed"] == [c.name for c in dm.channels]
    assert [(c.index, c.name) for c in dm] == [(3, "speed"), (1, "log"), (2, "speed")]
    assert ("speed" in dm, "log" in dm, "Speed" in dm, "" in dm) == (True, True, False, False)
    assert (3 in dm, None in dm, b"speed" in dm, "\ud800" in dm) == (False,) * 4
    assert dm["speed"].index == dm.channel("speed").index == 3
    assert repr(dm["log"]) == repr(dm.channel("log"))
    assert dm.names is not dm.names and dm["log"] is not dm["log"]


@pytest.mark.parametrize(
    ("key", "exception", "text"),
    [
        ("nope", KeyError, "'nope'"),
        ('odd "x"', KeyError, "'odd \"x\"'"),
        (0, TypeError, "argument 'name': must be str, not int"),
    ],
)
def test_subscript_of_an_absent_channel_names_it(tmp_path, key, exception, text):
    with pytest.raises(exception) as raised:
        duplicate_names(tmp_path)[key]
    assert str(raised.value) == text


def test_empty_file_is_an_empty_container(tmp_path):
    dm = load(tmp_path, QelFile([]))
    assert (list(dm), dm.names, "x" in dm, len(dm)) == ([], [], False, 0)


@pytest.mark.parametrize("datatype", NUMERIC)
def test_numeric_channels_are_arrays(tmp_path, datatype):
    values = (np.arange(5) * 37 - 74).astype(NUMERIC[datatype])
    file = QelFile([channel(0, "eq", datatype), channel(1, "ts", datatype)])
    file.start_data(0, 10, 2.0, values[:3]).continued_data(0, values[3:])
    dm = load(tmp_path, file.timestamped(1, [5, 1, 9, 9, 2], values))
    for ch in dm:
        array = np.asarray(ch)
        assert (array.dtype, len(ch), array.flags.owndata) == (values.dtype, 5, True)
        np.testing.assert_array_equal(array, values)
        np.testing.assert_array_equal(ch.numeric_samples(), values)
        assert np.mean(ch) == pytest.approx(np.mean(values))
        assert not np.shares_memory(np.asarray(ch), np.asarray(ch))


def test_gps_and_empty_channels_are_arrays(tmp_path):
    positions = np.array([[48.1, 11.5, 520.0], [48.2, 11.6, 530.5]])
    defs = [channel(0, "gps", "gpslocation"), channel(1, "nogps", "gpslocation")]
    dm = load(
        tmp_path, QelFile([*defs, channel(2, "none", "int16")]).timestamped(0, [1, 2], positions)
    )
    np.testing.assert_array_equal(np.asarray(dm["gps"]), positions)
    np.testing.assert_array_equal(np.mean(dm["gps"], axis=0), positions.mean(axis=0))
    assert (len(dm["gps"]), np.asarray(dm["nogps"]).shape) == (2, (0, 3))
    empty = dm["none"]
    assert (len(empty), np.asarray(empty).dtype, np.asarray(empty).shape) == (0, np.int16, (0,))
    assert bool(empty) and bool(dm.channel("none"))  # a found channel stays truthy


@pytest.mark.parametrize(
    ("request_", "dtype"),
    [
        ({}, np.float64),
        ({"dtype": None, "copy": None}, np.float64),
        ({"copy": True}, np.float64),
        ({"dtype": np.float64}, np.float64),
        ({"dtype": "int8"}, np.int8),
        ({"dtype": np.dtype(np.float32), "copy": True}, np.float32),
    ],
)
def test_array_protocol_casts_and_always_copies(tmp_path, request_, dtype):
    file = QelFile([channel(0, "c", "double")]).start_data(0, 0, 1.0, np.array([1.5, -2.5, 3.0]))
    array = load(tmp_path, file)["c"].__array__(**request_)
    assert array.dtype == dtype and array.flags.owndata
    np.testing.assert_array_equal(array, np.array([1.5, -2.5, 3.0]).astype(dtype))


def test_array_protocol_through_numpy(tmp_path):
    file = QelFile([channel(0, "c", "int32")]).start_data(0, 0, 1.0, np.arange(3, dtype="i4"))
    ch = load(tmp_path, file)["c"]
    assert np.array(ch, dtype=np.float32).tolist() == [0.0, 1.0, 2.0]
    assert np.asarray(ch, dtype=np.int32).dtype == np.int32
    with pytest.raises(ValueError, match="copy=False cannot be honoured"):
        np.array(ch, copy=False)
    with pytest.raises(ValueError, match="copy=False"):
        ch.__array__(None, False)
    with pytest.raises(TypeError):
        ch.__array__(dtype="no such type")


@pytest.mark.parametrize(
    ("datatype", "text"),
    [
        ("string", 'channel "v" holds strings; call samples() for a list of str'),
        ("binary", 'channel "v" holds binaries; call samples() for a list of bytes'),
    ],
)
@pytest.mark.parametrize(
    "call",
    [np.asarray, np.array, np.mean, lambda ch: ch.numeric_samples(), lambda ch: ch.__array__()],
)
def test_strings_and_binaries_have_no_array_form(tmp_path, datatype, text, call):
    ch = load(tmp_path, QelFile([channel(0, "v", datatype)]).message(0, 1, b"ab"))["v"]
    with pytest.raises(TypeError) as raised:
        call(ch)
    assert str(raised.value) == text
    assert len(ch) == 1 and len(ch.samples()) == 1


def test_metadata_reads_back_what_the_writer_stored(tmp_path):
    w = qel.WriterBuilder()
    full = {
        "comment": "front left",
        "physical_dimension": "velocity",
        "mime_type": "application/x-speed",
        "reference": "ISO 8855",
        "time_increment_ns": -(2**63),
        "size_of_length_value": 4,
    }
    w.add_channel("full", "double", "vector", physical_unit="m/s", **full)
    w.add_channel("bare", "string", "scalar")
    path = str(tmp_path / "w.qel")
    w.write_to_file(path)
    dm = qel.load(path)
    assert dm["full"].metadata == full
    assert dm["bare"].metadata == {"size_of_length_value": 2}
    assert qel.load(path)["full"].metadata is not dm["full"].metadata


@pytest.mark.parametrize(
    ("wire", "spelling"),
    [("realimag", "realimag"), ("ampphasedeg", "ampphasedeg"), ("x", "amplitude")],
)
def test_metadata_carries_the_spectrum_type(tmp_path, wire, spelling):
    file = QelFile([channel(0, "s", "float", spectrumtype=wire, timeincrement=7)])
    assert load(tmp_path, file)["s"].metadata == {
        "spectrum_type": spelling,
        "time_increment_ns": 7,
        "size_of_length_value": 2,
    }


def public_callables():
    yield "load", qel.load
    yield "save", qel.save
    yield "WriterBuilder", qel.WriterBuilder
    for cls in (qel.DataManager, qel.Channel, qel.Segment, qel.ReaderStats, qel.WriterBuilder):
        for name, member in vars(cls).items():
            if callable(member) and (not name.startswith("_") or name == "__array__"):
                yield f"{cls.__name__}.{name}", getattr(cls, name)


@pytest.mark.parametrize(("name", "function"), list(public_callables()))
def test_every_public_callable_has_a_signature(name, function):
    parameters = list(inspect.signature(function).parameters)
    assert "args" not in parameters and "kwargs" not in parameters, name


def test_signatures_name_the_parameters():
    assert str(inspect.signature(qel.WriterBuilder)) == "()"
    assert str(inspect.signature(qel.Channel.__array__)) == "(self, /, dtype=None, copy=None)"
    assert str(inspect.signature(qel.save)) == "(manager, path, *, integrity=None)"
    assert qel.WriterBuilder.__doc__ == (
        "`qel.WriterBuilder` — accumulator for QEL5 file construction.\n\n"
        "All builder-style methods return `self` for chaining. `add_*`\n"
        "methods mutate in place and return `None`. `write_to_file`\n"
        "consumes the builder."
    )
