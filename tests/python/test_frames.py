"""DataFrames, Arrow tables and Parquet files of crafted recordings: time bases, rasters and
the resampling methods at their edges, layouts, time axes, and the optional libraries."""

import datetime
import subprocess
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import qel
from qel_files import NUMERIC, QelFile, channel

T0 = 1_700_000_000_000_000_000  # a 2023 timestamp: beyond 2**53, as real recordings are
MS = 1_000_000
S = 1_000_000_000


def write(tmp_path, add, name="f.qel") -> qel.DataManager:
    w = qel.WriterBuilder()
    add(w)
    path = str(tmp_path / name)
    w.write_to_file(path)
    return qel.load(path)


def ints(*values):
    return np.array(values, dtype=np.int64)


def mixed(w: qel.WriterBuilder) -> None:
    """1 kHz doubles (two sharing a time base), 10 Hz ints, irregular strings, GPS, no samples."""
    volts = w.add_channel("volts", "double", "scalar", physical_unit="V", display_name="U")
    amps = w.add_channel("amps", "double", "scalar", physical_unit="A")
    w.add_equidistant_segment(volts, T0, 1000.0, np.arange(2000) * 0.5)
    w.add_equidistant_segment(amps, T0, 1000.0, np.arange(2000) * -1.0)
    gear = w.add_channel("gear", "int32", "scalar")
    w.add_timestamped_samples(gear, T0 + np.arange(20) * 100 * MS, np.arange(20, dtype=np.int32))
    event = w.add_channel("event", "string", "scalar")
    w.add_string_samples(event, T0 + ints(3 * MS, 250 * MS, 1700 * MS), ["go", "", "stop"])
    pos = w.add_channel("pos", "gpslocation", "scalar")
    w.add_gps_samples(pos, T0 + ints(0, S), np.array([[48.0, 11.0, 500.0], [48.5, 11.5, 510.0]]))
    w.add_channel("none", "double", "scalar")


@pytest.fixture
def dm(tmp_path) -> qel.DataManager:
    return write(tmp_path, mixed)


def test_time_bases_group_identical_timestamps(tmp_path):
    def add(w):
        mixed(w)
        copy = w.add_channel("volts_times", "int64", "scalar")  # timestamped, same times
        w.add_timestamped_samples(copy, T0 + np.arange(2000) * MS, np.arange(2000))

    dm = write(tmp_path, add)
    assert dm.time_bases() == [
        ["volts", "amps", "volts_times"], ["gear"], ["event"], ["pos"], ["none"]
    ]  # fmt: skip
    assert dm.time_bases(["gear", "amps", "volts"]) == [["gear"], ["amps", "volts"]]


def test_a_shared_time_base_is_joined_as_it_is(dm):
    frame = dm.to_pandas(["volts", "amps", "none"])
    assert frame.index.dtype == "datetime64[ns, UTC]" and frame.index.name == "time"
    np.testing.assert_array_equal(frame.index.asi8, dm.channel("volts").timestamps_ns())
    np.testing.assert_array_equal(frame["volts"], dm.channel("volts").samples())
    np.testing.assert_array_equal(frame["amps"], dm.channel("amps").samples())
    assert frame["none"].isna().all()
    assert frame.attrs["units"] == {"volts": "V", "amps": "A", "none": None}
    assert frame.attrs["display_names"]["volts"] == "U"
    table = dm.to_arrow(["volts", "amps"])
    assert table.column_names == ["time", "volts", "amps"]
    assert table.schema.field("volts").metadata == {
        b"data_type": b"double", b"unit": b"V", b"display_name": b"U"
    }  # fmt: skip


def test_mixed_time_bases_need_a_raster(dm):
    with pytest.raises(ValueError) as raised:
        dm.to_pandas()
    message = str(raised.value)
    assert message.startswith("the channels do not share one time base: ['volts', 'amps']; ")
    assert "raster=" in message and "union=True" in message


