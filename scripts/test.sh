#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer with warnings as errors, then the Python tests
# against the installed package.
source "$(dirname "$0")/bootstrap.sh"
qel_install_system_packages
qel_activate_venv
cd "$QEL_ROOT"

jobs=$(nproc)
cmake -S . -B build/test-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEL_BUILD_PYTHON=OFF \
  -DQEL_BUILD_TESTS=ON -DQEL_SANITIZE=ON -DQEL_WERROR=ON >/dev/null
cmake --build build/test-sanitize -j"$jobs"
ctest --test-dir build/test-sanitize --output-on-failure -j"$jobs"

qel_install_package -C cmake.define.QEL_WERROR=ON
python -m abi3audit --strict --assume-minimum-abi3 3.11 "$(python -c 'import qel._qel as m; print(m.__file__)')" >/dev/null
python -m pytest -q tests/python
python -m mypy.stubtest qel._qel --allowlist "$QEL_ROOT/tests/python/stubtest_allowlist.txt"
