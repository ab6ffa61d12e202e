#!/usr/bin/env bash
# The test gate: installs what is missing, builds Vormic with AddressSanitizer and
# UndefinedBehaviorSanitizer (warnings are errors), runs every test (the programs that inflate
# once with ISA-L and once with zlib) and replays the saved fuzz corpus. Deterministic: no timed
# fuzzing unless VORMIC_FUZZ_SECONDS is set (then each target is fuzzed that long, seed
# printed). Exits non-zero on any failure.
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

# The fuzz targets (clang, libFuzzer): the saved corpus replayed; fuzzed only when asked.
fuzz/run.sh "${VORMIC_FUZZ_SECONDS:-0}"
