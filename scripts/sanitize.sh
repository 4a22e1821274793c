#!/usr/bin/env bash
# Runs the whole pytest suite against the module built with AddressSanitizer
# and UndefinedBehaviorSanitizer (gcc), and fails on any report.
#
#   scripts/sanitize.sh [pytest arguments...]
#
# The interpreter itself is not instrumented, so the ASan runtime is
# preloaded into it; leak detection is off because CPython leaves memory
# allocated at exit by design.  Any undefined behaviour or memory error
# aborts the test process, and every report is also written under
# build/asan/reports/, which must stay empty.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KX_SANITIZE_BUILD:-build/asan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=ON >/dev/null
cmake --build "$build" -j2 >/dev/null

libasan=$(readlink -f "$(${CXX:-g++} -print-file-name=libasan.so)")
if [ ! -f "$libasan" ]; then
  echo "AddressSanitizer runtime not found (apt-get install libasan8)" >&2
  exit 2
fi

reports="$PWD/$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
# libstdc++ too: ASan's interceptor of __cxa_throw must find the real one
# when it starts, or the first C++ exception an uninstrumented library throws
# (pyarrow's reader, on a damaged Parquet file) aborts the process.
libstdcxx=$(readlink -f "$(${CXX:-g++} -print-file-name=libstdc++.so)")
export LD_PRELOAD="$libasan:$libstdcxx"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
# The package from the source tree, so that it takes the sanitized kx._core
# from "$build/kx".
export PYTHONPATH="$PWD/$build:$PWD/python${PYTHONPATH:+:$PYTHONPATH}"

set +e
python3 -m pytest -q -p no:cacheprovider tests "$@"
status=$?
set -e
unset LD_PRELOAD

if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  for report in "$reports"/*; do
    echo "--- $report" >&2
    head -60 "$report" >&2
  done
  exit 1
fi
exit $status
