#!/usr/bin/env bash
# Builds and runs every test: the ordinary build (quick tests, then the slow
# ones), the same suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# each fuzzing harness for a bounded time (FUZZ_SECONDS, default 60), and the
# Windows build with its whole suite and its user-interface test under Wine.
# This full run is what CI calls.
#
# With --quick: the ordinary build and its quick tests only (those not
# labelled slow), a few minutes on a fresh machine; for a first try and for
# everyday work.
#
# Installs what it needs with apt-get when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
case "${1:-}" in
    "") ;;
    --quick) quick=1 ;;
    *) echo "usage: bash tools/run-tests.sh [--quick]" >&2; exit 2 ;;
esac
jobs=$(nproc)

if [ "$quick" -eq 1 ]; then
    bash tools/install-deps.sh build unit
else
    bash tools/install-deps.sh build test windows
fi

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs" --label-exclude "^slow$"
if [ "$quick" -eq 1 ]; then
    echo "Quick tests passed; bash tools/run-tests.sh runs everything."
    exit 0
fi
ctest --test-dir build/release --output-on-failure -j"$jobs" --label-regex "^slow$"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j"$jobs" --label-exclude "^slow$"

FUZZ_SECONDS=${FUZZ_SECONDS:-60} FUZZ_JOBS="$jobs" bash tools/run-fuzz.sh

bash tools/run-windows-tests.sh

bash tools/check-packages.sh
