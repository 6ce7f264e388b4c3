#!/usr/bin/env bash
# Checks the include layers and the style, then builds and runs every test:
# the C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer
# with warnings as errors, then the Python tests against the installed
# package, the type checks of a user's script, the repaired manylinux wheel in
# a fresh Python 3.13, the Python tests again against the extension built with
# the sanitizers (fewer generated examples there), and finally a short run of
# every fuzz target.
source "$(dirname "$0")/bootstrap.sh"
qel_install_system_packages clang-19 libclang-rt-19-dev
qel_activate_venv
cd "$QEL_ROOT"

# The layers of the core's includes and the repository's style, first: they take seconds.
python scripts/check_includes.py
python -m pytest -q -p no:cacheprovider tests/scripts
find core python/src tests/core fuzz bench examples -name '*.[ch]pp' -print0 |
  xargs -0 clang-format --dry-run -Werror
ruff check --quiet .

jobs=$(nproc)
# The fuzz targets (another compiler, another tree) build meanwhile, at the
# lowest priority: they take what the builds and tests below leave of the
# processors, mostly while the Python tests run on one of them. In a process
# group of its own, so that it ends with this script (not in a session of its
# own: the scheduler would then share the processors between the sessions,
# whatever the priority).
fuzz_log="$QEL_ROOT/build/fuzz-build.log"
mkdir -p "$QEL_ROOT/build"
set -m
nice -n 19 "$QEL_ROOT/fuzz/build.sh" >"$fuzz_log" 2>&1 &
fuzz_build=$!
set +m
trap '[ -z "$fuzz_build" ] || kill -- -"$fuzz_build" 2>/dev/null || true' EXIT
# The C++ tests' files go below the worktree: several checkouts may run
# their tests at once, and /tmp is shared.
export TEST_TMPDIR="$QEL_ROOT/build/test-tmp"
mkdir -p "$TEST_TMPDIR"
cmake -S . -B build/test-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEL_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$(command -v python)" -DQEL_BUILD_TESTS=ON -DQEL_SANITIZE=ON \
  -DQEL_WERROR=ON >/dev/null
cmake --build build/test-sanitize -j"$jobs"
ctest --test-dir build/test-sanitize --output-on-failure -j"$jobs"

qel_install_package -C cmake.define.QEL_WERROR=ON
python -m abi3audit --strict --assume-minimum-abi3 3.11 "$(python -c 'import qel._qel as m; print(m.__file__)')" >/dev/null
python -m pytest -q tests/python
python -m mypy.stubtest qel._qel --allowlist "$QEL_ROOT/tests/python/stubtest_allowlist.txt"
(cd "$QEL_ROOT/python" && python -m mypy --strict -p qel.frames)
# A user's script over the typed API: both type checkers, then a real run.
python -m mypy --strict tests/typing
pyright tests/typing
typing_run="$(mktemp -d)"
python tests/typing/user_script.py "$typing_run"
rm -rf "$typing_run"
wheel="$("$QEL_ROOT/scripts/wheel.sh" "$QEL_ROOT/build/wheelhouse")"
"$QEL_ROOT/scripts/check_wheel.sh" "$wheel"

# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded, and the C++ runtime with it: the sanitizer wraps the throwing of
# C++ exceptions and finds the real function only in a library loaded when it
# starts. CPython leaves memory to the exit by design, hence no leak check.
# The package is the source tree's modules and subpackages beside the sanitized extension.
sanitized="$QEL_ROOT/build/test-sanitize/pkg"
rm -rf "$sanitized"
mkdir -p "$sanitized/qel"
find "$QEL_ROOT/python/qel" -mindepth 1 -maxdepth 1 \( -name '*.py' -o -type d \) \
  ! -name __pycache__ -exec ln -s {} "$sanitized/qel/" \;
ln -s "$QEL_ROOT"/build/test-sanitize/python/_qel*.so "$sanitized/qel/"
export LD_PRELOAD ASAN_OPTIONS=detect_leaks=0
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)"
PYTHONPATH="$sanitized" python -c 'import sys, qel._qel as m; assert m.__file__.startswith(sys.argv[1])' \
  "$sanitized"
PYTHONPATH="$sanitized" QEL_EXAMPLES_DIVISOR=4 python -m pytest -q -p no:cacheprovider tests/python
unset LD_PRELOAD ASAN_OPTIONS

wait "$fuzz_build" || { cat "$fuzz_log" >&2; exit 1; }
fuzz_build=""
"$QEL_ROOT/fuzz/run.sh" 10