@pytest.mark.parametrize("layout", ["wide", "long"])
@pytest.mark.parametrize("method", ["previous", "nearest"])
def test_every_channel_kind_onto_a_raster(dm, layout, method):
    frame = dm.to_pandas(raster="100ms", method=method, layout=layout)
    table = dm.to_arrow(raster="100ms", method=method, layout=layout)
    assert table.num_rows == len(frame)
    if layout == "long":
        assert list(frame.columns) == ["time", "channel", "value", "text", "binary"]
        assert frame["time"].is_monotonic_increasing
        return
    assert len(frame) == 20  # T0 to the last sample at T0 + 1.999 s
    assert frame["gear"].dtype == "Int32" and frame["event"].dtype == object
    events = {"previous": [None, "go", "go", ""], "nearest": [None, "go", "", ""]}[method]
    assert frame["event"].tolist()[:4] == events
    assert list(frame.columns[-4:]) == ["pos.latitude", "pos.longitude", "pos.altitude", "none"]
    assert table.schema.field("pos").type == pa.struct(
        [(name, pa.float64()) for name in ("latitude", "longitude", "altitude")]
    )


def test_the_union_keeps_every_sample_of_every_kind(dm):
    frame = dm.to_pandas(union=True)
    assert len(frame) == 2000  # the other channels' times are among the 1 kHz ones
    counts = frame.notna().sum()[["gear", "event", "pos.latitude", "none"]]
    assert counts.tolist() == [20, 3, 2, 0]
    assert frame["gear"].dtype == "Int32"
    assert dm.to_arrow(union=True).column("pos").null_count == 1998
    long, own = dm.to_pandas(union=True, layout="long"), dm.to_pandas(layout="long")
    pd.testing.assert_frame_equal(long, own)


@pytest.mark.parametrize("layout", ["wide", "long"])
def test_linear_interpolates_numbers_and_gps(dm, layout):
    names = ["volts", "gear", "pos", "none"]
    frame = dm.to_pandas(names, raster="100ms", method="linear", time="ns", layout=layout)
    if layout == "long":
        cells = frame.pivot(index="time", columns="channel", values="value")
        assert cells.loc[T0 + 500 * MS, "pos.latitude"] == 48.25
        assert len(frame) == 20 + 20 + 3 * 11  # pos ends at 1 s: nothing after it
        return
    assert frame["gear"].dtype == "float64" and frame["gear"].iloc[11] == 11.0
    assert frame["pos.latitude"].iloc[5] == 48.25 and np.isnan(frame["pos.latitude"].iloc[11])
    assert frame["volts"].iloc[19] == 950.0 and frame["none"].isna().all()


@pytest.mark.parametrize("kwargs", [{}, {"raster": "1s"}, {"union": True}, {"layout": "long"}])
def test_channels_without_samples_give_empty_tables(dm, kwargs):
    frame, table = dm.to_pandas(["none"], **kwargs), dm.to_arrow(["none"], **kwargs)
    assert len(frame) == table.num_rows == 0
    assert "none" in (frame.columns if "layout" not in kwargs else frame["channel"].cat.categories)


def test_importing_qel_loads_neither_pandas_nor_pyarrow(dm, tmp_path):
    script = (
        "import sys, qel; dm = qel.load(sys.argv[1]);"
        "assert dm.time_bases()[0] == ['volts', 'amps'];"
        "assert not {'pandas', 'pyarrow'} & set(sys.modules), sorted(sys.modules)"
    )
    subprocess.run([sys.executable, "-c", script, str(tmp_path / "f.qel")], check=True)


def test_a_raster_is_exact_over_long_spans(tmp_path):
    def add(w):
        c = w.add_channel("c", "double", "scalar")
        w.add_timestamped_samples(c, T0 + ints(0, 3600 * S), np.array([0.0, 1.0]))

    dm = write(tmp_path, add)
    expected = T0 + np.arange(360_001) * 10 * MS
    for period in ["10ms", 0.01, pd.Timedelta("10ms"), datetime.timedelta(milliseconds=10),
                   np.timedelta64(10, "ms"), "0.01s", "10000us"]:  # fmt: skip
        np.testing.assert_array_equal(dm.to_pandas(raster=period).index.asi8, expected)


@pytest.mark.parametrize("method", ["previous", "linear", "nearest"])
def test_a_raster_of_a_channels_own_rate_reproduces_it(dm, method):
    for raster in ("1ms", "volts"):
        frame = dm.to_pandas(["volts", "gear"], raster=raster, method=method)
        np.testing.assert_array_equal(frame.index.asi8, dm.channel("volts").timestamps_ns())
        np.testing.assert_array_equal(frame["volts"], dm.channel("volts").samples())


POINTS = [5, 10, 14, 15, 16, 20, 25, 30, 35]
NAN = np.nan


