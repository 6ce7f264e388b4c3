import itertools
import threading
import time
import zlib

import numpy as np
import qel
from qel_files import QelFile, channel

THREADS = 4
SAMPLES = 1_500_000


def expected(i: int) -> np.ndarray:
    return np.arange(SAMPLES, dtype=np.float64) * (i + 1)


def test_threads_load_concurrently_with_independent_results(tmp_path):
    # Compressed files, so that each load takes a while.
    paths = []
    for i in range(THREADS):
        path = tmp_path / f"{i}.qel"
        file = QelFile([channel(0, "c", "double", 4)]).start_data(0, i, 10.0, expected(i))
        path.write_bytes(zlib.compress(file.to_bytes(), 1))
        paths.append(str(path))
    intervals: dict[int, tuple[float, float]] = {}
    results: dict[int, np.ndarray] = {}
    ready = threading.Barrier(THREADS)

    def work(i: int) -> None:
        ready.wait()
        start = time.perf_counter()
        manager = qel.load(paths[i])
        intervals[i] = (start, time.perf_counter())
        results[i] = manager.channel("c").samples()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    ticks = []
    while any(thread.is_alive() for thread in threads):
        ticks.append(time.perf_counter())
        time.sleep(0.001)

    for i in range(THREADS):
        np.testing.assert_array_equal(results[i], expected(i))
    # On a busy machine the scheduler may still run some loads one after the
    # other; with the lock released, at least two of them overlap.
    spans = list(intervals.values())
    assert any(a[0] < b[1] and b[0] < a[1] for a, b in itertools.combinations(spans, 2)), (
        "the loads ran one after the other"
    )
    # This thread kept running in the middle of every load: the lock was released.
    for start, end in intervals.values():
        quarter = (end - start) / 4
        assert any(start + quarter < tick < end - quarter for tick in ticks)
