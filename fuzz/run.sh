#!/usr/bin/env bash
# Runs every fuzz target built by fuzz/build.sh: first once over its
# regression inputs (fuzz/regressions/<target>/), then fuzzing from its seeds
# for the given number of seconds (default 20), two targets at a time. New
# corpus entries and crash files go to a scratch directory outside the tree,
# which is kept and named when a target fails. The load targets also get the
# large-run seeds that fuzz/make_seeds.py makes (the package must be installed).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
bin="$root/build/fuzz/fuzz"
work="$(mktemp -d /tmp/qel-fuzz.XXXXXX)"
targets=(fuzz_load fuzz_load_compressed fuzz_open fuzz_meta_json fuzz_meta_xml fuzz_header)
python "$root/fuzz/make_seeds.py" --large "$work/large"

run_target() {
  local target="$1" log="$work/$1.log"
  mkdir -p "$work/$target"
  if compgen -G "$root/fuzz/regressions/$target/*" >/dev/null; then
    "$bin/$target" "$root/fuzz/regressions/$target"/* >"$log" 2>&1
  fi
  local seeds=("$root/fuzz/seeds/$target")
  [ -d "$work/large/$target" ] && seeds+=("$work/large/$target")
  "$bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -max_len=65536 -dict="$root/fuzz/qel.dict" -artifact_prefix="$work/$target-" \
    "$work/$target" "${seeds[@]}" >>"$log" 2>&1
}

summary() {
  local target="$1" log="$work/$1.log"
  echo "$target: $(grep -E '^#[0-9]+.* cov: ' "$log" | tail -1 | cut -d' ' -f1-9)," \
    "$(grep -E '^Done [0-9]+ runs' "$log" | tail -1)"
}

failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for target in "${targets[@]:i:2}"; do
    run_target "$target" &
    pids+=("$!")
  done
  for j in "${!pids[@]}"; do
    target="${targets[i + j]}"
    if wait "${pids[j]}"; then
      summary "$target"
    else
      failed=1
      echo "$target FAILED; log and crash files in $work" >&2
      tail -40 "$work/$target.log" >&2
    fi
  done
done
[ "$failed" -eq 0 ] && rm -rf "$work"
exit "$failed"