@pytest.mark.parametrize(
    ("method", "expected"),
    [
        ("previous", [NAN, 1, 1, 1, 1, 2, 2, 4, 4]),
        ("linear", [NAN, 1, 1.4, 1.5, 1.6, 2, 3, 4, NAN]),
        ("nearest", [NAN, 1, 1, 1, 2, 2, 2, 4, NAN]),  # ties go to the earlier sample
    ],
)
def test_methods_at_edges_and_between_samples(tmp_path, method, expected):
    def add(w):
        c = w.add_channel("c", "double", "scalar")
        w.add_timestamped_samples(c, T0 + ints(10, 20, 30), np.array([1.0, 2.0, 4.0]))
        n = w.add_channel("n", "int16", "scalar")
        w.add_timestamped_samples(n, T0 + ints(10, 20, 30), np.array([1, 2, 4], dtype=np.int16))

    dm = write(tmp_path, add)
    frame = dm.to_pandas(raster=T0 + ints(*POINTS), method=method)
    np.testing.assert_array_equal(frame["c"], expected)
    if method != "linear":
        assert frame["n"].dtype == "Int16"
        assert frame["n"].astype("float64").tolist() == pytest.approx(expected, nan_ok=True)
    table = dm.to_arrow(raster=T0 + ints(*POINTS), method=method)
    assert table.column("c").null_count == int(np.isnan(expected).sum())


def unsorted(tmp_path) -> qel.DataManager:
    file = QelFile([channel(0, "u", "double"), channel(1, "v", "double")])
    file.timestamped(0, [30, 10, 20, 10], np.array([3.0, 1.0, 2.0, 1.5]))
    file.timestamped(1, [15], np.array([7.0]))
    return qel.load(file.write(tmp_path / "unsorted.qel"))


def test_unsorted_timestamps_are_sorted_stably(tmp_path):
    dm = unsorted(tmp_path)
    series = dm.channel("u").to_pandas(time="ns")
    assert (series.index.tolist(), series.tolist()) == ([10, 10, 20, 30], [1.0, 1.5, 2.0, 3.0])
    frame = dm.to_pandas(union=True, time="ns")
    assert frame.index.tolist() == [10, 15, 20, 30]
    np.testing.assert_array_equal(frame["u"], [1.5, NAN, 2.0, 3.0])  # the last sample at 10
    np.testing.assert_array_equal(frame["v"], [NAN, 7.0, NAN, NAN])
    resampled = dm.to_pandas(raster=ints(10, 15, 30), time="ns")
    np.testing.assert_array_equal(resampled["u"], [1.5, 1.5, 3.0])
    long = dm.to_pandas(layout="long", time="ns")
    assert long["time"].tolist() == [10, 10, 15, 20, 30]
    assert long["value"].tolist() == [1.0, 1.5, 7.0, 2.0, 3.0]


def test_union_is_every_timestamp_once(dm):
    frame = dm.to_pandas(["gear", "event"], union=True, time="ns")
    gear, event = dm.channel("gear").timestamps_ns(), dm.channel("event").timestamps_ns()
    np.testing.assert_array_equal(frame.index, np.union1d(gear, event))
    assert frame["gear"].isna().sum() == 2 and frame["event"].notna().sum() == 3  # one shared


def test_the_long_layout_is_the_same_whatever_the_channels(tmp_path, dm):
    other = write(tmp_path, lambda w: w.add_channel("x", "uint8", "scalar"), "other.qel")
    frame, table = dm.to_pandas(layout="long"), dm.to_arrow(layout="long")
    assert len(frame) == 2000 * 2 + 20 + 3 + 2 * 3
    assert list(frame["channel"].cat.categories) == [
        "volts", "amps", "gear", "event", "pos.latitude", "pos.longitude", "pos.altitude", "none"
    ]  # fmt: skip
    assert frame.loc[frame["channel"] == "event", "text"].tolist() == ["go", "", "stop"]
    assert list(map(str, frame.dtypes)) == list(map(str, other.to_pandas(layout="long").dtypes))
    assert table.schema.remove_metadata() == other.to_arrow(layout="long").schema.remove_metadata()
    assert table.column("value").null_count == 3  # the strings' rows


