"""Random channel sets: write then load returns what was written, and load,
save, load changes nothing."""

from dataclasses import dataclass, field

import numpy as np
import qel
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from qel_files import NUMERIC

EQUIDISTANT = {"float": np.float32, "double": np.float64}

# A string or binary sample above 65535 bytes makes the writer widen a 2-byte
# length field.
LONG = 70_000


@dataclass
class ChannelPlan:
    """One channel: its declaration, the add_* calls and what loading must give."""

    name: str
    data_type: str
    width: int
    unit: str | None
    calls: list = field(default_factory=list)
    segments: list = field(default_factory=list)
    samples: list = field(default_factory=list)
    timestamps: list = field(default_factory=list)


timestamps_of = st.integers(0, 5).flatmap(
    lambda n: hnp.arrays(np.int64, n, elements=st.integers(-(2**63), 2**63 - 1))
)


@st.composite
def timestamped_batches(draw, dtype, rows=None):
    batches = []
    for _ in range(draw(st.integers(0, 3))):
        times = draw(timestamps_of)
        shape = (len(times),) if rows is None else (len(times), rows)
        batches.append((times, draw(hnp.arrays(dtype, shape))))
    return batches


@st.composite
def equidistant_segments(draw, dtype):
    rates = st.floats(min_value=0, exclude_min=True, allow_infinity=True)
    return [
        (
            draw(st.integers(-(2**63), 2**63 - 1)),
            draw(rates),
            draw(hnp.arrays(dtype, st.integers(0, 6))),
        )
        for _ in range(draw(st.integers(0, 3)))
    ]


long_text = st.sampled_from(["é", "x", "\0"]).map(lambda s: s * LONG)
texts = st.one_of(st.text(), st.just(""), long_text)
blobs = st.one_of(st.binary(), st.just(b""), st.binary(max_size=3).map(lambda b: b * LONG))


@st.composite
def variable_batches(draw, values):
    batches = []
    for _ in range(draw(st.integers(0, 2))):
        times = draw(timestamps_of)
        batches.append((times, [draw(values) for _ in times]))
    return batches


@st.composite
def channel_specs(draw, name):
    kind = draw(st.sampled_from(["timestamped", "equidistant", "gps", "string", "binary"]))
    width = draw(st.sampled_from([2, 4]))
    unit = draw(st.none() | st.text())
    if kind == "timestamped":
        data_type = draw(st.sampled_from(sorted(NUMERIC)))
        plan = ChannelPlan(name, data_type, width, unit)
        for times, values in draw(timestamped_batches(NUMERIC[data_type])):
            plan.calls.append(("add_timestamped_samples", times, values))
            plan.samples.extend(values)
            plan.timestamps.extend(times.tolist())
    elif kind == "equidistant":
        data_type = draw(st.sampled_from(sorted(EQUIDISTANT)))
        plan = ChannelPlan(name, data_type, width, unit)
        for start, rate, values in draw(equidistant_segments(EQUIDISTANT[data_type])):
            plan.calls.append(("add_equidistant_segment", start, rate, values))
            plan.segments.append((start, rate, len(values)))
            plan.samples.extend(values)
    elif kind == "gps":
        plan = ChannelPlan(name, "gpslocation", width, unit)
        for times, rows in draw(timestamped_batches(np.float64, rows=3)):
            plan.calls.append(("add_gps_samples", times, rows))
            plan.samples.extend(rows)
            plan.timestamps.extend(times.tolist())
    else:
        plan = ChannelPlan(name, kind, width, unit)
        method = "add_string_samples" if kind == "string" else "add_binary_samples"
        for times, values in draw(variable_batches(texts if kind == "string" else blobs)):
            plan.calls.append((method, times, values))
            plan.samples.extend(values)
            plan.timestamps.extend(times.tolist())
    return plan


channel_sets = st.lists(st.text(max_size=8), min_size=1, max_size=5).flatmap(
    lambda names: st.tuples(*(channel_specs(name) for name in names))
)


def write(plans, integrity, path):
    builder = qel.WriterBuilder().with_integrity(integrity)
    for plan in plans:
        index = builder.add_channel(
            plan.name,
            plan.data_type,
            "scalar",
            physical_unit=plan.unit,
            size_of_length_value=plan.width,
        )
        for method, *args in plan.calls:
            getattr(builder, method)(index, *args)
    builder.write_to_file(path)


def exact(values):
    """Bytes of a numeric array, so that NaN payloads and -0.0 count."""
    return (values.dtype.str, values.shape, values.tobytes())


def expected_samples(plan):
    if plan.data_type in ("string", "binary"):
        return plan.samples
    dtype = np.float64 if plan.data_type == "gpslocation" else NUMERIC[plan.data_type]
    shape = (len(plan.samples), 3) if plan.data_type == "gpslocation" else (len(plan.samples),)
    return exact(np.array(plan.samples, dtype=dtype).reshape(shape))


