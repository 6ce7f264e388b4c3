"""Writing over a file replaces it whole or leaves it as it was.

Both `write_to_file` and `save` write a new file beside the target and rename it over the
target once it is complete; what cannot be renamed over (a FIFO, a device) is written in
place. Faults of the disk are made real in child processes: a file-size limit, a small file
system of its own.
"""

import json
import os
import shutil
import stat
import subprocess
import threading

import numpy as np
import pytest
import qel
from children import run

OLD = 10_000  # samples of the file that is written over: 80 KB
NEW = 1_000_000  # samples of the one that fails to replace it: 8 MB


def builder(samples: int, scale: float = 1.0) -> qel.WriterBuilder:
    w = qel.WriterBuilder()
    w.add_channel("a", "double", "scalar")
    w.add_equidistant_segment(0, 0, 1.0, np.arange(float(samples)) * scale)
    return w


def samples(path) -> np.ndarray:
    manager = qel.load(str(path))
    assert manager.stats.blocks_truncated == 0
    return manager.channel("a").samples()


# Writes OLD samples to <dir>/f.qel, makes the fault, then tries to write NEW samples over
# it (loaded from argv[4] when saving); reports the error and what is left in the directory.
OVERWRITE = """
import json, os, resource, subprocess, sys
import numpy as np, qel
fault, how, directory, source, old_samples, new_samples = sys.argv[1:]

def builder(samples):
    w = qel.WriterBuilder()
    w.add_channel("a", "double", "scalar")
    w.add_equidistant_segment(0, 0, 1.0, np.arange(float(samples)))
    return w

if fault == "enospc":
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", directory], check=True)
target = os.path.join(directory, "f.qel")
builder(int(old_samples)).write_to_file(target)
with open(target, "rb") as f:
    old = f.read()
new = qel.load(source) if how == "save" else builder(int(new_samples))
if fault == "fsize":
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))
try:
    qel.save(new, target) if how == "save" else new.write_to_file(target)
    error = None
except qel.QelError as e:
    error = str(e)
with open(target, "rb") as f:
    intact = f.read() == old
print(json.dumps({"error": error, "intact": intact, "files": sorted(os.listdir(directory))}))
"""


def own_mount_namespace() -> list[str] | None:
    """A command prefix that runs a child in a mount namespace of its own, where it may
    mount a file system; None where this machine allows none."""
    if shutil.which("unshare") is None:
        return None
    for prefix in (["unshare", "--user", "--map-root-user", "--mount"], ["unshare", "--mount"]):
        if subprocess.run([*prefix, "true"], capture_output=True).returncode == 0:
            return prefix
    return None


@pytest.mark.parametrize("how", ["write_to_file", "save"])
@pytest.mark.parametrize(
    ("fault", "error"),
    [
        ("fsize", "I/O error: File too large (os error 27)"),
        ("enospc", "I/O error: No space left on device (os error 28)"),
    ],
)
def test_an_overwrite_failing_midway_leaves_the_old_file(tmp_path, how, fault, error):
    prefix: list[str] = []
    if fault == "enospc":
        prefix = own_mount_namespace()
        if prefix is None:
            pytest.skip("no mount namespace of its own for a small file system")
    source = tmp_path / "source.qel"
    builder(NEW).write_to_file(str(source))
    directory = tmp_path / "out"
    directory.mkdir()
    report = json.loads(run(OVERWRITE, fault, how, directory, source, OLD, NEW, prefix=prefix))
    assert report == {"error": error, "intact": True, "files": ["f.qel"]}


def test_concurrent_saves_to_one_path_each_land_whole(tmp_path):
    sources = []
    for i in range(4):
        builder(OLD, scale=i + 1).write_to_file(str(tmp_path / f"{i}.qel"))
        sources.append(qel.load(str(tmp_path / f"{i}.qel")))
    target = str(tmp_path / "out" / "f.qel")
    os.mkdir(tmp_path / "out")
    start_together = threading.Barrier(len(sources))
    failures = []

    def save(manager) -> None:
        for _ in range(5):
            start_together.wait()
            try:
                qel.save(manager, target)
            except qel.QelError as e:
                failures.append(e)

    threads = [threading.Thread(target=save, args=(m,)) for m in sources]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert os.listdir(tmp_path / "out") == ["f.qel"]
    result = samples(target)
    assert any(np.array_equal(result, np.arange(float(OLD)) * (i + 1)) for i in range(4))


