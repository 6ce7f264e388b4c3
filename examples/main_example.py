"""Main example: writes a QEL file with every kind of channel, reads it back, saves it again.

    python examples/main_example.py [FILE ...]

Without arguments the example works in a temporary directory. With arguments it
prints the channels and read statistics of each given file instead.
"""

import sys
import tempfile
from pathlib import Path

import numpy as np
import qel

SECOND = 1_000_000_000


def build(path: Path) -> None:
    """Writes one channel of every kind, with CRC32C integrity data."""
    w = qel.WriterBuilder().creator("qel main example").tag("demo").with_integrity("crc32c")
    w.location(48.137, 11.575, 519.0)

    t = np.arange(1000) / 1000.0
    vibration = w.add_channel("engine.vibration", "float", "scalar", physical_unit="g")
    w.add_equidistant_segment(vibration, 0, 1000.0, np.sin(2 * np.pi * 50 * t).astype(np.float32))
    w.add_equidistant_segment(vibration, 5 * SECOND, 500.0, np.zeros(250, dtype=np.float32))
    pressure = w.add_channel("engine.pressure", "double", "scalar", physical_unit="bar")
    w.add_equidistant_segment(pressure, 0, 10.0, 1.0 + 0.01 * np.arange(20.0))

    stamps = np.array([0, 400, 1_700, 2_050], dtype=np.int64) * 1_000_000
    gear = w.add_channel("drive.gear", "uint8", "scalar")
    w.add_timestamped_samples(gear, stamps, np.array([1, 2, 3, 2], dtype=np.uint8))
    temperature = w.add_channel("cabin.temperature", "int16", "scalar", physical_unit="°C")
    w.add_timestamped_samples(temperature, stamps, np.array([21, 22, 22, -3], dtype=np.int16))
    brake = w.add_channel("drive.brake", "bool", "scalar")
    w.add_timestamped_samples(brake, stamps, np.array([False, True, True, False]))
    odometer = w.add_channel("drive.odometer", "uint64", "scalar", physical_unit="m")
    w.add_timestamped_samples(odometer, stamps, np.array([10, 12, 19, 2**40], dtype=np.uint64))

    gps = w.add_channel("position", "gpslocation", "vector", display_name="Vehicle position")
    track = np.array([[48.1370, 11.5750, 519.0], [48.1372, 11.5755, 519.4]])
    w.add_gps_samples(gps, stamps[:2], track)
    log = w.add_channel("driver.notes", "string", "scalar")
    w.add_string_samples(log, stamps[:3], ["Start", "Überholvorgang — links", "到着"])
    frames = w.add_channel("camera.frames", "binary", "binary", mime_type="image/jpeg")
    w.add_binary_samples(frames, stamps[:2], [b"\xff\xd8\xff\xe0 frame 1", b"\xff\xd8\xff\xe0 f2"])

    w.write_to_file(str(path))


def show(manager: qel.DataManager) -> None:
    print(manager)
    for channel in manager.channels:
        print(f"  {channel!r}")
        samples = channel.samples()
        assert samples is not None, "every channel of a written file has samples"
        unit = f" [{channel.physical_unit}]" if channel.physical_unit else ""
        print(f"    first samples{unit}: {samples[:3]!r}")
        print(f"    timestamps_ns: {channel.timestamps_ns()[:3]!r}")
        for segment in channel.segments:
            print(f"    {segment!r}")
    print(manager.stats)


def main(paths: list[str]) -> None:
    print(f"qel {qel.__version__}")
    if paths:
        for path in paths:
            print(f"\n== {path}")
            show(qel.load(path))
        return
    with tempfile.TemporaryDirectory() as directory:
        written, saved = Path(directory) / "example.qel", Path(directory) / "saved.qel"
        build(written)
        print(f"\n== wrote {written.stat().st_size} bytes, loading it back")
        manager = qel.load(str(written))
        show(manager)
        qel.save(manager, str(saved), integrity="crc32c")
        again = qel.load(str(saved))
        same = all(
            np.array_equal(np.asarray(a.samples()), np.asarray(b.samples()))
            for a, b in zip(manager.channels, again.channels, strict=True)
        )
        print(f"== saved again with qel.save: {again!r}, samples identical: {same}")


if __name__ == "__main__":
    main(sys.argv[1:])
