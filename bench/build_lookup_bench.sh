#!/usr/bin/env bash
# Builds the index.bin lookup micro-benchmark and runs it.
#   bench/build_lookup_bench.sh            # lookups per second
#   bench/build_lookup_bench.sh --sanitize # damaged files, under ASan/UBSan
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if [[ "${1:-}" == "--sanitize" ]]; then
  out="$root/build/bench-asan"
  cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_BUILD_BENCH=ON \
    -DKX_SANITIZE=ON >/dev/null
  cmake --build "$out" -j2 --target lookup_bench >/dev/null
  "$out/lookup_bench" fuzz "$work"
else
  out="$root/build/bench"
  cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_BENCH=ON >/dev/null
  cmake --build "$out" -j2 --target lookup_bench >/dev/null
  "$out/lookup_bench" bench "$work"
fi
