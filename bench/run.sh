#!/usr/bin/env bash
# The load benchmark: our server against `ncat --broker` on free loopback
# ports, N = 2, 8, 32 and 63 clients, three workloads, 64-byte frames.
# Also: bursts of 100 frames in one write with the zero wait and with the
# fixed 500 us wait (a second build with -DQM_FIXED_WAIT=ON), the latency of
# one frame in flight between 2 clients, and the server's idle CPU use.
#
# Prints one table, writes results.csv and chart.png into $OUT
# (default build-bench/results). Needs cmake, g++, ncat and gnuplot.
# Environment: SECONDS_PER_RUN (default 2), CLIENT_COUNTS (default "2 8 32 63").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${OUT:-$root/build-bench/results}
seconds=${SECONDS_PER_RUN:-2}
counts=${CLIENT_COUNTS:-2 8 32 63}
workloads="broadcast pairs fanout"
mkdir -p "$out"
csv=$out/results.csv
work=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

for tool in ncat gnuplot; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed (apt-get install ncat gnuplot-nox)" >&2; exit 2; }
done

build() { # dir, extra cmake arguments
    local dir=$1
    shift
    cmake -S "$root" -B "$root/$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >/dev/null
    cmake --build "$root/$dir" -j 2 --target QuillmarshSrv loadgen >/dev/null
}
echo "building the server twice (zero wait, fixed wait) ..." >&2
build build-bench
build build-bench-fixed -DQM_FIXED_WAIT=ON
loadgen=$root/build-bench/bench/loadgen

