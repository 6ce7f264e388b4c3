"""Faults of the operating system and odd files: every one ends in one clean QelError."""

import sys

import numpy as np
import pytest
import qel


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
# way; both must report the failure. A target that cannot be opened is one row.
@pytest.mark.parametrize(
    ("samples", "target", "error"),
    [
        (1, "/dev/full", r"No space left on device \(os error 28\)"),
        (100_000, "/dev/full", r"No space left on device \(os error 28\)"),
        (1, "dir", r"Is a directory \(os error 21\)"),
    ],
)
def test_write_failures(tmp_path, samples, target, error):
    (tmp_path / "dir").mkdir()
    manager = qel.load(written(tmp_path, samples))
    with pytest.raises(qel.QelError, match=f"^I/O error: {error}$"):
        builder(samples).write_to_file(str(tmp_path / target))
    with pytest.raises(qel.QelError, match=f"^I/O error: {error}$"):
        qel.save(manager, str(tmp_path / target))


def test_loading_a_directory(tmp_path):
    with pytest.raises(qel.QelError, match=r"^I/O error: Is a directory \(os error 21\)$"):
        qel.load(str(tmp_path))


class EndlessStrings:
    """A sequence claiming more items than any memory holds."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i > 0:
            raise IndexError(i)
        return "a"


# Failures that the extension meets as C++ exceptions, thrown and caught inside
# it; the run against the sanitizer build needs them to prove that its preloaded
# runtime handles exceptions.
def test_failures_raised_as_exceptions_inside_the_extension(tmp_path):
    path = tmp_path / "bad.qel"
    path.write_bytes(b"QEL5 3\n{x}")
    with pytest.raises(qel.QelError, match=r"^QEL5 metablock JSON parse error: .*syntax error"):
        qel.load(str(path))
    w = qel.WriterBuilder()
    c = w.add_channel("s", "string", "scalar")
    with pytest.raises(MemoryError):
        w.add_string_samples(c, np.zeros(1, np.int64), EndlessStrings())