@pytest.mark.parametrize(
    ("time", "unit", "dtype", "arrow_type", "first"),
    [
        ("datetime", "ns", "datetime64[ns, UTC]", pa.timestamp("ns", "UTC"), T0 + 1),
        ("datetime", "us", "datetime64[us, UTC]", pa.timestamp("us", "UTC"), (T0 + 1) // 1000),
        ("timedelta", "ms", "timedelta64[ms]", pa.duration("ms"), 0),
        ("ns", "ns", "int64", pa.int64(), T0 + 1),
    ],
)
def test_time_axes(tmp_path, time, unit, dtype, arrow_type, first):
    def add(w):
        c = w.add_channel("c", "double", "scalar")
        w.add_timestamped_samples(c, T0 + ints(1, 5 * MS + 1), np.array([1.0, 2.0]))

    dm = write(tmp_path, add)
    frame = dm.to_pandas(time=time, unit=unit)
    assert frame.index.dtype == dtype
    assert (frame.index.to_numpy() if time == "ns" else frame.index.asi8)[0] == first
    assert dm.to_arrow(time=time, unit=unit).schema.field("time").type == arrow_type


@pytest.mark.parametrize(
    ("times", "kwargs", "text"),
    [
        ([-(2**63), 0], {}, "timestamp -9223372036854775808 ns cannot be shown as a datetime"),
        ([-(2**63), 2**63 - 1], {"time": "timedelta"}, "the times span 18446744073709551615 ns"),
    ],
)
def test_times_out_of_range_raise(tmp_path, times, kwargs, text):
    def add(w):
        c = w.add_channel("c", "double", "scalar")
        w.add_timestamped_samples(c, ints(*times), np.zeros(2))

    dm = write(tmp_path, add)
    with pytest.raises(ValueError, match=text):
        dm.to_pandas(**kwargs)
    assert dm.to_pandas(time="ns").index.tolist() == times


def every_numeric_type(w: qel.WriterBuilder) -> None:
    for name, dtype in NUMERIC.items():
        c = w.add_channel(name, name, "scalar")
        w.add_timestamped_samples(c, ints(0, 10), np.array([1, 0], dtype=dtype))
    b = w.add_channel("blob", "binary", "scalar")
    w.add_binary_samples(b, ints(0, 10), [b"\x00", b""])


def test_arrow_columns_have_the_natural_types(tmp_path):
    dm = write(tmp_path, every_numeric_type)
    table = dm.to_arrow()
    for name, dtype in NUMERIC.items():
        assert table.schema.field(name).type == pa.from_numpy_dtype(dtype)
        np.testing.assert_array_equal(table.column(name).to_numpy(), [1, 0])
    assert table.column("blob").to_pylist() == [b"\x00", b""]
    frame = dm.to_pandas(raster=ints(-5, 5))
    assert [str(frame[n].dtype) for n in ("bool", "uint64", "float")] == [
        "boolean", "UInt64", "float32"
    ]  # fmt: skip
    assert frame["uint64"].isna().tolist() == [True, False]


def test_parquet_reads_back_as_the_table(tmp_path, dm):
    path = tmp_path / "out.parquet"
    dm.to_parquet(path, raster="10ms", method="nearest")
    table = pq.read_table(path)
    assert table.equals(dm.to_arrow(raster="10ms", method="nearest"), check_metadata=True)
    assert pq.ParquetFile(path).metadata.row_group(0).column(1).compression == "ZSTD"


@pytest.mark.parametrize(
    ("kwargs", "exception", "text"),
    [
        ({"raster": "1s", "method": "cubic"}, ValueError, "method must be one of"),
        ({"layout": "tall"}, ValueError, "layout must be 'wide' or 'long'"),
        ({"raster": "1s", "method": "linear"}, ValueError, "channel 'event' holds string"),
        ({"raster": "1s", "union": True}, ValueError, "give either raster= or union=True"),
        ({"raster": "10 parsecs"}, ValueError, "raster '10 parsecs' is neither a channel"),
        ({"raster": 0}, ValueError, "raster period 0 must be between 1 ns"),
        ({"raster": np.array([0.5])}, TypeError, "a raster array must hold int64"),
        ({"raster": True}, TypeError, "raster must be a period"),
        ({"raster": float("nan")}, ValueError, "raster period nan is not a number of seconds"),
        ({"time": "ns", "unit": "us"}, ValueError, "time='ns' gives int64 nanoseconds"),
        ({"unit": "s"}, ValueError, "unit must be one of"),
        ({"names": ["gear", "nope"]}, KeyError, "no channel named 'nope'"),
        ({"names": ["gear", "gear"]}, ValueError, "channel 'gear' is asked for twice"),
    ],
)
def test_bad_arguments(dm, kwargs, exception, text):
    for convert in (dm.to_pandas, dm.to_arrow):
        with pytest.raises(exception, match=text):
            convert(**kwargs)


@pytest.mark.parametrize("layout", ["wide", "long"])
def test_a_gps_part_may_not_take_a_channels_name(tmp_path, layout):
    def add(w):
        pos = w.add_channel("pos", "gpslocation", "scalar")
        w.add_gps_samples(pos, ints(0), np.zeros((1, 3)))
        latitude = w.add_channel("pos.latitude", "double", "scalar")
        w.add_timestamped_samples(latitude, ints(0), np.zeros(1))

    dm = write(tmp_path, add)
    with pytest.raises(ValueError, match="would be named 'pos.latitude'"):
        dm.to_pandas(layout=layout)
    assert dm.to_arrow().column_names == ["time", "pos", "pos.latitude"]


def test_channel_series(dm):
    volts, event, pos = (dm.channel(n).to_pandas() for n in ("volts", "event", "pos"))
    assert volts.name == "volts" and volts.attrs == {"unit": "V", "display_name": "U"}
    assert event.dtype == object and event.tolist() == ["go", "", "stop"]
    assert list(pos.columns) == ["latitude", "longitude", "altitude"]
    assert pos.index[1] == pd.Timestamp(T0 + S, unit="ns", tz="UTC")
    assert dm.channel("gear").to_pandas(time="timedelta").index[1] == pd.Timedelta(100, "ms")
    assert dm.channel("gear").to_pandas(time="ns").index[1] == T0 + 100 * MS
    empty = dm.channel("none").to_pandas()
    assert (len(empty), empty.index.dtype) == (0, "datetime64[ns, UTC]")


@pytest.mark.parametrize(
    ("missing", "call", "extra"),
    [
        ("pandas", lambda dm: dm.to_pandas(["volts"]), "qel[pandas]"),
        ("pandas", lambda dm: dm.channel("volts").to_pandas(), "qel[pandas]"),
        ("pyarrow", lambda dm: dm.to_arrow(["volts"]), "qel[arrow]"),
        ("pyarrow.parquet", lambda dm: dm.to_parquet("x.parquet", ["volts"]), "qel[arrow]"),
    ],
)
def test_a_missing_library_names_the_extra(dm, monkeypatch, missing, call, extra):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError, match=extra.replace("[", r"\[")):
        call(dm)


