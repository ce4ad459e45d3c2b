#!/usr/bin/env bash
# Builds and runs every test twice: in a plain build, and in a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, where any report fails.
# Warnings are errors in both. Prints one line per test run and a closing
# count; the full output is kept in <build>/build-output.txt and
# test-output*.txt. A failed step stops the script and its background work.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
summary=$(mktemp)
status=0

build_tree() {
    local dir=$1 build_output=$root/$1/build-output.txt
    shift
    mkdir -p "$root/$dir"
    if ! { cmake -S "$root" -B "$root/$dir" -DQM_WERROR=ON "$@" &&
           cmake --build "$root/$dir" -j "$jobs"; } >"$build_output" 2>&1; then
        tail -n 40 "$build_output" >&2
        echo "$dir: the build failed; all of its output is in $build_output" >&2
        exit 1
    fi
}

# The end-to-end tests spend most of their time waiting on the server, and
# each picks its own free ports, so they run side by side, two a core.
test_tree() {
    local dir=$1 build_seconds=$2 test_output=$root/$1/test-output.txt started=$SECONDS result=0
    shift 2
    ctest --test-dir "$root/$dir" --output-on-failure --no-tests=error -j "$((jobs * 2))" "$@" \
        >"$test_output" 2>&1 || result=1
    local counts
    counts=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$test_output" | tail -n 1)
    echo "$dir: built in $build_seconds s, tested in $((SECONDS - started)) s: ${counts:-no test count}" \
        >"$root/$dir/test-summary.txt"
    return "$result"
}

report() {
    local dir=$1 result=$2
    if [ "$result" -ne 0 ]; then
        cat "$root/$dir/test-output.txt" >&2
        echo "$dir: tests failed; their output is in $root/$dir/test-output.txt" >&2
        status=1
    fi
    tee -a "$summary" <"$root/$dir/test-summary.txt"
}

# A short soak here; CI soaks each build for a minute on its own.
export QM_SOAK_SECONDS=${QM_SOAK_SECONDS:-8}

# Background work dies with the script, whichever step fails.
trap 'rm -f "$summary"; kill $(jobs -p) 2>/dev/null || true' EXIT

started=$SECONDS
build_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_TEST_PCH=ON -DCMAKE_UNITY_BUILD=ON
plain_built=$((SECONDS - started))

# Only the tests that time nothing (unit, fault injection, the layering
# check) run while the sanitizer build compiles: the end-to-end tests and
# the documentation's commands wait on a real server, and a compiler on
# both cores makes their deadlines lie.
ctest --test-dir "$root/build" --no-tests=error -j "$jobs" -LE 'e2e|soak|docs' \
    >"$root/build/test-output-quick.txt" 2>&1 &
quick_tests=$!
started=$SECONDS
# Both test builds compile a target's files a few at a time as one (unity
# build) and parse GoogleTest's header once: compiling is most of the run.
build_tree build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=ON -DQM_TEST_PCH=ON -DCMAKE_UNITY_BUILD=ON
sanitize_built=$((SECONDS - started))
quick_result=0
wait "$quick_tests" || quick_result=$?

# Then the rest of the plain tests, and the sanitizer build's, one tree
# after the other.
plain_result=0
test_tree build "$plain_built" -L 'e2e|soak|docs' || plain_result=$?
if [ "$quick_result" -ne 0 ]; then
    cat "$root/build/test-output-quick.txt" >>"$root/build/test-output.txt"
    plain_result=1
fi
grep -E 'tests passed, [0-9]+ tests failed out of' "$root/build/test-output-quick.txt" |
    sed 's/^/quick: /' >>"$root/build/test-summary.txt" || true
report build "$plain_result"

sanitize_result=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    test_tree build-sanitize "$sanitize_built" || sanitize_result=$?
report build-sanitize "$sanitize_result"

# One closing line for both runs.
awk '/tests passed, [0-9]+ tests failed out of/ {
         total += $NF; failed += $(NF-5)
     }
     END { printf "all test runs: %d passed, %d failed\n", total - failed, failed }' "$summary"
exit "$status"
