#!/usr/bin/env bash
# Installs what is missing, builds Vormic with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install_deps.sh

build=build-asan
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DVORMIC_SANITIZE=ON -DVORMIC_WERROR=ON
cmake --build "$build" -j"$jobs"

# Leaks are reported and fail the run; a test that hangs is cut off.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600

# The fuzz targets (clang, libFuzzer): the saved corpus replayed, then each target fuzzed for
# VORMIC_FUZZ_SECONDS (default 60; 0 replays only). Any finding fails the run.
fuzz/run.sh "${VORMIC_FUZZ_SECONDS:-60}"
