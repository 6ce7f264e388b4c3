# pyright: strict
"""A user's script over the container, array, metadata and table calls. The test command
type-checks it under `mypy --strict` and pyright, and runs it: `python user_script.py DIRECTORY`."""

import inspect
import sys
from pathlib import Path

import numpy as np
import numpy.typing as npt
import qel


def write(path: Path) -> None:
    w = qel.WriterBuilder().creator("typing check")
    speed = w.add_channel("speed", "double", "scalar", comment="front", time_increment_ns=10)
    w.add_channel("log", "string", "scalar")
    w.add_equidistant_segment(speed, 0, 100.0, np.arange(5.0))
    w.write_to_file(str(path))


def record(path: Path) -> None:
    with qel.StreamWriter(
        path,
        [
            ("speed", "double", "scalar"),
            {"name": "log", "data_type": "string", "channel_type": "scalar", "comment": "events"},
        ],
        integrity="crc32c",
        overwrite=True,
    ) as writer:
        writer.add_equidistant_segment(0, 0, 100.0, np.arange(5.0))
        writer.add_string_samples(1, np.array([0], dtype=np.int64), ["start"])
        writer.flush()
    assert writer.closed


def mean_of_numeric(dm: qel.DataManager) -> dict[str, float]:
    means: dict[str, float] = {}
    for ch in dm:
        if ch.data_type in ("string", "binary"):
            continue
        samples: npt.NDArray[np.float64] = np.asarray(ch, dtype=np.float64)
        means[ch.name] = float(np.mean(ch.numeric_samples()))
        assert len(ch) == len(samples)
    return means


def read_lazily(path: Path) -> None:
    with qel.open(path) as f:
        creator: str | None = f.file_info.get("creator")
        assert creator == "typing check" and f.names == ["speed", "log"] and not f.truncated
        window: npt.NDArray[np.int64] = f.timestamps_ns("speed", start_ns=10_000_000)
        first = f.samples("speed", stop_ns=20_000_000)
        assert len(window) == 4 and isinstance(first, np.ndarray) and list(first) == [0, 1]
        pieces = [len(times) for times, _ in f.iter_chunks("speed", max_samples=2)]
        assert pieces == [2, 2, 1] and f.read(["log"]).names == ["log"]
        assert f.to_pandas("speed").shape == (5, 1)
    assert f.closed


def main(folder: Path) -> None:
    path = folder / "typing.qel"
    write(path)
    dm = qel.load(str(path))
    assert dm.names == ["speed", "log"] and "speed" in dm and "nope" not in dm
    speed = dm["speed"]
    comment: str | None = speed.metadata.get("comment")
    increment: int = speed.metadata.get("time_increment_ns", 0)
    width: int = speed.metadata["size_of_length_value"]
    assert (comment, increment, width) == ("front", 10, 2)
    assert mean_of_numeric(dm) == {"speed": 2.0}
    try:
        dm["log"].numeric_samples()
        raise AssertionError("strings have no array form")
    except TypeError as error:
        assert "samples()" in str(error)
    assert list(inspect.signature(qel.WriterBuilder).parameters) == []
    frame = dm.to_pandas(["speed"], raster="20ms", method="linear", unit="us")
    assert len(frame) == 3 and dm.time_bases() == [["speed"], ["log"]]
    table = dm.to_arrow("speed", time="timedelta")
    assert table.num_rows == 5
    dm.to_parquet(folder / "typing.parquet", ["speed"], compression="snappy", layout="long")
    assert len(speed.to_pandas(time="ns")) == 5
    read_lazily(path)
    record(path)
    assert qel.load(str(path))["log"].samples() == ["start"]
    print("user script: ok")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
