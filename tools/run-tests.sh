#!/usr/bin/env bash
# Builds and runs every test: the ordinary build (quick tests, then the slow
# ones), the same suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# each fuzzing harness for a bounded time (FUZZ_SECONDS, default 60), and the
# Windows build with its whole suite and its user-interface test under Wine.
# Installs what it needs with apt-get when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh build test windows
jobs=$(nproc)

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs" --label-exclude "^slow$"
ctest --test-dir build/release --output-on-failure -j"$jobs" --label-regex "^slow$"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j"$jobs" --label-exclude "^slow$"

FUZZ_SECONDS=${FUZZ_SECONDS:-60} FUZZ_JOBS="$jobs" bash tools/run-fuzz.sh

bash tools/run-windows-tests.sh

bash tools/check-packages.sh
