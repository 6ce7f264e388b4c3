#!/usr/bin/env bash
# Builds the abi3 wheel and repairs it into a manylinux wheel, which it
# prints the path of: scripts/wheel.sh [OUTPUT_DIRECTORY] (default wheelhouse/).
# auditwheel checks every symbol version the extension needs and tags the
# wheel with the oldest glibc it runs on; patchelf is what it rewrites with.
source "$(dirname "$0")/bootstrap.sh"
qel_install_system_packages
qel_activate_venv >&2
out="$(realpath -m "${1:-$QEL_ROOT/wheelhouse}")"
raw="$QEL_ROOT/build/wheel-raw"
rm -rf "$raw"
python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$raw" \
  "$QEL_ROOT" >&2
mkdir -p "$out"
log="$(auditwheel repair -w "$out" "$raw"/qel-*.whl 2>&1)" || { echo "$log" >&2; exit 1; }
repaired="$(sed -n 's/.*Fixed-up wheel written to //p' <<<"$log")"
[ -f "$repaired" ] || { echo "$log" >&2; exit 1; }
echo "$repaired"
