"""Loads run without the interpreter lock and side by side.

Each load reads a FIFO that this thread feeds: after half of every file, all loads are inside
the library at once, waiting for the rest, while this thread goes on running Python code.
No clock is involved; a load that kept the lock would stop the feeding thread instead, which
the deadlock guard turns into a failed run rather than a hang.
"""

import contextlib
import os
import threading
import zlib

import numpy as np
import qel
from qel_files import QelFile, channel

THREADS = 4
SAMPLES = 400_000
BLOCKS = 8


def expected(i: int) -> np.ndarray:
    return np.arange(SAMPLES, dtype=np.float64) * (i + 1)


def file_bytes(i: int) -> bytes:
    """Several blocks, so that half of the file ends inside the block area; every second
    file compressed, so that half of the loads wait inside the decompressor."""
    first, *rest = np.array_split(expected(i), BLOCKS)
    file = QelFile([channel(0, "c", "double", 4)]).start_data(0, i, 10.0, first)
    for values in rest:
        file.continued_data(0, values)
    data = file.to_bytes()
    return zlib.compress(data, 1) if i % 2 else data


def test_threads_load_side_by_side_without_the_lock(tmp_path, deadlock_guard):
    contents = [file_bytes(i) for i in range(THREADS)]
    fifos = []
    for i in range(THREADS):
        os.mkfifo(tmp_path / f"{i}.fifo")
        fifos.append(str(tmp_path / f"{i}.fifo"))
    results: dict[int, np.ndarray] = {}

    def work(i: int) -> None:
        results[i] = qel.load(fifos[i]).channel("c").samples()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    # Each open returns once its load has opened the FIFO for reading.
    feeds = [open(path, "wb", buffering=0) for path in fifos]
    try:
        for feed, content in zip(feeds, contents, strict=True):
            feed.write(content[: len(content) // 2])
        # Every load has read into its file and cannot end before the rest comes.
        assert all(thread.is_alive() for thread in threads)
        assert not results
    finally:
        for feed, content in zip(feeds, contents, strict=True):
            with contextlib.suppress(BrokenPipeError), feed:
                feed.write(content[len(content) // 2 :])
    for thread in threads:
        thread.join()
    for i in range(THREADS):
        np.testing.assert_array_equal(results[i], expected(i))
