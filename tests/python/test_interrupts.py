"""Signals reach Python while the library works without the interpreter lock.

Each case runs in a child that says when it calls the library, and whose main thread is
then inside a load or a save: blocked in a system call that the test sees in /proc, or
reading a file with no end in sight. Ctrl-C
(SIGINT) raises KeyboardInterrupt there and the call returns nothing; a handler that does
not raise runs, and the call goes on.
"""

import contextlib
import os
import signal

import numpy as np
import pytest
from children import POLLS, SYSCALLS, blocked_in, bytes_read, finish, start, wait_until
from qel_files import QelFile, channel

pytestmark = pytest.mark.skipif(SYSCALLS is None, reason="system call numbers of this machine")

LOAD = """
import signal, sys, qel
# A child started in the background inherits SIGINT ignored; Python then
# installs no KeyboardInterrupt handler, so the child sets it itself.
signal.signal(signal.SIGINT, signal.default_int_handler)
print("calling", flush=True)
try:
    manager = qel.load(sys.argv[1])
except KeyboardInterrupt:
    print("interrupted")
else:
    print("loaded", manager.channel("c").samples().size)
"""

SAVE = """
import signal, sys, numpy as np, qel
# A child started in the background inherits SIGINT ignored; Python then
# installs no KeyboardInterrupt handler, so the child sets it itself.
signal.signal(signal.SIGINT, signal.default_int_handler)
w = qel.WriterBuilder()
w.add_channel("c", "double", "scalar")
w.add_equidistant_segment(0, 0, 1.0, np.arange(1e6))
print("calling", flush=True)
try:
    w.write_to_file(sys.argv[1])
except KeyboardInterrupt:
    print("interrupted")
else:
    print("written")
"""

# A signal taken by another thread interrupts no system call of the main thread; Python's
# handler then only notes it, and the library has to ask all the same. The thread takes
# SIGINT once the test writes to the FIFO named second.
OTHER_THREAD_LOAD = (
    """
import signal, sys, threading
def take_sigint():
    with open(sys.argv[2], "rb") as go:
        go.read(1)
    signal.pthread_kill(threading.get_ident(), signal.SIGINT)
threading.Thread(target=take_sigint, daemon=True).start()
"""
    + LOAD
)

# The handler's line goes out at once, so that the test can wait for it.
HANDLED_LOAD = (
    """
import signal, sys
signal.signal(signal.SIGUSR1, lambda *_: print("handled", flush=True))
"""
    + LOAD
)

SAMPLES = 100_000


def file_bytes() -> bytes:
    first, *rest = np.array_split(np.arange(float(SAMPLES)), 4)
    file = QelFile([channel(0, "c", "double", 4)]).start_data(0, 0, 1.0, first)
    for values in rest:
        file.continued_data(0, values)
    return file.to_bytes()


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "f.fifo"
    os.mkfifo(path)
    return str(path)


def calling(child) -> None:
    assert child.stdout.readline() == "calling\n"


@contextlib.contextmanager
def waiting_for_the_second_half(child, fifo):
    """Feeds the loading child the first half of a file through `fifo` and waits until it
    is blocked reading the rest; yields the function that feeds the rest."""
    data = file_bytes()
    half = len(data) // 2
    before = bytes_read(child)
    with open(fifo, "wb", buffering=0) as feed:
        feed.write(data[:half])
        wait_until(
            child,
            lambda: (
                bytes_read(child) >= before + half and blocked_in(child, ["read", *POLLS], fifo)
            ),
        )
        yield lambda: feed.write(data[len(data) // 2 :])


def test_ctrl_c_reaches_a_load_waiting_for_a_writer(fifo):
    child = start(LOAD, fifo)
    calling(child)
    wait_until(child, lambda: blocked_in(child, ["openat", *POLLS]))
    child.send_signal(signal.SIGINT)
    assert finish(child) == "interrupted\n"


def test_ctrl_c_reaches_a_load_waiting_for_data(fifo):
    child = start(LOAD, fifo)
    calling(child)
    with waiting_for_the_second_half(child, fifo):
        child.send_signal(signal.SIGINT)
        assert finish(child) == "interrupted\n"


def test_ctrl_c_taken_by_another_thread_reaches_a_load_waiting_for_data(fifo, tmp_path):
    go = tmp_path / "go.fifo"
    os.mkfifo(go)
    child = start(OTHER_THREAD_LOAD, fifo, go)
    calling(child)
    with waiting_for_the_second_half(child, fifo):
        with open(go, "wb") as signal_now:
            signal_now.write(b"!")
        assert finish(child) == "interrupted\n"


def test_a_handler_that_does_not_raise_runs_and_the_load_goes_on(fifo, deadlock_guard):
    child = start(HANDLED_LOAD, fifo)
    calling(child)
    with waiting_for_the_second_half(child, fifo) as feed_the_rest:
        child.send_signal(signal.SIGUSR1)
        assert child.stdout.readline() == "handled\n"
        feed_the_rest()
    assert finish(child) == f"loaded {SAMPLES}\n"


def test_ctrl_c_stops_a_long_load(tmp_path):
    # Zeros after the metablock read as zero-length blocks, 4 bytes each: a sparse
    # file of 64 GiB is a load of many minutes that never waits for the disk.
    path = tmp_path / "zeros.qel"
    path.write_bytes(QelFile([channel(0, "c", "double")]).to_bytes())
    os.truncate(path, 64 << 30)
    child = start(LOAD, path)
    calling(child)
    wait_until(child, lambda: bytes_read(child) > 16 << 20)
    child.send_signal(signal.SIGINT)
    assert finish(child) == "interrupted\n"


@pytest.mark.parametrize("stage", ["open", "write"])
def test_ctrl_c_reaches_a_save_into_a_fifo(fifo, stage):
    child = start(SAVE, fifo)
    calling(child)
    if stage == "open":
        wait_until(child, lambda: blocked_in(child, ["openat", *POLLS]))
        child.send_signal(signal.SIGINT)
        assert finish(child) == "interrupted\n"
        return
    # Opened for reading but never read: the save fills the pipe and waits.
    with open(fifo, "rb", buffering=0):
        wait_until(child, lambda: blocked_in(child, ["write", "writev", *POLLS], fifo))
        child.send_signal(signal.SIGINT)
        assert finish(child) == "interrupted\n"
