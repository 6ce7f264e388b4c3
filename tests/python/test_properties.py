"""Random channel sets: write then load returns what was written, and load,
save, load changes nothing. Random call sequences: a refused call changes
nothing."""

from dataclasses import dataclass, field

import numpy as np
import qel
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from property_runs import examples
from qel_files import NUMERIC

INT64 = st.integers(-(2**63), 2**63 - 1)
# A string or binary sample above 65535 bytes makes the writer widen a 2-byte
# length field.
LONG = 70_000
VARIABLE = {
    "string": st.text() | st.sampled_from(["é", "x", "\0"]).map(lambda s: s * LONG),
    "binary": st.binary() | st.binary(max_size=3).map(lambda b: b * LONG),
}
METHODS = {
    "string": "add_string_samples",
    "binary": "add_binary_samples",
    "gpslocation": "add_gps_samples",
}


def values_of(data_type, n):
    if data_type in VARIABLE:
        return st.lists(VARIABLE[data_type], min_size=n, max_size=n)
    if data_type == "gpslocation":
        return hnp.arrays(np.float64, (n, 3))
    return hnp.arrays(NUMERIC[data_type], n)


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


@st.composite
def channel_plans(draw, name):
    data_type = draw(st.sampled_from([*NUMERIC, *METHODS]))
    plan = ChannelPlan(name, data_type, draw(st.sampled_from([2, 4])), draw(st.none() | st.text()))
    equidistant = data_type in ("float", "double") and draw(st.booleans())
    for _ in range(draw(st.integers(0, 3))):
        n = draw(st.integers(0, 5))
        values = draw(values_of(data_type, n))
        if equidistant:
            start, rate = draw(INT64), draw(st.floats(min_value=0, exclude_min=True))
            plan.calls.append(("add_equidistant_segment", start, rate, values))
            plan.segments.append((start, rate, n))
        else:
            times = draw(hnp.arrays(np.int64, n, elements=INT64))
            plan.calls.append((METHODS.get(data_type, "add_timestamped_samples"), times, values))
            plan.timestamps.extend(times.tolist())
        plan.samples.extend(values)
    return plan


channel_sets = st.lists(st.text(max_size=8), min_size=1, max_size=5).flatmap(
    lambda names: st.tuples(*(channel_plans(name) for name in names))
)


def exact(values):
    """Bytes of a numeric array, so that NaN payloads and -0.0 count."""
    return (values.dtype.str, values.shape, values.tobytes())


def expected_samples(plan):
    if plan.data_type in VARIABLE:
        return plan.samples
    if plan.data_type == "gpslocation":
        return exact(np.array(plan.samples, dtype=np.float64).reshape(-1, 3))
    return exact(np.array(plan.samples, dtype=NUMERIC[plan.data_type]))


def loaded_samples(channel):
    samples = channel.samples()
    return samples if isinstance(samples, list) else exact(samples)


def segments(channel):
    return [(s.start_timestamp_ns, s.sample_rate_hz, s.sample_count) for s in channel.segments]


def snapshot(manager):
    return [
        (c.name, c.data_type, c.physical_unit, loaded_samples(c), c.timestamps_ns().tolist())
        + (segments(c),)
        for c in manager.channels
    ]


@settings(
    max_examples=examples(40),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(plans=channel_sets, integrity=st.sampled_from(["none", "crc32c"]))
def test_write_load_save_load(tmp_path, plans, integrity):
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
    path = str(tmp_path / "written.qel")
    builder.write_to_file(path)
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
        assert segments(channel) == plan.segments
        if not plan.segments:
            assert channel.timestamps_ns().tolist() == plan.timestamps

    saved = str(tmp_path / "saved.qel")
    qel.save(loaded, saved, integrity=integrity)
    assert snapshot(qel.load(saved)) == snapshot(loaded)


# Arguments of every kind, right and wrong, for the writer's methods.
any_int = st.integers(-3, 5) | st.sampled_from([2**16, 2**63, -(2**64)])


@st.composite
def any_array(draw):
    dtype = draw(st.sampled_from([*NUMERIC.values(), np.float16, ">i8", "<U2", object]))
    shape = draw(st.sampled_from([(0,), (2,), (3,), (2, 3), ()]))
    array = np.zeros(shape, dtype=dtype) if dtype != "<U2" else np.full(shape, "ab")
    if draw(st.booleans()) and array.ndim == 1:
        array = np.zeros(len(array) * 2, dtype=array.dtype)[::2]  # not contiguous
    return array


values = (
    any_array()
    | st.lists(st.text() | st.binary() | st.integers(-1, 300) | st.none(), max_size=3)
    | st.text()
    | st.none()
)
channel_call = st.tuples(
    st.just("add_channel"),
    st.text(max_size=3),
    st.sampled_from([*NUMERIC, *METHODS, "bytearray"]),
    st.sampled_from(["scalar", "tensor"]),
)
segment_call = st.tuples(
    st.just("add_equidistant_segment"), any_int, any_int, st.floats() | any_int, values
)
timestamped_call = st.tuples(
    st.sampled_from(["add_timestamped_samples", *METHODS.values()]),
    any_int,
    hnp.arrays(np.int64, st.integers(0, 3)) | any_array() | st.lists(st.integers(), max_size=2),
    values,
)
calls = st.one_of(channel_call, segment_call, timestamped_call)
# Drawn directly rather than filtered out of `calls`: a filter that rejects a third of the
# draws fails Hypothesis's health check when the run tries few examples.
sample_calls = st.one_of(segment_call, timestamped_call)


@settings(max_examples=examples(60), deadline=None)
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
    paths = [str(directory / name) for name in ("hostile.qel", "replay.qel")]
    hostile.write_to_file(paths[0])
    replay.write_to_file(paths[1])
    assert snapshot(qel.load(paths[0])) == snapshot(qel.load(paths[1]))
