#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer), replays the saved regression inputs, then
# fuzzes each target in turn for the given number of seconds and prints the
# executions and coverage each reached.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to 300; 0 only replays the regressions.
# Targets default to every fuzz/fuzz_*.cpp.  The corpus of each target
# grows in build/fuzz/corpus/<target> across runs; a crashing input is saved
# in build/fuzz/artifacts/<target>/ and the script exits non-zero.  Set
# CXX to choose the compiler (default: the newest clang++ installed).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-300}
shift || true

if [ -z "${CXX:-}" ]; then
  for candidate in clang++-21 clang++-20 clang++-19 clang++-18 clang++-17 clang++-16 clang++; do
    if command -v "$candidate" >/dev/null; then CXX=$candidate; break; fi
  done
fi
if [ -z "${CXX:-}" ]; then
  echo "no clang++ found; on Debian: apt-get install clang-19 libclang-rt-19-dev" >&2
  exit 2
fi

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKX_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" -j2 >/dev/null
python3 fuzz/make_seeds.py "$build/seeds"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

max_len() {
  case "$1" in
    fuzz_binary_index | fuzz_token_bin_index) echo 16384 ;;
    fuzz_jsonl) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
summary=()
status=0
for target in "${targets[@]}"; do
  exe="$build/$target"
  # Every saved crash input must now pass.
  shopt -s nullglob
  regressions=(fuzz/regressions/"$target"/*)
  shopt -u nullglob
  if [ ${#regressions[@]} -gt 0 ]; then
    echo "== $target: replaying ${#regressions[@]} regression inputs"
    "$exe" "${regressions[@]}" >"$build/$target.regressions.log" 2>&1 || {
      echo "regression input crashed $target; see $build/$target.regressions.log" >&2
      status=1
      continue
    }
  fi
  [ "$seconds" -gt 0 ] || continue

  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$corpus" "$artifacts"
  dict=()
  case "$target" in fuzz_json | fuzz_jsonl) dict=(-dict=fuzz/json.dict) ;; esac
  log="$build/$target.log"
  echo "== $target: fuzzing for ${seconds}s (log: $log)"
  if ! "$exe" "$corpus" "$build/seeds/$target" "${dict[@]}" -max_total_time="$seconds" \
      -max_len="$(max_len "$target")" -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$artifacts" >"$log" 2>&1; then
    echo "$target crashed; the input is in $artifacts" >&2
    tail -40 "$log" >&2
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\) corp: \([0-9]*\).*/cov \1, features \2, corpus \3/p' \
    <<<"$last")
  summary+=("$(printf '%-22s %12s executions  %s' "$target" "${runs:-?}" "${cov:-?}")")
done

if [ ${#summary[@]} -gt 0 ]; then
  echo
  echo "target                   executions  coverage (edges), features, corpus inputs"
  printf '%s\n' "${summary[@]}"
fi
exit $status
