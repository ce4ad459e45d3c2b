#!/usr/bin/env bash
# Builds and runs every test twice: in a plain build, and in a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, where any report fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

run_suite() {
    local dir=$1
    shift
    cmake -S "$root" -B "$root/$dir" "$@"
    cmake --build "$root/$dir" -j "$jobs"
    ctest --test-dir "$root/$dir" --output-on-failure -j "$jobs" | tee -a "$summary"
    test "${PIPESTATUS[0]}" -eq 0
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=ON

# One closing line for both runs.
awk '/tests passed, [0-9]+ tests failed out of/ {
         total += $NF; failed += $(NF-4)
     }
     END { printf "all test runs: %d passed, %d failed\n", total - failed, failed }' "$summary"
