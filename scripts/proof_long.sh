#!/usr/bin/env bash
# The long version of the proof tests: 8 processes tracking 20,000 lines each
# into one store, every kill point of every file-rewriting operation on a
# store of 20,000 tracked lines plus random-delay kills and failing writes,
# and the bad-input tests.  Prints the figures of each part.  Takes about an
# hour on two cores; scale with the variables below (see the test files).
#
#   scripts/proof_long.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
export KX_PROOF_PROCS="${KX_PROOF_PROCS:-8}"
export KX_PROOF_LINES="${KX_PROOF_LINES:-20000}"
export KX_CRASH_LINES="${KX_CRASH_LINES:-20000}"
export KX_CRASH_KILLS="${KX_CRASH_KILLS:-all}"
export KX_CRASH_DELAYS="${KX_CRASH_DELAYS:-25}"
export KX_CRASH_FAILS="${KX_CRASH_FAILS:-25}"
export KX_CRASH_SEED="${KX_CRASH_SEED:-$RANDOM}"
exec python3 -m pytest -q -s -p no:cacheprovider \
  tests/test_concurrency.py tests/test_crash.py tests/test_bad_input.py "$@"
