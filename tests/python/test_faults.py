"""Faults of the operating system and odd files: every one ends in one clean QelError."""

import gzip
import os
import threading

import numpy as np
import pytest
import qel

NOBODY = 65534


def builder(samples=100_000):
    w = qel.WriterBuilder()
    w.add_channel("a", "double", "scalar")
    w.add_equidistant_segment(0, 0, 1.0, np.arange(float(samples)))
    return w


def written(tmp_path, samples=100_000):
    path = str(tmp_path / "source.qel")
    builder(samples).write_to_file(path)
    return path


# Small files stay in the write buffer until the close, large ones fail on the
# way; both must report the failure.
@pytest.mark.parametrize("samples", [1, 100_000])
def test_full_device(tmp_path, samples):
    with pytest.raises(qel.QelError, match=r"^I/O error: No space left on device \(os error 28\)$"):
        builder(samples).write_to_file("/dev/full")
    manager = qel.load(written(tmp_path, samples))
    with pytest.raises(qel.QelError, match=r"^I/O error: No space left on device \(os error 28\)$"):
        qel.save(manager, "/dev/full")


@pytest.mark.parametrize(
    ("target", "error"),
    [
        ("missing/x.qel", r"No such file or directory \(os error 2\)"),
        ("file/x.qel", r"Not a directory \(os error 20\)"),
        ("dir", r"Is a directory \(os error 21\)"),
    ],
)
def test_unwritable_targets(tmp_path, target, error):
    (tmp_path / "file").write_bytes(b"")
    (tmp_path / "dir").mkdir()
    manager = qel.load(written(tmp_path))
    with pytest.raises(qel.QelError, match=f"^I/O error: {error}$"):
        builder().write_to_file(str(tmp_path / target))
    with pytest.raises(qel.QelError, match=f"^I/O error: {error}$"):
        qel.save(manager, str(tmp_path / target))


def test_read_only_directory(tmp_path):
    """Root writes anywhere, so the write runs in a child without privileges."""
    directory = tmp_path / "ro"
    directory.mkdir(mode=0o555)
    os.chmod(tmp_path, 0o755)
    if os.geteuid() != 0:
        with pytest.raises(qel.QelError, match=r"^I/O error: Permission denied \(os error 13\)$"):
            builder().write_to_file(str(directory / "x.qel"))
        return
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.setuid(NOBODY)
            builder().write_to_file(str(directory / "x.qel"))
        except qel.QelError as error:
            code = 0 if str(error) == "I/O error: Permission denied (os error 13)" else 2
        finally:
            os._exit(code)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    assert not (directory / "x.qel").exists()


@pytest.mark.parametrize(
    ("path", "error"),
    [
        (".", r"I/O error: Is a directory \(os error 21\)"),
        ("/dev/zero", "magic header line exceeded 128 bytes without terminator"),
        ("/dev/null", "invalid QEL magic header: unexpected end of input before newline"),
    ],
)
def test_loading_what_is_not_a_file(tmp_path, path, error):
    with pytest.raises(qel.QelError, match=f"^{error}$"):
        qel.load(str(tmp_path / path))


@pytest.mark.parametrize(
    ("content", "error"),
    [
        (b"QEL5 4", "invalid QEL magic header: unexpected end of input before newline"),
        (b"QEL5 400\n{}", "I/O error: failed to fill whole buffer"),
    ],
)
def test_fifo_that_closes_early(tmp_path, content, error):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as sink:
            sink.write(content)

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        with pytest.raises(qel.QelError, match=f"^{error}$"):
            qel.load(str(fifo))
    finally:
        feeder.join()


def test_gzip_stream_cut_short_loads_as_truncated(tmp_path):
    compressed = gzip.compress(open(written(tmp_path), "rb").read(), compresslevel=1)
    cut = tmp_path / "cut.qel.gz"
    cut.write_bytes(compressed[: len(compressed) // 2])
    manager = qel.load(str(cut))
    assert manager.stats.compression_format == "gzip"
    assert manager.stats.blocks_truncated == 1
    samples = manager.channel("a").samples()
    assert 0 < len(samples) < 100_000
    np.testing.assert_array_equal(samples, np.arange(float(len(samples))))


# The flags byte of the gzip header, and the CRC in its trailer.
@pytest.mark.parametrize(
    ("offset", "error"), [(3, "unknown header flags set"), (-8, "incorrect data check")]
)
def test_corrupt_gzip_stream_is_an_io_error(tmp_path, offset, error):
    compressed = bytearray(gzip.compress(open(written(tmp_path, 1000), "rb").read()))
    compressed[offset] ^= 0xE0
    path = tmp_path / "corrupt.qel.gz"
    path.write_bytes(bytes(compressed))
    with pytest.raises(qel.QelError, match=f"^I/O error: {error}$"):
        qel.load(str(path))
