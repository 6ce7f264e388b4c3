#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 19 (ASan, UBSan, coverage) into
# build/fuzz. Sourced scripts/bootstrap.sh has installed the compiler.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
  -DCMAKE_CXX_COMPILER=clang++-19 -DQEL_BUILD_PYTHON=OFF -DQEL_BUILD_FUZZ=ON >/dev/null
cmake --build "$root/build/fuzz" -j"$(nproc)"