# Starts a relay in its own scratch directory (the server's log lands
# there); sets port and server_pid.
start() { # kind: ours | fixed | ncat
    port=$("$loadgen" --free-port)
    rm -rf "$work/run" && mkdir "$work/run"
    case $1 in
    ours)  (cd "$work/run" && exec "$root/build-bench/QuillmarshSrv" "$port" bench bench >/dev/null 2>&1) & ;;
    fixed) (cd "$work/run" && exec "$root/build-bench-fixed/QuillmarshSrv" "$port" bench bench >/dev/null 2>&1) & ;;
    ncat)  ncat --broker -l 127.0.0.1 "$port" >/dev/null 2>&1 & ;;
    esac
    server_pid=$!
}
stop() {
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

failures=0
# One loadgen run against a fresh relay; appends its CSV line.
measure() { # kind, loadgen arguments...
    local kind=$1
    shift
    local raw=()
    [ "$kind" = ncat ] && raw=(--raw)
    start "$kind"
    if ! "$loadgen" --port "$port" --server-pid "$server_pid" --label "$kind" "${raw[@]}" "$@" >>"$csv"; then
        echo "run.sh: $kind $* reported lost, duplicated, reordered or corrupted frames, or failed" >&2
        failures=$((failures + 1))
    fi
    stop
}

"$loadgen" --csv-header >"$csv"
started=$(date +%s)
for workload in $workloads; do
    for n in $counts; do
        for kind in ours fixed ncat; do
            echo "  $workload, $n clients, $kind" >&2
            measure "$kind" --workload "$workload" --clients "$n" --seconds "$seconds"
        done
    done
done
for kind in ours fixed ncat; do
    echo "  latency, one frame in flight, $kind" >&2
    measure "$kind" --workload fanout --clients 2 --window 1 --seconds "$seconds"
done
for kind in ours fixed; do
    echo "  bursts of 100 frames, $kind" >&2
    measure "$kind" --workload burst --bursts 30
done
for n in 0 63; do
    for kind in ours fixed; do
        echo "  idle, $n clients, $kind" >&2
        measure "$kind" --workload idle --clients "$n" --seconds 5
    done
done

# ---- the table ------------------------------------------------------------
awk -F, '
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
{
    # The fan-out with one frame in flight is the latency measurement.
    workload = $col["window"] == 1 ? "latency" : $col["workload"]
    key = workload "," $col["clients"]
    kind = $col["label"]
    rate[kind, key] = $col["deliveries_per_s"]
    p99[kind, key] = $col["p99_us"]
    cpu[kind, key] = $col["server_cpu_pct"]
    mem[kind, key] = $col["server_peak_kb"]
    if ($col["workload"] == "burst") burst[kind] = $col["burst_ms"]
    bad[kind, key] = $col["lost"] + $col["duplicated"] + $col["reordered"] + $col["corrupted"]
    if (!(key in seen)) { seen[key] = 1; order[++n] = key }
}
END {
    printf "%-10s %3s | %11s %11s %11s %6s | %9s %9s %9s | %5s %6s %7s\n",
           "workload", "N", "ours/s", "fixed/s", "ncat/s", "ratio",
           "p99 ours", "p99 fixed", "p99 ncat", "cpu%", "KiB", "errors"
    for (i = 1; i <= n; i++) {
        key = order[i]; split(key, part, ",")
        if (part[1] == "burst" || part[1] == "idle") continue
        ratio = rate["ncat", key] > 0 ? rate["ours", key] / rate["ncat", key] : 0
        printf "%-10s %3d | %11.0f %11.0f %11.0f %6.2f | %7.0fus %7.0fus %7.0fus | %5.1f %6d %7d\n",
               part[1], part[2], rate["ours", key], rate["fixed", key], rate["ncat", key], ratio,
               p99["ours", key], p99["fixed", key], p99["ncat", key], cpu["ours", key],
               mem["ours", key], bad["ours", key] + bad["fixed", key]
    }
    printf "\n(deliveries per second: for pairs, frames reaching their addressee;\n"
    printf " ratio = ours / ncat; cpu%% and KiB: our server; errors: lost + duplicated +\n"
    printf " reordered + corrupted frames at our server, both builds)\n\n"
    zero = burst["ours"]; fixed = burst["fixed"]
    printf "burst of 100 frames in one write, median of 30: zero wait %.3f ms, fixed wait %.3f ms, %.1fx faster\n",
           zero, fixed, (zero > 0 ? fixed / zero : 0)
    printf "p99 latency, 2 clients, one frame in flight: ours %.0f us, fixed wait %.0f us, ncat %.0f us\n",
           p99["ours", "latency,2"], p99["fixed", "latency,2"], p99["ncat", "latency,2"]
    printf "idle CPU of our server: %.2f%% with 0 clients, %.2f%% with 63 idle clients (fixed wait: %.2f%%, %.2f%%)\n",
           cpu["ours", "idle,0"], cpu["ours", "idle,63"], cpu["fixed", "idle,0"], cpu["fixed", "idle,63"]
}' "$csv" | tee "$out/table.txt"

# ---- the chart ------------------------------------------------------------
for workload in $workloads; do
    for kind in ours fixed ncat; do
        awk -F, -v w="$workload" -v k="$kind" '$1 == k && $2 == w && $5 != 1 { print $3, $9, $12 }' "$csv" \
            >"$work/$workload-$kind.dat"
    done
done
gnuplot <<EOF
set terminal pngcairo size 1400,900 noenhanced
set output "$out/chart.png"
set multiplot layout 2,3 title "QuillmarshServer vs ncat --broker, 64-byte frames, loopback"
set logscale x 2
set xrange [1.6:80]
set xtics (2, 8, 32, 63)
set xlabel "clients"
set key left top
set grid
$(for w in $workloads; do cat <<PLOT
set title "$w: deliveries per second"
set ylabel "deliveries/s"
unset logscale y
plot "$work/$w-ours.dat" using 1:2 with linespoints title "ours", \
     "$work/$w-fixed.dat" using 1:2 with linespoints title "ours, fixed wait", \
     "$work/$w-ncat.dat" using 1:2 with linespoints title "ncat"
PLOT
done)
$(for w in $workloads; do cat <<PLOT
set title "$w: p99 latency"
set ylabel "microseconds"
set logscale y
plot "$work/$w-ours.dat" using 1:3 with linespoints title "ours", \
     "$work/$w-fixed.dat" using 1:3 with linespoints title "ours, fixed wait", \
     "$work/$w-ncat.dat" using 1:3 with linespoints title "ncat"
PLOT
done)
unset multiplot
EOF

echo "results: $csv, $out/table.txt, $out/chart.png ($(( $(date +%s) - started )) s of measuring)" >&2
if [ "$failures" -ne 0 ]; then
    echo "run.sh: $failures run(s) failed" >&2
    exit 1
fi
