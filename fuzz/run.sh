#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for the given number of seconds
# (default 60), starting from its seed corpus. A finding stops the script with
# the crashing input in build-fuzz/findings/<target>/; copy it into
# fuzz/regressions/<target>/ once fixed, where the ordinary tests replay it.
#
#   fuzz/run.sh [seconds] [target...]      targets: readers fields input_pass log_escape http_head accounts tls_records websocket_frames
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(readers fields input_pass log_escape http_head accounts tls_records websocket_frames)
build=$root/build-fuzz
cxx=${QM_FUZZ_CXX:-clang++-14}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQM_FUZZ=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake --build "$build" -j 2 --target "${targets[@]/#/fuzz_}"

for target in "${targets[@]}"; do
    work=$build/corpus/$target
    findings=$build/findings/$target
    mkdir -p "$work" "$findings"
    echo "== fuzz_$target for $seconds s"
    # The working corpus grows in build-fuzz; the seeds in the tree stay as
    # they are. -print_final_stats gives the executions for the record.
    (cd "$findings" &&
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=16384 \
            -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$findings/" "$work" "$root/fuzz/corpus/$target" \
            "$root/fuzz/regressions/$target" 2>&1 |
        tee "$build/fuzz-$target.txt" | grep -E '^(stat::number_of_executed_units|stat::new_units_added|==|SUMMARY|fuzz invariant)|Done ' || true)
    if [ -n "$(find "$findings" -type f)" ]; then
        echo "fuzz_$target found a fault; see $build/fuzz-$target.txt and $findings" >&2
        exit 1
    fi
done
