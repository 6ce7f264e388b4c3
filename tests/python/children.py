"""Child processes for the tests: Python running a script.

A test waits for what a child reports, never for a time; HANG_GUARD only ends a child
that hung.
"""

from __future__ import annotations

import subprocess
import sys
from collections.abc import Sequence

HANG_GUARD = 300


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
