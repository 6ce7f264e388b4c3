"""qel.StreamWriter in a child process: killed while it writes, every flushed
sample loads and nothing is corrupt; writing 4 GiB keeps memory flat."""

import random
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import qel
from qel_files import split_frames

# Calls of random sizes on three channels; the values follow from each
# channel's sample count, so the parent knows them without the child's random
# numbers. After each flush the child reports its counts on stdout.
RECORDER = """
import sys
import numpy as np
import qel

path, seed, integrity = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = np.random.default_rng(seed)
channels = [("eq", "double", "scalar"), ("ts", "int16", "scalar"), ("s", "string", "scalar")]
writer = qel.StreamWriter(path, channels, integrity=integrity)
counts = [0, 0, 0]
print(*counts, flush=True)
for step in range(100000):
    n = int(rng.choice([1000, 1000, 7, 100000]))
    values = np.arange(counts[0], counts[0] + n, dtype=np.float64)
    writer.add_equidistant_segment(0, counts[0] * 1000, 1e6, values)
    counts[0] += n
    n = int(rng.integers(1, 3000))
    times = np.arange(counts[1], counts[1] + n, dtype=np.int64)
    writer.add_timestamped_samples(1, times, (times % 30000).astype(np.int16))
    counts[1] += n
    n = int(rng.integers(0, 5))
    texts = [str(i) for i in range(counts[2], counts[2] + n)]
    writer.add_string_samples(2, np.arange(counts[2], counts[2] + n, dtype=np.int64), texts)
    counts[2] += n
    if rng.integers(0, 3) == 0:
        writer.flush()
        print(*counts, flush=True)
sys.stdin.read()
"""


def child(script, *args, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", script, *map(str, args)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        **kwargs,
    )


# (seed, reports before the kill): 0 kills right after the file was created.
KILLS = [(0, 0)] + [(seed, random.Random(seed).randint(1, 40)) for seed in range(1, 6)]


@pytest.mark.parametrize("integrity", ["none", "crc32c"])
@pytest.mark.parametrize(("seed", "reports"), KILLS)
def test_killed_child_leaves_every_flushed_sample(tmp_path, integrity, seed, reports):
    path = tmp_path / "killed.qel"
    recorder = child(RECORDER, path, seed, integrity)
    for _ in range(reports + 1):
        flushed = [int(count) for count in recorder.stdout.readline().split()]
    recorder.kill()
    recorder.communicate()
    assert recorder.returncode == -signal.SIGKILL

    loaded = qel.load(str(path))
    stats = loaded.stats
    written = split_frames(path.read_bytes(), crc=integrity == "crc32c")
    assert (stats.blocks_crc_failed, stats.blocks_read) == (0, len(written.frames))
    assert stats.blocks_truncated == int(written.cut)
    eq, ts, texts = loaded["eq"], loaded["ts"], loaded["s"].samples()
    assert len(eq) >= flushed[0] and len(ts) >= flushed[1] and len(texts) >= flushed[2]
    assert np.array_equal(eq.samples(), np.arange(len(eq), dtype=np.float64))
    if len(eq):
        assert [(s.start_timestamp_ns, s.sample_count) for s in eq.segments] == [(0, len(eq))]
    assert np.array_equal(ts.timestamps_ns(), np.arange(len(ts)))
    assert np.array_equal(ts.samples(), (np.arange(len(ts)) % 30000).astype(np.int16))
    assert texts == [str(i) for i in range(len(texts))]


# Under a file-size limit: the write that passes it fails, and so does every
# later call, with the same cause.
LIMITED = """
import resource, signal, sys
import numpy as np
import qel

signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
writer = qel.StreamWriter(sys.argv[1], [("a", "double", "scalar")])
written = 0
try:
    while True:
        writer.add_equidistant_segment(0, written * 1000, 1e6, np.arange(written, written + 1000.0))
        written += 1000
except qel.QelError as error:
    print(written, error, sep="|")
for call in (writer.flush, writer.sync):
    try:
        call()
    except qel.QelError as error:
        print(error)
writer.close()
"""


def test_a_failed_write_stops_the_writer_and_the_file_still_loads(tmp_path):
    path = tmp_path / "limited.qel"
    limited = child(LIMITED, path)
    output, _ = limited.communicate()
    assert limited.returncode == 0
    first, *later = output.splitlines()
    written, error = first.split("|")
    assert error == "I/O error: File too large (os error 27)"
    stopped = f"I/O error: stream writer stopped after a failed write ({error})"
    assert later == [stopped, stopped]
    loaded = qel.load(str(path))
    samples = loaded["a"].samples()
    assert 0 < len(samples) <= int(written)
    assert np.array_equal(samples, np.arange(len(samples), dtype=np.float64))


# 4 GiB of doubles in calls of 1000 samples, to a file removed as soon as it
# exists (or to /dev/null where the disk has no room for it); the child
# reports how far its peak resident set grew after the first call.
STREAMER = """
import os, resource, sys
import numpy as np
import qel

path = sys.argv[1]
values = np.zeros(1000)
times = np.arange(10, dtype=np.int64)
with qel.StreamWriter(path, [("a", "double", "scalar"), ("b", "int32", "scalar")],
                      overwrite=True) as writer:
    if path != os.devnull:
        os.unlink(path)
    writer.add_equidistant_segment(0, 0, 1e6, values)
    writer.flush()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for call in range(1, (4 << 30) // values.nbytes):
        writer.add_equidistant_segment(0, call * 1_000_000, 1e6, values)
        if call % 64 == 0:
            writer.add_timestamped_samples(1, times, times.astype(np.int32))
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, flush=True)
"""


def test_memory_stays_flat_while_writing_4_gib(tmp_path):
    room = shutil.disk_usage(tmp_path).free > (6 << 30)
    path = tmp_path / "big.qel" if room else Path("/dev/null")
    streamer = child(STREAMER, path)
    output, _ = streamer.communicate()
    assert streamer.returncode == 0
    grown_kib = int(output)
    assert grown_kib < 16 << 10, f"peak RSS grew by {grown_kib} KiB"
