#!/usr/bin/env bash
# Measures the source lines that the fuzz corpora reach: builds the harnesses
# with clang's source-based coverage (no sanitizers), replays each target's
# corpus and seeds once, and prints llvm-cov's report for the files that
# target is meant to exercise.
#
#   fuzz/coverage.sh [TARGET...]
#
# Run fuzz/run.sh first: the corpora are read from build/fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${CXX:-}" ]; then
  for candidate in clang++-21 clang++-20 clang++-19 clang++-18 clang++-17 clang++-16 clang++; do
    if command -v "$candidate" >/dev/null; then CXX=$candidate; break; fi
  done
fi
suffix=${CXX#clang++}
profdata=llvm-profdata$suffix
llvmcov=llvm-cov$suffix

build=build/fuzz-cov
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKX_BUILD_FUZZ=ON -DKX_FUZZ_COVERAGE=ON >/dev/null
cmake --build "$build" -j2 >/dev/null
python3 fuzz/make_seeds.py build/fuzz/seeds

# The files each harness is written to exercise.
files_of() {
  case "$1" in
    fuzz_json) echo src/json.cpp src/hash.cpp src/records.h ;;
    fuzz_jsonl) echo src/mmap_lines.h src/storage.cpp src/records.cpp src/indexer.cpp \
      src/token_match.cpp src/line_filter.h src/line_filter.cpp \
      src/authors.cpp src/register.cpp ;;
    fuzz_binary_index) echo src/binary_index.cpp ;;
    fuzz_token_bin_index) echo src/token_bin_index.cpp ;;
    fuzz_blame_diff) echo src/blame_diff.cpp ;;
  esac
}

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
for target in "${targets[@]}"; do
  profiles="$build/profiles/$target"
  rm -rf "$profiles"
  mkdir -p "$profiles" build/fuzz/corpus/"$target"
  LLVM_PROFILE_FILE="$profiles/%p.profraw" "$build/$target" -runs=0 \
    build/fuzz/corpus/"$target" build/fuzz/seeds/"$target" >/dev/null 2>&1
  "$profdata" merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
  echo "== $target"
  # shellcheck disable=SC2046
  "$llvmcov" report "$build/$target" -instr-profile="$profiles/merged.profdata" \
    $(files_of "$target") | sed -e 's|^/.*/src/|src/|'
done
