#!/usr/bin/env bash
# Installs a built wheel into a fresh virtual environment of Python 3.13 and
# uses it from there: scripts/check_wheel.sh WHEEL.
# The interpreter comes from the machine (python3.13 on the PATH or a pyenv
# installation); without one, the check runs with python3 and says so.
set -euo pipefail
wheel="$(realpath "$1")"
root="$(cd "$(dirname "$0")/.." && pwd)"

# Prints the path of a working Python 3.13, or nothing.
find_python313() {
  local candidate
  for candidate in "$(command -v python3.13 || true)" \
    "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/3.13*/bin/python3.13; do
    if [ -x "$candidate" ] &&
      "$candidate" -c 'import sys, venv; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
}

python="$(find_python313)"
if [ -z "$python" ]; then
  python="$(command -v python3)"
  echo "check_wheel: no Python 3.13 on this machine; checking with $("$python" --version)" >&2
fi
env="$root/build/wheel-check-venv"
rm -rf "$env"
"$python" -m venv "$env"
"$env/bin/python" -m pip install -q --disable-pip-version-check "$wheel"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
"$env/bin/python" -I - "$env" <<'PY'
import importlib.metadata
import pathlib
import sys

import numpy as np
import qel

assert pathlib.Path(qel._qel.__file__).is_relative_to(sys.argv[1]), qel._qel.__file__
w = qel.WriterBuilder()
w.add_equidistant_segment(w.add_channel("x", "double", "scalar"), 0, 1.0, np.arange(4.0))
path = "check.qel"
w.write_to_file(path)
assert np.mean(qel.load(path)["x"]) == 1.5
# Without its extras the package still imports; a conversion names the extra to install.
extras = importlib.metadata.metadata("qel").get_all("Provides-Extra")
assert {"pandas", "arrow"} <= set(extras), extras
try:
    qel.load(path).to_pandas()
except ImportError as error:
    assert "pip install 'qel[pandas]'" in str(error), error
else:
    raise AssertionError("to_pandas without pandas installed")
print(f"wheel check: qel {qel.__version__} works on Python {sys.version.split()[0]}")
PY
