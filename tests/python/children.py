"""Child processes for the tests: Python running a script, watched through /proc.

A test waits for what a child reports or for a state it can see (a system call the child
is blocked in, bytes it has read), never for a time; HANG_GUARD only ends a child that
hung.
"""

from __future__ import annotations

import os
import platform
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path

HANG_GUARD = 300

_SYSCALLS = {
    "x86_64": {"read": 0, "write": 1, "poll": 7, "writev": 20, "openat": 257, "ppoll": 271},
    "aarch64": {"read": 63, "write": 64, "writev": 66, "openat": 56, "ppoll": 73},
}
SYSCALLS = _SYSCALLS.get(platform.machine())
# The library waits for a pipe or a device in these; their first argument is the list of
# files watched, so a path is not checked for them.
POLLS = ("poll", "ppoll")


def start(script: str, *args: object, prefix: Sequence[str] = ()) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [*prefix, sys.executable, "-c", script, *map(str, args)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def finish(child: subprocess.Popen[str]) -> str:
    """The child's output once it has exited normally."""
    try:
        out, err = child.communicate(timeout=HANG_GUARD)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        raise AssertionError(f"the child hung; output {out!r}, errors {err!r}") from None
    assert child.returncode == 0, err
    return out


def run(script: str, *args: object, prefix: Sequence[str] = ()) -> str:
    return finish(start(script, *args, prefix=prefix))


def wait_until(child: subprocess.Popen[str], condition: Callable[[], bool]) -> None:
    """Polls `condition` while the child runs; fails if the child ends first."""
    while not condition():
        if child.poll() is not None:
            raise AssertionError(f"the child ended first: {child.communicate()}")
        time.sleep(0.001)


def blocked_in(child: subprocess.Popen[str], calls: Sequence[str], path: str | None = None) -> bool:
    """Whether the child's main thread sleeps in one of `calls`, on the file at `path`
    (its first argument) when given and the call is not one of POLLS."""
    assert SYSCALLS is not None
    try:
        fields = Path(f"/proc/{child.pid}/syscall").read_text().split()
        if not fields or fields[0] == "running":
            return False
        numbers = {SYSCALLS[call]: call for call in calls if call in SYSCALLS}
        call = numbers.get(int(fields[0]))
        if call is None:
            return False
        if path is None or call in POLLS:
            return True
        return os.readlink(f"/proc/{child.pid}/fd/{int(fields[1], 16)}") == path
    except (FileNotFoundError, ProcessLookupError, ValueError):
        return False


def bytes_read(child: subprocess.Popen[str]) -> int:
    for line in Path(f"/proc/{child.pid}/io").read_text().splitlines():
        if line.startswith("rchar:"):
            return int(line.split()[1])
    raise AssertionError("no rchar in /proc/<pid>/io")