@pytest.mark.parametrize(
    ("links", "target"),
    [
        ({"f.qel": "real.qel"}, "real.qel"),
        ({"f.qel": "sub/new.qel"}, "sub/new.qel"),  # dangling: the target is made
        ({"f.qel": "g.qel", "g.qel": "sub/../real.qel"}, "real.qel"),
    ],
    ids=["to-a-file", "dangling", "chain"],
)
def test_a_symlink_is_written_through(tmp_path, links, target):
    (tmp_path / "sub").mkdir()
    builder(OLD).write_to_file(str(tmp_path / "real.qel"))
    for link, points_to in links.items():
        os.symlink(points_to, tmp_path / link)
    before = sorted(os.listdir(tmp_path))
    qel.save(qel.load(str(tmp_path / "real.qel")), str(tmp_path / "f.qel"))
    builder(OLD, scale=3.0).write_to_file(str(tmp_path / "f.qel"))
    for link, points_to in links.items():
        assert os.readlink(tmp_path / link) == points_to
    np.testing.assert_array_equal(samples(tmp_path / target), np.arange(float(OLD)) * 3.0)
    made = [target] if target.startswith("sub/") else []
    assert sorted(os.listdir(tmp_path)) == before
    assert sorted(f"sub/{name}" for name in os.listdir(tmp_path / "sub")) == made


def test_fifos_and_devices_are_written_in_place(tmp_path, deadlock_guard):
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    builder(OLD, scale=5.0).write_to_file(str(fifo))
    reader.join()
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    (tmp_path / "copy.qel").write_bytes(received[0])
    np.testing.assert_array_equal(samples(tmp_path / "copy.qel"), np.arange(float(OLD)) * 5.0)
    qel.save(qel.load(str(tmp_path / "copy.qel")), os.devnull)
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["copy.qel", "out.fifo"]


@pytest.mark.parametrize(
    ("existing", "umask", "expected"),
    [
        (None, 0o022, 0o644),
        (None, 0o077, 0o600),
        (0o640, 0o022, 0o640),
        (0o604, 0o077, 0o604),
        (0o755, 0o022, 0o755),
    ],
)
def test_permission_bits(tmp_path, existing, umask, expected):
    path = tmp_path / "f.qel"
    if existing is not None:
        builder(OLD).write_to_file(str(path))
        os.chmod(path, existing)
    previous = os.umask(umask)
    try:
        builder(OLD, scale=2.0).write_to_file(str(path))
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(path).st_mode) == expected
    np.testing.assert_array_equal(samples(path), np.arange(float(OLD)) * 2.0)


# Without the privileges to override permissions and to give files away (dropped when the
# tests run as root): a read-only file is refused as before, and a writable file in a
# directory that takes no new files, or of another owner, is written in place as before.
UNPRIVILEGED = """
import os, sys, numpy as np, qel
directory = sys.argv[1]
w = qel.WriterBuilder()
w.add_channel("a", "double", "scalar")
w.add_equidistant_segment(0, 0, 1.0, np.arange(3.0))
try:
    w.write_to_file(os.path.join(directory, sys.argv[2]))
    print("written")
except qel.QelError as e:
    print(e)
"""


@pytest.mark.parametrize(
    ("file_mode", "dir_mode", "owner", "outcome"),
    [
        (0o444, 0o755, None, "I/O error: Permission denied (os error 13)"),
        (0o666, 0o555, None, "written"),
        (0o666, 0o755, 4242, "written"),
    ],
    ids=["read-only-file", "read-only-directory", "other-owner"],
)
def test_without_the_privilege_to_override_permissions(
    tmp_path, file_mode, dir_mode, owner, outcome
):
    prefix = []
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("no setpriv to drop the privilege")
        prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search,-chown,-fowner", "--"]
    elif owner is not None:
        pytest.skip("a file of another owner needs root to make")
    directory = tmp_path / "d"
    directory.mkdir()
    path = directory / "f.qel"
    builder(OLD).write_to_file(str(path))
    old = path.read_bytes()
    os.chmod(path, file_mode)
    os.chmod(directory, dir_mode)
    if owner is not None:
        os.chown(path, owner, owner)
    inode = os.stat(path).st_ino
    try:
        assert run(UNPRIVILEGED, directory, "f.qel", prefix=prefix) == outcome + "\n"
    finally:
        os.chmod(directory, 0o755)
    assert os.listdir(directory) == ["f.qel"]
    assert os.stat(path).st_ino == inode
    if owner is not None:
        assert (os.stat(path).st_uid, os.stat(path).st_gid) == (owner, owner)
    if outcome == "written":
        np.testing.assert_array_equal(samples(path), np.arange(3.0))
    else:
        assert path.read_bytes() == old