def loaded_samples(channel):
    samples = channel.samples()
    return samples if isinstance(samples, list) else exact(samples)


def snapshot(manager):
    return [
        (
            c.name,
            c.data_type,
            c.physical_unit,
            loaded_samples(c),
            c.timestamps_ns().tolist(),
            [(s.start_timestamp_ns, s.sample_rate_hz, s.sample_count) for s in c.segments],
        )
        for c in manager.channels
    ]


@settings(
    max_examples=40,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(plans=channel_sets, integrity=st.sampled_from(["none", "crc32c"]))
def test_write_load_save_load(tmp_path, plans, integrity):
    path = str(tmp_path / "written.qel")
    write(plans, integrity, path)
    loaded = qel.load(path)
    assert loaded.stats.verification_status == ("crc_valid" if integrity == "crc32c" else "none")
    assert (loaded.stats.blocks_truncated, loaded.stats.blocks_crc_failed) == (0, 0)
    assert len(loaded) == len(plans)
    for plan, channel in zip(plans, loaded.channels, strict=True):
        assert (channel.name, channel.data_type, channel.physical_unit) == (
            plan.name,
            plan.data_type,
            plan.unit,
        )
        assert loaded_samples(channel) == expected_samples(plan)
        segments = [
            (s.start_timestamp_ns, s.sample_rate_hz, s.sample_count) for s in channel.segments
        ]
        assert segments == plan.segments
        if not plan.segments:
            assert channel.timestamps_ns().tolist() == plan.timestamps

    saved = str(tmp_path / "saved.qel")
    qel.save(loaded, saved, integrity=integrity)
    assert snapshot(qel.load(saved)) == snapshot(loaded)


# Arguments of every kind, right and wrong, for the writer's methods.
any_dtype = st.sampled_from([*NUMERIC.values(), np.float16, np.complex64, ">i8", "<U2", object])
any_int = st.one_of(st.integers(-3, 5), st.sampled_from([2**16, 2**63, -(2**64)]))


@st.composite
def any_array(draw):
    dtype = draw(any_dtype)
    shape = draw(st.sampled_from([(0,), (2,), (3,), (2, 3), (1, 2), ()]))
    array = np.zeros(shape, dtype=dtype) if dtype != "<U2" else np.full(shape, "ab")
    if draw(st.booleans()) and array.ndim == 1:
        array = np.zeros(len(array) * 2, dtype=array.dtype)[::2]  # not contiguous
    return array


timestamp_args = st.one_of(
    hnp.arrays(np.int64, st.integers(0, 3)), any_array(), st.lists(st.integers(), max_size=2)
)
value_args = st.one_of(
    any_array(),
    st.lists(st.one_of(st.text(), st.binary(), st.integers(-1, 300), st.none()), max_size=3),
    st.text(),
    st.none(),
)
calls = st.one_of(
    st.tuples(
        st.just("add_channel"),
        st.text(max_size=3),
        st.sampled_from([*NUMERIC, "string", "binary", "gpslocation", "bytearray", "x"]),
        st.sampled_from(["scalar", "binary", "tensor"]),
    ),
    st.tuples(
        st.just("add_equidistant_segment"),
        any_int,
        any_int,
        st.floats() | any_int,
        value_args,
    ),
    st.tuples(
        st.sampled_from(
            [
                "add_timestamped_samples",
                "add_gps_samples",
                "add_string_samples",
                "add_binary_samples",
            ]
        ),
        any_int,
        timestamp_args,
        value_args,
    ),
)


@settings(max_examples=60, deadline=None)
@given(st.lists(calls, max_size=12))
def test_refused_calls_leave_the_builder_unchanged(tmp_path_factory, sequence):
    """Every call either applies or raises one of the documented exceptions
    without changing anything: replaying only the accepted calls on a fresh
    builder gives the same file content."""
    hostile, replay = qel.WriterBuilder(), qel.WriterBuilder()
    accepted = []
    for method, *args in sequence:
        try:
            getattr(hostile, method)(*args)
        except (TypeError, ValueError, OverflowError, qel.QelError):
            continue
        accepted.append((method, args))
    for method, args in accepted:
        getattr(replay, method)(*args)
    if not any(method == "add_channel" for method, _ in accepted):
        return
    directory = tmp_path_factory.mktemp("calls")
    hostile.write_to_file(str(directory / "hostile.qel"))
    replay.write_to_file(str(directory / "replay.qel"))
    assert snapshot(qel.load(str(directory / "hostile.qel"))) == snapshot(
        qel.load(str(directory / "replay.qel"))
    )
