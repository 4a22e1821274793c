#!/usr/bin/env bash
# The long version of the proof tests: 8 processes tracking 20,000 lines each
# into one store; for every file-rewriting operation on a store of 10,000
# tracked lines, SIGKILL before each of its first 150 changing calls (a sample
# of 150 for operations with more; KX_CRASH_KILLS=all for every one), random-
# delay kills, failing writes and read-only directories; and the bad-input
# tests.  Prints the figures of each part.  Takes about half an hour on two
# cores; scale with the variables below (see the test files).
#
#   scripts/proof_long.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
export KX_PROOF_PROCS="${KX_PROOF_PROCS:-8}"
export KX_PROOF_LINES="${KX_PROOF_LINES:-20000}"
export KX_CRASH_LINES="${KX_CRASH_LINES:-10000}"
export KX_CRASH_KILLS="${KX_CRASH_KILLS:-150}"
export KX_CRASH_DELAYS="${KX_CRASH_DELAYS:-10}"
export KX_CRASH_FAILS="${KX_CRASH_FAILS:-10}"
export KX_CRASH_READ_ONLY="${KX_CRASH_READ_ONLY:-4}"
export KX_CRASH_SEED="${KX_CRASH_SEED:-$RANDOM}"
exec python3 -m pytest -q -s -p no:cacheprovider \
  tests/test_concurrency.py tests/test_crash.py tests/test_bad_input.py "$@"
