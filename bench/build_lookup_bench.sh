#!/usr/bin/env bash
# Builds the index.bin lookup micro-benchmark (and, with --sanitize, a build
# with AddressSanitizer for the damage check), then runs it.
#   bench/build_lookup_bench.sh            # lookups per second
#   bench/build_lookup_bench.sh --sanitize # damaged files, under ASan/UBSan
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/bench"
mkdir -p "$out"
srcs=(binary_index fs error hash lib mmap_lines json pool)
files=()
for s in "${srcs[@]}"; do files+=("$root/src/$s.cpp"); done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if [[ "${1:-}" == "--sanitize" ]]; then
  g++ -std=c++23 -O1 -g -fsanitize=address,undefined -fno-omit-frame-pointer -I"$root/src" \
    "$root/bench/lookup_bench.cpp" "${files[@]}" -lcrypto -lpthread -o "$out/lookup_fuzz"
  "$out/lookup_fuzz" fuzz "$work"
else
  g++ -std=c++23 -O2 -DNDEBUG -I"$root/src" \
    "$root/bench/lookup_bench.cpp" "${files[@]}" -lcrypto -lpthread -o "$out/lookup_bench"
  "$out/lookup_bench" bench "$work"
fi
