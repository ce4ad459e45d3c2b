#!/usr/bin/env bash
# Builds and runs every test twice: in a plain build, and in a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, where any report fails.
# Warnings are errors in both. Prints one line per build and a closing count;
# the full output is kept in <build>/build-output.txt and test-output.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
status=0

run_suite() {
    local dir=$1 build_output=$root/$1/build-output.txt test_output=$root/$1/test-output.txt
    shift
    local started=$SECONDS
    mkdir -p "$root/$dir"
    if ! { cmake -S "$root" -B "$root/$dir" -DQM_WERROR=ON "$@" &&
           cmake --build "$root/$dir" -j "$jobs"; } >"$build_output" 2>&1; then
        tail -n 40 "$build_output" >&2
        echo "$dir: the build failed; all of its output is in $build_output" >&2
        exit 1
    fi
    local built=$SECONDS
    # The end-to-end tests spend most of their time waiting on the server,
    # and each picks its own free ports, so they run side by side.
    if ! ctest --test-dir "$root/$dir" --output-on-failure --no-tests=error -j "$jobs" \
            >"$test_output" 2>&1; then
        cat "$test_output" >&2
        echo "$dir: tests failed; their output is in $test_output" >&2
        status=1
    fi
    local counts
    counts=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$test_output" | tail -n 1)
    echo "$dir: built in $((built - started)) s, tested in $((SECONDS - built)) s: ${counts:-no test count}" |
        tee -a "$summary"
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
exit "$status"
