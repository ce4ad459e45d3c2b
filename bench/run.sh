#!/usr/bin/env bash
# The load benchmark: our server against `ncat --broker` on free loopback
# ports, N = 2, 8, 32 and 63 clients, three workloads, 64-byte frames.
# Also: bursts of 100 frames in one write with the zero wait and with the
# fixed 500 us wait (a second build with -DQM_FIXED_WAIT=ON), the latency of
# one frame in flight between 2 clients, and the server's idle CPU use.
# At scale: broadcast and pairs with N = 200 and 1000 clients against ncat
# (both given room for N + 10), a burst of 2000 frames and a 1 MiB backlog
# offered in one write, the server's resident memory with 0 and 1000 idle
# clients, syscalls per delivered frame (broadcast, 8 clients, under strace
# when it is installed) and the soak test's peak memory (when the tests are
# built in build/).
#
# Prints the tables, writes results.csv and chart.png into $OUT
# (default build-bench/results). Needs cmake, g++, ncat and gnuplot.
# Environment: SECONDS_PER_RUN (default 2), CLIENT_COUNTS (default "2 8 32 63"),
# SCALE_COUNTS (default "200 1000"), IDLE_CLIENTS (default 1000),
# SOAK_TEST (default build/tests/soak/soak_test; run for 20 s when present),
# ROWS (default all; "idle partial" runs only the idle rows and the
# partial-frame rows, for a quick look at the server's cost at rest; "tls"
# only the TLS rows, against stunnel), TLS_COUNTS (default CLIENT_COUNTS).
# The idle rows give the server's CPU and wake-ups a second (its main
# thread's context switches) at 0 and 63 idle clients; the partial-frame
# rows a pair's p50 latency, one frame in flight, beside 61 clients that
# each hold 9,999 bytes of a frame without its check byte, and without them.
# ROWS=metrics runs every workload and client count against the same build
# without and with --metrics (scraped every second when curl is there), and
# prints each row's ratio (target >= 0.97x).
# ROWS=nats: the three workloads at NATS_COUNTS (default "8 63 500") clients
# and the 1 MiB backlog against ours, ncat and nats-server (Debian's
# nats-server, started here on a free loopback port; loadgen --nats).
# ROWS=c10k: our server (--numeric) with clients from C10K_SOURCES (default
# 100) loopback addresses: the pairs row with 8 clients alone and beside
# C10K_IDLE (default 10000) idle logged-in clients held by a second loadgen,
# C10K_ROUNDS (default 3) rounds, as ratios with the server's CPU per
# delivery; broadcast among 1000 and pairs among 1000 and C10K_IDLE active
# clients; the server's memory per idle session at C10K_IDLE and at
# C10K_MOST (default: the descriptor hard limit less 16) clients; TLS
# broadcast among 63 against stunnel, C10K_ROUNDS times.
# ROWS=cluster: several switches as one network through nats-server (all
# on this machine): pairs at CLUSTER_COUNTS (default "8 63") clients with
# each pair's partners on two switches against the same pairs on one
# switch, and broadcast among 63 clients spread over three switches against
# one; CLUSTER_ROUNDS (default 3) rounds, alternating, medians and their
# ratios (targets: cross-node pairs >= 0.4x of one switch, p50 <= 3x; no
# frame lost, duplicated or reordered); and the same pairs through
# nats-server alone (loadgen --nats), the most any path through it can
# make here. Needs a build with nats.c.
# ROWS=sessions gives a pair's p99 latency, one frame in flight, beside 61
# clients that each hold ANNOUNCED (default 4096) addresses of 255 bytes,
# with and without 4 readers that loop on /sessions?limit=1000 and never
# read (bench/unread_readers.py, python3), and the server's RSS growth from
# when the addresses are held to the run's end (targets: p99 < 20 ms and
# growth < 32 MB with the readers).
# The login rows (ROWS=logins) give the p50 of an honest login, from its
# connect to its first frame's arrival, with a users file: alone, and
# beside wrong passwords from 100 addresses (127.0.0.2 and on, about 32 a
# second); twice each, alternating (target < 150 ms beside them).
# ROWS=ws: pairs and broadcast at WS_COUNTS (default "8 63") clients over
# the WebSocket port (--ws-port; loadgen --ws, each frame one masked binary
# message) against the same over the plain port, alternating, WS_ROUNDS
# (default 3) rounds, as ratios (target >= 0.7x).
# The full run (ROWS unset) runs every row above.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${OUT:-$root/build-bench/results}
seconds=${SECONDS_PER_RUN:-2}
counts=${CLIENT_COUNTS:-2 8 32 63}
scale_counts=${SCALE_COUNTS:-200 1000}
idle_clients=${IDLE_CLIENTS:-1000}
soak_test=${SOAK_TEST:-$root/build/tests/soak/soak_test}
rows=${ROWS:-all}
nats_counts=${NATS_COUNTS:-8 63 500}
c10k_idle=${C10K_IDLE:-10000}
c10k_rounds=${C10K_ROUNDS:-3}
c10k_sources=${C10K_SOURCES:-100}
cluster_counts=${CLUSTER_COUNTS:-8 63}
cluster_rounds=${CLUSTER_ROUNDS:-3}
workloads="broadcast pairs fanout"
mkdir -p "$out"
csv=$out/results.csv
work=$(mktemp -d)
server_pid=
strace_pid=
scraper_pid=
tunnel_pids=
cleanup() {
    if [ -n "$strace_pid" ]; then kill "$strace_pid" 2>/dev/null || true; fi
    if [ -n "$scraper_pid" ]; then kill "$scraper_pid" 2>/dev/null || true; fi
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
    for pid in $tunnel_pids; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
holder_pid=
readers_pid=
node_pids=
trap 'cleanup; for pid in $holder_pid $readers_pid $node_pids; do kill "$pid" 2>/dev/null || true; done' EXIT

if [ "$rows" = all ]; then
    for tool in ncat gnuplot; do
        command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed (apt-get install ncat gnuplot-nox)" >&2; exit 2; }
    done
fi

# A thousand clients need a thousand descriptors in each relay (ncat has no
# way to raise its own limit) and in loadgen; the children inherit this one.
want=4096
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$hard" -lt "$want" ]; then want=$hard; fi
soft=$(ulimit -n)
if [ "$soft" != unlimited ] && [ "$soft" -lt "$want" ]; then
    ulimit -n "$want" || echo "run.sh: cannot raise the descriptor limit; runs with many clients may fail" >&2
fi

build() { # dir, extra cmake arguments
    local dir=$1
    shift
    cmake -S "$root" -B "$root/$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >/dev/null
    cmake --build "$root/$dir" -j 2 --target QuillmarshSrv loadgen qmpasswd >/dev/null
}
echo "building the server twice (zero wait, fixed wait) ..." >&2
build build-bench
build build-bench-fixed -DQM_FIXED_WAIT=ON
loadgen=$root/build-bench/bench/loadgen

# Starts a relay in its own scratch directory (the server's log lands
# there); sets port and server_pid. When slots is set, the relay serves
# that many clients (--max-clients, ncat's --max-conns); else its default.
# When numeric is set, our server names its peers without a look-up.
slots=
numeric=
start() { # kind: ours | metrics | ws | fixed | ncat | nats
    port=$("$loadgen" --free-port)
    rm -rf "$work/run" && mkdir "$work/run"
    local ours=() theirs=()
    if [ -n "$slots" ]; then
        ours=(--max-clients "$slots")
        theirs=(--max-conns "$slots")
    fi
    if [ -n "$numeric" ]; then
        ours+=(--numeric)
    fi
    case $1 in
    ours)  (cd "$work/run" && exec "$root/build-bench/QuillmarshSrv" "${ours[@]}" "$port" bench bench >/dev/null 2>&1) & ;;
    metrics)
        metrics_port=$("$loadgen" --free-port)
        (cd "$work/run" && exec "$root/build-bench/QuillmarshSrv" "${ours[@]}" --metrics "127.0.0.1:$metrics_port" \
            "$port" bench bench >/dev/null 2>&1) & ;;
    ws)
        # The clients come to the WebSocket port; the plain one is unused.
        local plain_port=$port
        port=$("$loadgen" --free-port)
        (cd "$work/run" && exec "$root/build-bench/QuillmarshSrv" "${ours[@]}" --ws-port "$port" \
            "$plain_port" bench bench >/dev/null 2>&1) & ;;
    fixed) (cd "$work/run" && exec "$root/build-bench-fixed/QuillmarshSrv" "${ours[@]}" "$port" bench bench >/dev/null 2>&1) & ;;
    ncat)  ncat --broker "${theirs[@]}" -l 127.0.0.1 "$port" >/dev/null 2>&1 & ;;
    nats)  "$nats_server" -a 127.0.0.1 -p -1 --ports_file_dir "$work/run" >/dev/null 2>&1 & ;;
    esac
    server_pid=$!
    if [ "$1" = nats ]; then
        nats_port
    fi
    if [ "$1" = metrics ] && command -v curl >/dev/null; then
        (while sleep 1; do curl -fsS "http://127.0.0.1:$metrics_port/metrics" >/dev/null 2>&1 || true; done) &
        scraper_pid=$!
    fi
}
# nats-server picks its own port (-p -1) and writes it to a ports file:
# no race with another program for a port picked here.
nats_port() {
    port=
    for _ in $(seq 200); do
        port=$(sed -n 's/.*"nats:\/\/127\.0\.0\.1:\([0-9]*\)".*/\1/p' "$work/run"/*.ports 2>/dev/null || true)
        [ -n "$port" ] && return
        sleep 0.05
    done
    echo "run.sh: nats-server did not say its port" >&2
    port=1
}
scraper_pid=
stop() {
    if [ -n "$scraper_pid" ]; then
        kill "$scraper_pid" 2>/dev/null || true
        wait "$scraper_pid" 2>/dev/null || true
        scraper_pid=
    fi
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

failures=0
# One loadgen run against a fresh relay; appends its CSV line, labelled
# kind, or kind/tag for the rows of the later tables.
measure() { # kind, tag, loadgen arguments...
    local kind=$1 tag=$2
    shift 2
    local speech=()
    case $kind in
    ncat) speech=(--raw) ;;
    nats) speech=(--nats) ;;
    ws) speech=(--ws) ;;
    esac
    start "$kind"
    if ! "$loadgen" --port "$port" --server-pid "$server_pid" --label "$kind${tag:+/$tag}" "${speech[@]}" "$@" >>"$csv"; then
        echo "run.sh: $kind $* reported lost, duplicated, reordered or corrupted frames, or failed" >&2
        # The yardsticks' own failures (at 1000 clients ncat may not even
        # get its clients to hear each other) show as "failed" rows; only
        # ours count.
        case $kind in ncat | nats) ;; *) failures=$((failures + 1)) ;; esac
    fi
    stop
}

# Idle clients beside a run: a second loadgen, its further arguments saying
# how many and how; returns once all are online, with holder_pid set.
start_holder() { # loadgen arguments...
    rm -f "$work/ready"
    "$loadgen" --port "$port" --workload idle --seconds 600 --ready-file "$work/ready" --label holder "$@" \
        >/dev/null 2>"$work/holder.err" &
    holder_pid=$!
    while [ ! -e "$work/ready" ]; do
        if ! kill -0 "$holder_pid" 2>/dev/null; then
            wait "$holder_pid" 2>/dev/null || true
            holder_pid=
            echo "run.sh: the idle clients did not get online: $(cat "$work/holder.err")" >&2
            return 1
        fi
        sleep 0.1
    done
}
stop_holder() {
    kill "$holder_pid" 2>/dev/null || true
    wait "$holder_pid" 2>/dev/null || true
    holder_pid=
}

idle_rows() {
    for n in 0 63; do
        for kind in ours fixed; do
            echo "  idle, $n clients, $kind" >&2
            measure "$kind" "" --workload idle --clients "$n" --seconds 5
        done
    done
}

# A pair's latency, one frame in flight, with 61 clients beside it that each
# hold a partial frame of 9,999 bytes (holders 61), and without them.
partial_rows() {
    for holders in 0 61; do
        echo "  a pair beside $holders clients holding 9,999 bytes each, ours" >&2
        start ours
        if [ "$holders" -gt 0 ] && ! start_holder --clients "$holders" --hold-bytes 9999; then
            failures=$((failures + 1))
            stop
            continue
        fi
        if ! "$loadgen" --port "$port" --server-pid "$server_pid" --label "ours/partial$holders" \
            --workload pairs --clients 2 --window 1 --seconds "$seconds" >>"$csv"; then
            echo "run.sh: the pair beside $holders holders failed" >&2
            failures=$((failures + 1))
        fi
        if [ -n "$holder_pid" ]; then
            stop_holder
        fi
        stop
    done
}

# A pair's latency beside 61 clients holding many long addresses, without
# and with unread /sessions readers, alternating, one sitting. The RSS
# growth is from when the addresses are held (before the readers start)
# to the end of the pair's run (the readers still running).
sessions_rows() {
    local announced=${ANNOUNCED:-4096} before
    for round in 1 2; do
        for readers in 0 4; do
            echo "  a pair beside 61 clients of $announced addresses, $readers unread /sessions readers (round $round)" >&2
            start metrics
            if ! start_holder --clients 61 --announce "$announced"; then
                failures=$((failures + 1))
                stop
                continue
            fi
            before=$(awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status")
            if [ "$readers" -gt 0 ]; then
                python3 "$root/bench/unread_readers.py" 127.0.0.1 "$metrics_port" "$readers" '/sessions?limit=1000' &
                readers_pid=$!
                sleep 2
            fi
            if ! "$loadgen" --port "$port" --server-pid "$server_pid" --label "ours/sessions$readers:$before" \
                --workload pairs --clients 2 --window 1 --seconds "$seconds" >>"$csv"; then
                echo "run.sh: the pair beside $readers /sessions readers failed" >&2
                failures=$((failures + 1))
            fi
            if [ -n "$readers_pid" ]; then
                kill "$readers_pid" 2>/dev/null || true
                wait "$readers_pid" 2>/dev/null || true
                readers_pid=
            fi
            stop_holder
            stop
        done
    done
}
sessions_table() {
    awk -F, '
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
$col["label"] ~ /^ours\/sessions/ {
    split(substr($col["label"], 14), part, ":")
    printf "  %s readers: p99 %.1f ms, p50 %.2f ms, RSS %d -> %d KiB (+%.1f MB), server CPU %.1f%%\n", part[1],
           $col["p99_us"] / 1000, $col["p50_us"] / 1000, part[2], $col["server_rss_kb"],
           ($col["server_rss_kb"] - part[2]) / 1024, $col["server_cpu_pct"]
}' "$csv" | { echo "a pair, one frame in flight, beside 61 clients of ${ANNOUNCED:-4096} addresses, without and with 4 unread /sessions readers (targets with them: p99 < 20 ms, RSS growth < 32 MB):"; cat; }
}

# Honest logins beside a flood of wrong passwords from many addresses, and
# alone; each run on a fresh server with a users file, so every source
# starts with no refusals on record.
logins_rows() {
    printf 'bench\n' | "$root/build-bench/tools/qmpasswd" "$work/users" bench >/dev/null
    for round in 1 2; do
        for flood in 0 100; do
            echo "  honest logins beside $flood sources of wrong passwords, round $round, ours" >&2
            port=$("$loadgen" --free-port)
            rm -rf "$work/run" && mkdir "$work/run"
            (cd "$work/run" && exec "$root/build-bench/QuillmarshSrv" --numeric --users "$work/users" "$port" \
                >/dev/null 2>&1) &
            server_pid=$!
            if ! "$loadgen" --port "$port" --server-pid "$server_pid" --label "ours/logins$flood" --workload logins \
                --flood-sources "$flood" --flood-rate 32 --seconds 13 >>"$csv"; then
                echo "run.sh: the honest logins beside $flood sources failed" >&2
                failures=$((failures + 1))
            fi
            stop
        done
    done
}
logins_table() {
    awk -F, '
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
$col["label"] ~ /^ours\/logins/ {
    flood = $col["clients"]
    printf "honest login beside %3d sources of wrong passwords: p50 %6.1f ms, p99 %6.1f ms (%d logins; %d wrong passwords in %.1f s)%s\n",
           flood, $col["p50_us"] / 1000, $col["p99_us"] / 1000, $col["delivered"], $col["sent"], $col["seconds"],
           (flood > 0 ? ($col["p50_us"] < 150000 ? ", target < 150 ms met" : ", target < 150 ms MISSED") : "")
}' "$csv"
}

# TLS: loadgen speaks plain TCP, so an stunnel client in front of it speaks
# TLS for every run alike; behind it, either our TLS port, or an stunnel
# server in front of our plain port (the set-up operators used before the
# server spoke TLS). Same workloads, one sitting; the ratio is ours over
# stunnel's. The server CPU is our process's alone in both (stunnel's own
# is not counted).
tls_start() { # kind: ours | stunnel
    local plain tls client
    plain=$("$loadgen" --free-port); tls=$("$loadgen" --free-port); client=$("$loadgen" --free-port)
    rm -rf "$work/run" && mkdir "$work/run"
    if [ "$1" = ours ]; then
        (cd "$work/run" && exec "$root/build-bench/QuillmarshSrv" --tls-port "$tls" --tls-cert "$work/tls.crt" \
            --tls-key "$work/tls.key" "$plain" bench bench >/dev/null 2>&1) &
        server_pid=$!
    else
        (cd "$work/run" && exec "$root/build-bench/QuillmarshSrv" "$plain" bench bench >/dev/null 2>&1) &
        server_pid=$!
        printf 'foreground = yes\npid =\n[in]\naccept = 127.0.0.1:%s\nconnect = 127.0.0.1:%s\ncert = %s\nkey = %s\n' \
            "$tls" "$plain" "$work/tls.crt" "$work/tls.key" >"$work/stunnel-server.conf"
        stunnel "$work/stunnel-server.conf" >/dev/null 2>&1 &
        tunnel_pids="$!"
    fi
    printf 'foreground = yes\npid =\n[out]\nclient = yes\naccept = 127.0.0.1:%s\nconnect = 127.0.0.1:%s\n' \
        "$client" "$tls" >"$work/stunnel-client.conf"
    stunnel "$work/stunnel-client.conf" >/dev/null 2>&1 &
    tunnel_pids="$tunnel_pids $!"
    port=$client
    # stunnel takes a connection before the far end listens, then drops it:
    # loadgen's patience cannot see that, so wait for every port here.
    for p in "$plain" "$tls" "$client"; do
        for _ in $(seq 100); do
            ss -Hltn "sport = :$p" | grep -q . && break
            sleep 0.05
        done
    done
}
tls_stop() {
    stop
    for pid in $tunnel_pids; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    tunnel_pids=
}
# Makes the certificate once; fails when the tools are missing.
tls_ready() {
    if ! command -v stunnel >/dev/null || ! command -v openssl >/dev/null; then
        echo "run.sh: no TLS rows: stunnel (apt-get install stunnel4) and openssl are needed" >&2
        return 1
    fi
    [ -e "$work/tls.crt" ] || openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
        -subj /CN=localhost -keyout "$work/tls.key" -out "$work/tls.crt" 2>/dev/null
}
tls_measure() { # kind, tag, workload, clients
    local kind=$1 tag=$2 workload=$3 n=$4
    echo "  TLS, $workload, $n clients, $kind" >&2
    tls_start "$kind"
    if ! "$loadgen" --port "$port" --server-pid "$server_pid" --label "$kind/$tag" \
        --workload "$workload" --clients "$n" --seconds "$seconds" >>"$csv"; then
        echo "run.sh: TLS $kind $workload $n failed" >&2
        [ "$kind" = stunnel ] || failures=$((failures + 1))
    fi
    tls_stop
}
tls_rows() {
    tls_ready || return 0
    for workload in $workloads; do
        for n in ${TLS_COUNTS:-$counts}; do
            for kind in ours stunnel; do
                tls_measure "$kind" tls "$workload" "$n"
            done
        done
    done
}
tls_table() {
    awk -F, '
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
$col["label"] ~ /\/tls$/ {
    split($col["label"], part, "/")
    key = $col["workload"] "," $col["clients"]
    rate[part[1], key] = $col["deliveries_per_s"]; p99[part[1], key] = $col["p99_us"]
    cpu[part[1], key] = $col["server_cpu_pct"]
    bad[part[1], key] = $col["lost"] + $col["duplicated"] + $col["reordered"] + $col["corrupted"]
    if (!(key in seen)) { seen[key] = 1; order[++n] = key }
}
END {
    if (n == 0) exit
    printf "\nTLS (loadgen behind an stunnel client): our TLS port against stunnel before our plain port:\n"
    printf "%-10s %3s | %11s %11s %6s | %9s %9s | %5s %5s %7s\n",
           "workload", "N", "ours/s", "stunnel/s", "ratio", "p99 ours", "p99 stun", "cpu%", "cpu%", "errors"
    for (i = 1; i <= n; i++) {
        key = order[i]; split(key, part, ",")
        ratio = rate["stunnel", key] > 0 ? sprintf("%.2f", rate["ours", key] / rate["stunnel", key]) : "-"
        printf "%-10s %3d | %11.0f %11.0f %6s | %7.0fus %7.0fus | %5.1f %5.1f %7d\n", part[1], part[2],
               rate["ours", key], rate["stunnel", key], ratio, p99["ours", key], p99["stunnel", key],
               cpu["ours", key], cpu["stunnel", key], bad["ours", key]
    }
    printf "(ratio = ours / stunnel; cpu%%: our server process in each set-up)\n"
}' "$csv"
}

# Every workload and count without and with the metrics port, one after
# the other, so both see the same machine; the port is scraped every second
# as a monitoring system would.
metrics_rows() {
    for workload in $workloads; do
        for n in $counts; do
            for kind in ours metrics; do
                echo "  $workload, $n clients, $kind" >&2
                measure "$kind" "" --workload "$workload" --clients "$n" --seconds "$seconds"
            done
        done
    done
}

metrics_table() {
    awk -F, '
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
$col["label"] == "ours" || $col["label"] == "metrics" {
    key = $col["workload"] " " $col["clients"]
    rate[$col["label"], key] = $col["deliveries_per_s"]
    if (!(key in seen)) { seen[key] = 1; order[++n] = key }
}
END {
    printf "deliveries/s without and with --metrics (target >= 0.97x):\n"
    for (i = 1; i <= n; i++) {
        k = order[i]; a = rate["ours", k]; b = rate["metrics", k]
        printf "  %-14s %10.0f %10.0f  %.3fx\n", k, a, b, (a > 0 ? b / a : 0)
    }
}' "$csv"
}

# The rows of the quick look, read from the CSV.
rest_table() {
    awk -F, '
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
$col["workload"] == "idle" && $col["label"] !~ /\// {
    cpu[$col["label"], $col["clients"]] = $col["server_cpu_pct"]
    woken[$col["label"], $col["clients"]] = $col["server_wakeups_per_s"]
}
$col["label"] ~ /^ours\/partial/ { p50[$col["label"]] = $col["p50_us"]; cpu_p[$col["label"]] = $col["server_cpu_pct"] }
END {
    printf "idle server, %% of one core and wake-ups a second (target < 0.2 %% and < 20):\n"
    printf "  ours:       %.2f%% %.0f/s with 0 clients, %.2f%% %.0f/s with 63 idle clients\n",
           cpu["ours", 0], woken["ours", 0], cpu["ours", 63], woken["ours", 63]
    printf "  fixed wait: %.2f%% %.0f/s with 0 clients, %.2f%% %.0f/s with 63 idle clients\n",
           cpu["fixed", 0], woken["fixed", 0], cpu["fixed", 63], woken["fixed", 63]
    a = p50["ours/partial0"]; b = p50["ours/partial61"]
    printf "a pair, one frame in flight, p50: %.0f us alone, %.0f us beside 61 clients holding 9,999 bytes each: %.2fx (target <= 1.5x); server CPU %.1f%% and %.1f%%\n",
           a, b, (a > 0 ? b / a : 0), cpu_p["ours/partial0"], cpu_p["ours/partial61"]
}' "$csv"
}

# ---- over WebSocket -----------------------------------------------------
# The same server and build, the clients on its plain port and then on its
# WebSocket port, alternating round by round, so both see the same machine.
ws_rows() {
    for workload in pairs broadcast; do
        for n in ${WS_COUNTS:-8 63}; do
            for round in $(seq "${WS_ROUNDS:-3}"); do
                for kind in ours ws; do
                    echo "  $workload, $n clients, $kind, round $round (against WebSocket)" >&2
                    measure "$kind" ws --workload "$workload" --clients "$n" --seconds "$seconds"
                done
            done
        done
    done
}
ws_table() {
    awk -F, '
function median(v, k,    i, j, t) {
    for (i = 2; i <= k; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return k % 2 ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2
}
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
$col["label"] ~ /\/ws$/ {
    split($col["label"], part, "/")
    key = $col["workload"] "," $col["clients"]
    r = ++count[part[1], key]
    rate[part[1], key, r] = $col["deliveries_per_s"]; p99[part[1], key, r] = $col["p99_us"]
    cpu[part[1], key, r] = $col["server_cpu_pct"]
    bad[part[1], key] += $col["lost"] + $col["duplicated"] + $col["reordered"] + $col["corrupted"]
    if (!(key in seen)) { seen[key] = 1; order[++n] = key }
}
END {
    if (n == 0) exit
    printf "\nWebSocket port against the plain port, same server, alternating rounds (target >= 0.7x):\n"
    printf "%-10s %3s %5s | %11s %11s %6s | %9s %9s | %5s %5s %7s\n", "workload", "N", "round",
           "plain/s", "ws/s", "ratio", "p99 plain", "p99 ws", "cpu%", "cpu%", "errors"
    for (i = 1; i <= n; i++) {
        key = order[i]; split(key, part, ",")
        k = 0
        for (r = 1; r <= count["ws", key] && r <= count["ours", key]; r++) {
            q = rate["ours", key, r] > 0 ? rate["ws", key, r] / rate["ours", key, r] : 0
            ratios[++k] = q
            printf "%-10s %3d %5d | %11.0f %11.0f %6.2f | %7.0fus %7.0fus | %5.1f %5.1f %7d\n", part[1], part[2], r,
                   rate["ours", key, r], rate["ws", key, r], q, p99["ours", key, r], p99["ws", key, r],
                   cpu["ours", key, r], cpu["ws", key, r], r == 1 ? bad["ws", key] : 0
        }
        if (k > 0) printf "%-10s %3d median %.2fx\n", part[1], part[2], median(ratios, k)
    }
    printf "(ratio = WebSocket / plain deliveries a second; cpu%%: the server process; errors: over WebSocket)\n"
}' "$csv"
}

# ---- against nats-server ------------------------------------------------
# nats-server relays what a client publishes on a subject to the others
# subscribed to it: loadgen --nats gives every address a subject and sends
# the same frames as payloads. Each row runs ours, ncat and nats in turn.
# Debian puts nats-server in /usr/sbin, which a user's PATH may lack.
nats_server=$(command -v nats-server || echo /usr/sbin/nats-server)
nats_rows() {
    if [ ! -x "$nats_server" ]; then
        echo "run.sh: no nats rows: nats-server is needed (apt-get install nats-server)" >&2
        return 0
    fi
    for workload in $workloads; do
        for n in $nats_counts; do
            slots=
            if [ "$n" -gt 63 ]; then slots=$((n + 10)); fi
            for kind in ours ncat nats; do
                echo "  $workload, $n clients, $kind (against nats)" >&2
                measure "$kind" nats --workload "$workload" --clients "$n" --seconds "$seconds"
            done
        done
    done
    slots=
    for kind in ours ncat nats; do
        echo "  1 MiB backlogs (16384 frames of 64 bytes), $kind (against nats)" >&2
        measure "$kind" natsbacklog --workload burst --bursts 5 --burst-frames 16384
    done
}
nats_table() {
    awk -F, '
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
$col["label"] ~ /\/nats(backlog)?$/ {
    split($col["label"], part, "/")
    key = $col["workload"] "," $col["clients"]
    rate[part[1], key] = $col["deliveries_per_s"]; p99[part[1], key] = $col["p99_us"]
    ms[part[1], key] = $col["burst_ms"]
    if ($col["delivered"] > 0 && $col["server_cpu_s"] >= 0)
        per[part[1], key] = $col["server_cpu_s"] * 1e6 / $col["delivered"]
    bad[part[1], key] = $col["lost"] + $col["duplicated"] + $col["reordered"] + $col["corrupted"]
    if (!(key in seen)) { seen[key] = 1; order[++n] = key }
}
function shown(v) { return v > 0 ? sprintf("%.0f", v) : "failed" }
END {
    if (n == 0) exit
    printf "\nagainst nats-server (loadgen --nats: a subject per address, the same frames as payloads):\n"
    printf "%-10s %3s | %11s %11s %6s %11s | %9s %9s | %9s %9s | %6s\n",
           "workload", "N", "ours/s", "nats/s", "ratio", "ncat/s", "p99 ours", "p99 nats",
           "us/d ours", "us/d nats", "errors"
    for (i = 1; i <= n; i++) {
        key = order[i]; split(key, part, ",")
        if (part[1] == "burst") continue
        ratio = rate["nats", key] > 0 ? sprintf("%.2f", rate["ours", key] / rate["nats", key]) : "-"
        printf "%-10s %3d | %11s %11s %6s %11s | %7.0fus %7.0fus | %9.2f %9.2f | %6d\n", part[1], part[2],
               shown(rate["ours", key]), shown(rate["nats", key]), ratio, shown(rate["ncat", key]),
               p99["ours", key], p99["nats", key], per["ours", key], per["nats", key], bad["ours", key]
    }
    key = "burst,2"
    if (("ours", key) in ms)
        printf "1 MiB backlog (16384 frames of 64 bytes) in one write, median of 5: ours %.2f ms, nats %.2f ms, ncat %.2f ms, ratio %s; errors at ours %d\n",
               ms["ours", key], ms["nats", key], ms["ncat", key],
               (ms["ours", key] > 0 && ms["nats", key] > 0 ? sprintf("%.2f", ms["nats", key] / ms["ours", key]) : "-"),
               bad["ours", key]
    printf "(ratio = ours / nats, for the backlog nats time / ours; us/d: the server process'"'"'s CPU\n"
    printf " microseconds per delivery; errors: lost + duplicated + reordered + corrupted at ours)\n"
}' "$csv"
}

# ---- several switches as one network ---------------------------------------
# nats-server on a port of its own choosing, then so many switches joined
# through it, each on a port of its own; sets ports (comma-separated, for
# loadgen --ports) and server_pid (nats-server's).
start_cluster() { # nodes
    rm -rf "$work/run" && mkdir "$work/run"
    "$nats_server" -a 127.0.0.1 -p -1 --ports_file_dir "$work/run" >/dev/null 2>&1 &
    server_pid=$!
    nats_port
    local nats=$port node node_port room=()
    if [ -n "$slots" ]; then room=(--max-clients "$slots"); fi
    ports=
    node_pids=
    for node in $(seq "$1"); do
        node_port=$("$loadgen" --free-port)
        mkdir "$work/run/node$node"
        (cd "$work/run/node$node" && exec "$root/build-bench/QuillmarshSrv" "${room[@]}" \
            --cluster "nats://127.0.0.1:$nats" --node-name "node$node" "$node_port" bench bench >/dev/null 2>&1) &
        node_pids="$node_pids $!"
        ports=${ports:+$ports,}$node_port
    done
}
stop_cluster() {
    for pid in $node_pids; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    node_pids=
    stop
}
# loadgen's own hellos go on until every client hears its senders, so its
# frames start only once every switch's subscriptions are in place.
measure_cluster() { # nodes, loadgen arguments...
    local nodes=$1
    shift
    start_cluster "$nodes"
    if ! "$loadgen" --ports "$ports" --label "cluster/${nodes}nodes" "$@" >>"$csv"; then
        echo "run.sh: $nodes switches $* reported lost, duplicated, reordered or corrupted frames, or failed" >&2
        failures=$((failures + 1))
    fi
    stop_cluster
}
cluster_rows() {
    if [ ! -x "$nats_server" ]; then
        echo "run.sh: no cluster rows: nats-server is needed (apt-get install nats-server)" >&2
        return 0
    fi
    if ! ldd "$root/build-bench/QuillmarshSrv" | grep -q libnats; then
        echo "run.sh: no cluster rows: the server was built without nats.c (apt-get install libnats-dev)" >&2
        return 0
    fi
    local round n
    for round in $(seq "$cluster_rounds"); do
        for n in $cluster_counts; do
            slots=
            if [ "$n" -gt 63 ]; then slots=$((n + 10)); fi
            echo "  round $round: pairs, $n clients, one switch" >&2
            measure ours cluster1 --workload pairs --clients "$n" --seconds "$seconds"
            echo "  round $round: pairs, $n clients, partners on two switches" >&2
            measure_cluster 2 --workload pairs --clients "$n" --seconds "$seconds"
            echo "  round $round: pairs, $n clients, through nats-server alone" >&2
            measure nats cluster0 --workload pairs --clients "$n" --seconds "$seconds"
        done
        slots=
        echo "  round $round: broadcast, 63 clients, one switch" >&2
        measure ours cluster1 --workload broadcast --clients 63 --seconds "$seconds"
        echo "  round $round: broadcast, 63 clients over three switches" >&2
        measure_cluster 3 --workload broadcast --clients 63 --seconds "$seconds"
    done
}
cluster_table() {
    awk -F, '
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
$col["label"] == "nats/cluster0" {
    key = $col["workload"] "," $col["clients"]
    k = ++count["nats", key]
    rate["nats", key, k] = $col["deliveries_per_s"]; p50["nats", key, k] = $col["p50_us"]
    next
}
$col["label"] == "ours/cluster1" || $col["label"] ~ /^cluster\// {
    where = $col["label"] == "ours/cluster1" ? "one" : "many"
    key = $col["workload"] "," $col["clients"]
    k = ++count[where, key]
    rate[where, key, k] = $col["deliveries_per_s"]; p50[where, key, k] = $col["p50_us"]
    p99[where, key, k] = $col["p99_us"]
    bad[key] += $col["lost"] + $col["duplicated"] + $col["reordered"] + $col["corrupted"]
    if (!(key in seen)) { seen[key] = 1; order[++n] = key }
}
function median(array, where, key, k,    i, j, t, v) {
    for (i = 1; i <= k; i++) v[i] = array[where, key, i]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return k % 2 ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2
}
END {
    if (n == 0) exit
    printf "\nseveral switches through nats-server, medians of alternating rounds (pairs: partners on two\n"
    printf "switches; broadcast: 63 clients over three), against the same clients on one switch:\n"
    printf "%-10s %3s | %11s %11s %6s | %9s %9s %6s | %9s %9s | %6s\n", "workload", "N", "one/s", "nodes/s",
           "ratio", "p50 one", "p50 nodes", "ratio", "p99 one", "p99 nodes", "errors"
    for (i = 1; i <= n; i++) {
        key = order[i]; split(key, part, ",")
        a = median(rate, "one", key, count["one", key]); b = median(rate, "many", key, count["many", key])
        c = median(p50, "one", key, count["one", key]); d = median(p50, "many", key, count["many", key])
        printf "%-10s %3d | %11.0f %11.0f %6.2f | %7.0fus %7.0fus %6.2f | %7.0fus %7.0fus | %6d\n",
               part[1], part[2], a, b, (a > 0 ? b / a : 0), c, d, (c > 0 ? d / c : 0),
               median(p99, "one", key, count["one", key]), median(p99, "many", key, count["many", key]), bad[key]
    }
    printf "(targets: pairs across switches >= 0.4x of one switch, p50 <= 3x; errors: lost + duplicated\n"
    printf " + reordered + corrupted, 0 while the link is up)\n"
    for (i = 1; i <= n; i++) {
        key = order[i]; split(key, part, ",")
        if (!count["nats", key]) continue
        a = median(rate, "one", key, count["one", key]); e = median(rate, "nats", key, count["nats", key])
        c = median(p50, "one", key, count["one", key]); f = median(p50, "nats", key, count["nats", key])
        printf "the same %s among %d through nats-server alone, no switch (loadgen --nats): %.0f/s, %.2fx of one\n",
               part[1], part[2], e, (a > 0 ? e / a : 0)
        printf "  switch, p50 %.0fus, %.2fx: what any path through nats-server can reach on this machine\n",
               f, (c > 0 ? f / c : 0)
    }
}' "$csv"
}

# ---- ten thousand clients -------------------------------------------------
# Our server alone, with --numeric: a look-up of each of ten thousand
# 127.1.x.y peers asks the DNS and takes the logins from seconds to minutes.
# Each client connects from one of C10K_SOURCES loopback addresses, so that
# no address has more than a few logins under way. Every server gets room
# for its clients and 16 more.
c10k_most() {
    local hard
    hard=$(ulimit -Hn)
    if [ "$hard" = unlimited ] || [ "$hard" -gt 100000 ]; then hard=100000; fi
    echo "${C10K_MOST:-$((hard - 16))}"
}
c10k_rows() {
    local most round workload_row
    most=$(c10k_most)
    if [ "$most" -lt "$c10k_idle" ]; then
        echo "run.sh: no c10k rows: $c10k_idle idle clients need a descriptor hard limit above $((c10k_idle + 16)) (ulimit -Hn is $(ulimit -Hn))" >&2
        return 0
    fi
    numeric=1
    slots=$((c10k_idle + 16))
    for round in $(seq "$c10k_rounds"); do
        echo "  pairs, 8 clients, alone and beside $c10k_idle idle clients, round $round" >&2
        start ours
        c10k_pairs alone "$round"
        if start_holder --clients "$c10k_idle" --sources "$c10k_sources"; then
            c10k_pairs beside "$round"
            stop_holder
        else
            failures=$((failures + 1))
        fi
        stop
    done
    for workload_row in "broadcast 1000 1" "pairs 1000 16" "pairs $c10k_idle 16"; do
        set -- $workload_row
        slots=$(($2 + 16))
        echo "  $1, $2 active clients, ours" >&2
        measure ours c10kactive --workload "$1" --clients "$2" --window "$3" --sources "$c10k_sources" \
            --seconds "$seconds"
    done
    for n in "$c10k_idle" "$most"; do
        slots=$((n + 16))
        for clients in 0 "$n"; do
            echo "  memory, $clients idle clients, room for $slots, ours" >&2
            measure ours "c10kmem$n" --workload idle --clients "$clients" --sources "$c10k_sources" --seconds 2
        done
    done
    slots=
    numeric=
    if tls_ready; then
        for round in $(seq "$c10k_rounds"); do
            for kind in ours stunnel; do
                tls_measure "$kind" c10ktls broadcast 63
            done
        done
    fi
}
c10k_pairs() { # alone | beside, round
    if ! "$loadgen" --port "$port" --server-pid "$server_pid" --label "ours/c10k$1$2" \
        --workload pairs --clients 8 --seconds "$seconds" >>"$csv"; then
        echo "run.sh: the pairs $1 failed" >&2
        failures=$((failures + 1))
    fi
}
c10k_table() {
    awk -F, -v idle="$c10k_idle" -v most="$(c10k_most)" -v sources="$c10k_sources" -v hard="$(ulimit -Hn)" '
function median(v, n,    i, j, t) {
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
{
    split($col["label"], part, "/"); kind = part[1]; tag = part[2]
    delivered = $col["delivered"]
    bad = $col["lost"] + $col["duplicated"] + $col["reordered"] + $col["corrupted"]
}
tag ~ /^c10k(alone|beside)[0-9]+$/ {
    side = tag ~ /alone/ ? "alone" : "beside"
    round = substr(tag, side == "alone" ? 10 : 11) + 0
    rate[side, round] = $col["deliveries_per_s"]; p50[side, round] = $col["p50_us"]
    per[side, round] = delivered > 0 ? $col["server_cpu_s"] * 1e6 / delivered : 0
    errors[side, round] = bad
    if (round > rounds) rounds = round
}
tag == "c10kactive" {
    active[++m] = sprintf("%-10s %6d | %11.0f %9.0fus %9.0fus | %5.1f %8.2f %7d %7d", $col["workload"],
        $col["clients"], $col["deliveries_per_s"], $col["p50_us"], $col["p99_us"], $col["server_cpu_pct"],
        delivered > 0 ? $col["server_cpu_s"] * 1e6 / delivered : 0, $col["server_peak_kb"], bad)
}
tag ~ /^c10kmem[0-9]+$/ { rss[substr(tag, 8) + 0, $col["clients"] + 0] = $col["server_rss_kb"] }
tag == "c10ktls" { tls[kind, ++tls_n[kind]] = $col["deliveries_per_s"]; tls_bad += kind == "ours" ? bad : 0 }
END {
    if (rounds == 0 && m == 0 && length(rss) == 0 && tls_n["ours"] == 0) exit
    printf "\n%d idle clients (our server with --numeric, clients from %d loopback addresses):\n", idle, sources
    printf "pairs, 8 clients, window 16, alone and beside %d idle logged-in clients (another loadgen):\n", idle
    printf "%5s | %10s %10s %6s | %9s %9s %6s | %11s %11s %6s | %6s\n", "round", "alone/s", "beside/s",
           "ratio", "p50 alone", "p50 bes.", "ratio", "us/d alone", "us/d beside", "ratio", "errors"
    k = 0
    for (r = 1; r <= rounds; r++) {
        if (!(("alone", r) in rate) || !(("beside", r) in rate) || rate["alone", r] <= 0) continue
        k++
        q_rate[k] = rate["beside", r] / rate["alone", r]
        q_p50[k] = p50["alone", r] > 0 ? p50["beside", r] / p50["alone", r] : 0
        q_per[k] = per["alone", r] > 0 ? per["beside", r] / per["alone", r] : 0
        printf "%5d | %10.0f %10.0f %6.2f | %7.0fus %7.0fus %6.2f | %11.2f %11.2f %6.2f | %6d\n", r,
               rate["alone", r], rate["beside", r], q_rate[k], p50["alone", r], p50["beside", r], q_p50[k],
               per["alone", r], per["beside", r], q_per[k], errors["alone", r] + errors["beside", r]
    }
    if (k > 0)
        printf "median of %d: deliveries %.2fx (target >= 0.9x), p50 %.2fx (target <= 1.2x), server CPU per delivery %.2fx (target <= 1.15x)\n",
               k, median(q_rate, k), median(q_p50, k), median(q_per, k)
    printf "(us/d: the server'"'"'s CPU microseconds per delivery, from /proc)\n"
    printf "\nactive clients, ours, each server given room for N + 16:\n"
    printf "%-10s %6s | %11s %11s %11s | %5s %8s %7s %7s\n", "workload", "N", "ours/s", "p50", "p99",
           "cpu%", "us/d", "KiB", "errors"
    for (i = 1; i <= m; i++) print active[i]
    printf "\nserver memory (VmRSS) per idle session, each count against 0 clients with the same room:\n"
    for (n = 0; n <= 1; n++) {
        count = n == 0 ? idle : most
        if (rss[count, 0] > 0 && rss[count, count] > 0)
            printf "  %6d clients: %d KiB with 0, %d KiB with %d: %.0f bytes per session%s\n", count,
                   rss[count, 0], rss[count, count], count, (rss[count, count] - rss[count, 0]) * 1024 / count,
                   n == 1 ? " (descriptor hard limit " hard ")" : ""
        else
            printf "  %6d clients: not measured\n", count
    }
    k = 0
    line = ""
    for (i = 1; i <= tls_n["ours"] && i <= tls_n["stunnel"]; i++)
        if (tls["stunnel", i] > 0) {
            q_tls[++k] = tls["ours", i] / tls["stunnel", i]
            line = line sprintf(" %.0f/%.0f = %.2f,", tls["ours", i], tls["stunnel", i], q_tls[k])
        }
    if (k > 0)
        printf "\nTLS broadcast, 63 clients, ours / stunnel before our plain port, deliveries/s:%s median %.2fx (target >= 1.0x); errors at ours %d\n",
               line, median(q_tls, k), tls_bad
}' "$csv"
}

"$loadgen" --csv-header >"$csv"
if [ "$rows" != all ]; then
    for row in $rows; do
        case $row in
        idle) idle_rows ;;
        partial) partial_rows ;;
        tls) tls_rows ;;
        metrics) metrics_rows ;;
        nats) nats_rows ;;
        c10k) c10k_rows ;;
        sessions) sessions_rows ;;
        logins) logins_rows ;;
        cluster) cluster_rows ;;
        ws) ws_rows ;;
        *) echo "run.sh: ROWS may name idle, partial, tls, metrics, nats, c10k, sessions, logins, cluster and ws" >&2; exit 2 ;;
        esac
    done
    case " $rows " in *" idle "* | *" partial "*) rest_table ;; esac
    tls_table
    case " $rows " in *" metrics "*) metrics_table ;; esac
    nats_table
    c10k_table
    case " $rows " in *" sessions "*) sessions_table ;; esac
    logins_table
    cluster_table
    ws_table
    exit $((failures > 0))
fi
started=$(date +%s)
for workload in $workloads; do
    for n in $counts; do
        for kind in ours fixed ncat; do
            echo "  $workload, $n clients, $kind" >&2
            measure "$kind" "" --workload "$workload" --clients "$n" --seconds "$seconds"
        done
    done
done
for kind in ours fixed ncat; do
    echo "  latency, one frame in flight, $kind" >&2
    measure "$kind" "" --workload fanout --clients 2 --window 1 --seconds "$seconds"
done
for kind in ours fixed; do
    echo "  bursts of 100 frames, $kind" >&2
    measure "$kind" "" --workload burst --bursts 30
done
idle_rows
partial_rows
sessions_rows
tls_rows
logins_rows

# ---- at scale ---------------------------------------------------------------
# A broadcast among N clients keeps N * (N - 1) * window deliveries on the
# way: with the usual 16 frames per sender, 16 million at N = 1000, more
# than loadgen reads before its deadline. One frame per sender there.
for workload in broadcast pairs; do
    window=16
    [ "$workload" = broadcast ] && window=1
    for n in $scale_counts; do
        slots=$((n + 10))
        for kind in ours ncat; do
            echo "  $workload, $n clients, $kind (room for $slots)" >&2
            measure "$kind" scale --workload "$workload" --clients "$n" --window "$window" --seconds "$seconds"
        done
    done
done
slots=
for kind in ours ncat; do
    echo "  bursts of 2000 frames, $kind" >&2
    measure "$kind" burst2000 --workload burst --bursts 10 --burst-frames 2000
    echo "  1 MiB backlogs (16384 frames of 64 bytes), $kind" >&2
    measure "$kind" backlog --workload burst --bursts 5 --burst-frames 16384
done
# Both with the same room, so what the room itself costs is not counted
# as the clients'.
slots=$((idle_clients + 10))
for n in 0 "$idle_clients"; do
    echo "  memory, $n idle clients, ours" >&2
    measure ours memory --workload idle --clients "$n" --seconds 2
done
slots=

# strace stops the server at every syscall, so the rate under it means
# nothing; the count per delivered frame does. The set-up's few hellos are
# counted too.
syscalls=
if command -v strace >/dev/null; then
    echo "  syscalls, broadcast, 8 clients, ours under strace" >&2
    start ours
    strace -f -c -U calls,name -o "$work/strace.txt" -p "$server_pid" 2>/dev/null &
    strace_pid=$!
    if "$loadgen" --port "$port" --server-pid "$server_pid" --label ours/strace \
        --workload broadcast --clients 8 --seconds "$seconds" >>"$csv"; then
        kill -INT "$strace_pid"
        wait "$strace_pid" || true
        syscalls=$(awk '$2 == "total" { print $1 }' "$work/strace.txt")
    else
        echo "run.sh: the broadcast under strace failed" >&2
        failures=$((failures + 1))
        kill "$strace_pid" 2>/dev/null || true
        wait "$strace_pid" || true
    fi
    strace_pid=
    stop
else
    echo "run.sh: strace is not installed; no syscall count" >&2
fi

# The soak test starts its own server from the test build (build/, not the
# release build above) and prints that server's peak memory.
soak_kb=
if [ -x "$soak_test" ]; then
    echo "  soak, 20 s ($soak_test)" >&2
    if ! soak_out=$(cd "$work" && QM_SOAK_SECONDS=20 "$soak_test" 2>&1); then
        echo "run.sh: the soak test failed" >&2
        failures=$((failures + 1))
    fi
    soak_kb=$(printf '%s\n' "$soak_out" | sed -n 's/^soak: server memory VmHWM \([0-9]*\) kB.*/\1/p')
else
    echo "run.sh: no soak test at $soak_test (build the tests there, or set SOAK_TEST); no soak row" >&2
fi

nats_rows
c10k_rows
cluster_rows
ws_rows

# ---- the table ------------------------------------------------------------
awk -F, -v idle="$idle_clients" -v syscalls="$syscalls" -v soak_kb="$soak_kb" '
# A burst row: median times; ratio = ncat time / our time, so above 1 is faster.
function burst_row(key, what,    ours, ncat) {
    ours = ("ours", key) in t_ms ? sprintf("%.2f ms", t_ms["ours", key]) : "failed"
    ncat = ("ncat", key) in t_ms ? sprintf("%.2f ms", t_ms["ncat", key]) : "failed"
    printf "%s: ours %s, ncat %s, ratio %s; errors at ours %d\n", what, ours, ncat,
           (t_ms["ours", key] > 0 && t_ms["ncat", key] > 0 ? sprintf("%.2f", t_ms["ncat", key] / t_ms["ours", key]) : "-"),
           t_bad["ours", key]
}
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
# Tagged rows (kind/tag) belong to the tables at scale.
$col["label"] ~ /\// {
    split($col["label"], part, "/")
    kind = part[1]
    key = part[2] "," $col["workload"] "," $col["clients"]
    t_rate[kind, key] = $col["deliveries_per_s"]
    t_p99[kind, key] = $col["p99_us"]
    t_cpu[kind, key] = $col["server_cpu_pct"]
    t_peak[kind, key] = $col["server_peak_kb"]
    t_rss[kind, key] = $col["server_rss_kb"]
    t_ms[kind, key] = $col["burst_ms"]
    t_delivered[kind, key] = $col["delivered"]
    t_bad[kind, key] = $col["lost"] + $col["duplicated"] + $col["reordered"] + $col["corrupted"]
    if (part[2] == "scale" && !(key in t_seen)) { t_seen[key] = 1; scale[++m] = key }
    next
}
{
    # The fan-out with one frame in flight is the latency measurement.
    workload = $col["window"] == 1 ? "latency" : $col["workload"]
    key = workload "," $col["clients"]
    kind = $col["label"]
    rate[kind, key] = $col["deliveries_per_s"]
    p99[kind, key] = $col["p99_us"]
    cpu[kind, key] = $col["server_cpu_pct"]
    own[kind, key] = $col["loadgen_cpu_pct"]
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
    # Loadgen is one thread: at its own cost per delivery in our run, our
    # server could outrun ncat by at most ratio * 100 / (the share of a core
    # loadgen used), however little CPU the server itself took.
    printf "CPU during each run, %% of one core; ceiling: the ratio to ncat at which\n"
    printf "loadgen would need a whole core at its cost per delivery in our run:\n"
    printf "%-10s %3s | %6s %8s | %6s %8s | %6s %7s\n",
           "workload", "N", "ours", "loadgen", "ncat", "loadgen", "ratio", "ceiling"
    for (i = 1; i <= n; i++) {
        key = order[i]; split(key, part, ",")
        if (part[1] == "burst" || part[1] == "idle") continue
        ratio = rate["ncat", key] > 0 ? rate["ours", key] / rate["ncat", key] : 0
        ceiling = own["ours", key] > 0 ? ratio * 100 / own["ours", key] : 0
        printf "%-10s %3d | %6.1f %8.1f | %6.1f %8.1f | %6.2f %7.2f\n", part[1], part[2],
               cpu["ours", key], own["ours", key], cpu["ncat", key], own["ncat", key], ratio, ceiling
    }
    printf "\n"
    zero = burst["ours"]; fixed = burst["fixed"]
    printf "burst of 100 frames in one write, median of 30: zero wait %.3f ms, fixed wait %.3f ms, %.1fx faster\n",
           zero, fixed, (zero > 0 ? fixed / zero : 0)
    printf "p99 latency, 2 clients, one frame in flight: ours %.0f us, fixed wait %.0f us, ncat %.0f us\n",
           p99["ours", "latency,2"], p99["fixed", "latency,2"], p99["ncat", "latency,2"]
    printf "idle CPU of our server: %.2f%% with 0 clients, %.2f%% with 63 idle clients (fixed wait: %.2f%%, %.2f%%)\n",
           cpu["ours", "idle,0"], cpu["ours", "idle,63"], cpu["fixed", "idle,0"], cpu["fixed", "idle,63"]

    printf "\nat scale, each relay given room for N + 10 clients:\n"
    printf "%-10s %4s | %11s %11s %6s | %9s %9s | %5s %7s %7s\n",
           "workload", "N", "ours/s", "ncat/s", "ratio", "p99 ours", "p99 ncat", "cpu%", "KiB", "errors"
    for (i = 1; i <= m; i++) {
        key = scale[i]; split(key, part, ",")
        # A relay that could not even set its clients up has no figures.
        ours = ("ours", key) in t_rate ? sprintf("%.0f", t_rate["ours", key]) : "failed"
        ncat = ("ncat", key) in t_rate ? sprintf("%.0f", t_rate["ncat", key]) : "failed"
        ratio = t_rate["ncat", key] > 0 ? sprintf("%.2f", t_rate["ours", key] / t_rate["ncat", key]) : "-"
        printf "%-10s %4d | %11s %11s %6s | %7.0fus %7.0fus | %5.1f %7d %7d\n",
               part[2], part[3], ours, ncat, ratio,
               t_p99["ours", key], t_p99["ncat", key], t_cpu["ours", key], t_peak["ours", key], t_bad["ours", key]
    }
    printf "\n"
    burst_row("burst2000,burst,2", "burst of 2000 frames in one write, median of 10")
    burst_row("backlog,burst,2", "1 MiB backlog (16384 frames of 64 bytes) in one write, median of 5")
    zero_kb = t_rss["ours", "memory,idle,0"]; many_kb = t_rss["ours", "memory,idle," idle]
    if (zero_kb > 0 && many_kb > 0)
        printf "server memory (VmRSS): %d KiB with 0 clients, %d KiB with %d idle clients: %.0f bytes per client\n",
               zero_kb, many_kb, idle, (many_kb - zero_kb) * 1024 / idle
    else
        printf "server memory with idle clients: not measured\n"
    strace_key = "strace,broadcast,8"
    if (syscalls > 0 && t_delivered["ours", strace_key] > 0)
        printf "syscalls per delivered frame, broadcast, 8 clients: %.3f (%d syscalls, %d frames delivered)\n",
               syscalls / t_delivered["ours", strace_key], syscalls, t_delivered["ours", strace_key]
    else
        printf "syscalls per delivered frame: not measured (strace missing or failed)\n"
    if (soak_kb > 0)
        printf "soak test, 20 s: server peak memory (VmHWM) %d KiB\n", soak_kb
    else
        printf "soak test: not run\n"
}' "$csv" | tee "$out/table.txt"
rest_table | tee -a "$out/table.txt"
sessions_table | tee -a "$out/table.txt"
tls_table | tee -a "$out/table.txt"
logins_table | tee -a "$out/table.txt"
nats_table | tee -a "$out/table.txt"
c10k_table | tee -a "$out/table.txt"
cluster_table | tee -a "$out/table.txt"
ws_table | tee -a "$out/table.txt"

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