def test_arrow_needs_no_pandas(dm, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    assert dm.to_arrow(raster="500ms").num_rows == 4


@pytest.mark.parametrize(
    "convert",
    [
        lambda src, _: src.time_bases(["volts", "gear", "event"]),
        lambda src, _: src.to_pandas(["volts", "amps"]),
        lambda src, _: src.to_pandas(raster="100ms", method="nearest", layout="long"),
        lambda src, _: src.to_arrow(["gear", "pos"], union=True, time="timedelta"),
        lambda src, path: (src.to_parquet(path, raster="gear"), pq.read_table(path))[1],
    ],
    ids=["time_bases", "wide", "long", "arrow", "parquet"],
)
def test_an_opened_file_converts_as_the_loaded_one(tmp_path, dm, convert):
    with qel.open(tmp_path / "f.qel") as f:
        got = convert(f, tmp_path / "file.parquet")
    want = convert(dm, tmp_path / "loaded.parquet")
    if isinstance(want, pd.DataFrame):
        pd.testing.assert_frame_equal(got, want)
        assert got.attrs == want.attrs
    elif isinstance(want, pa.Table):
        assert got.equals(want, check_metadata=True)
    else:
        assert got == want


def test_an_opened_file_reads_only_the_channels_asked_for(tmp_path):
    """The second channel's string is not UTF-8: the load fails, a conversion of the first
    channel alone never reads it."""
    file = QelFile([channel(0, "good", "double"), channel(1, "bad", "string")])
    file.start_data(0, T0, 1000.0, np.arange(3.0)).message(1, T0, b"\xff\xfe")
    path = file.write(tmp_path / "f.qel")
    with pytest.raises(qel.QelError):
        qel.load(path)
    with qel.open(path) as f:
        assert f.to_pandas("good")["good"].tolist() == [0.0, 1.0, 2.0]
        assert f.time_bases(["good"]) == [["good"]]
        with pytest.raises(qel.QelError):
            f.to_arrow()
