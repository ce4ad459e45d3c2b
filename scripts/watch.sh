#!/usr/bin/env bash
# A live line of a running switch, read from its metrics port, for an
# operator without Prometheus: sessions online, in the login dialogue and
# waiting, and frames received, dropped and delivered per second.
# Polls http://ADDRESS:PORT/metrics every second (or every INTERVAL seconds)
# with curl, or with bash's /dev/tcp where curl is missing.
# Usage: scripts/watch.sh ADDRESS:PORT [INTERVAL]
#   e.g. scripts/watch.sh 127.0.0.1:9100, scripts/watch.sh [::1]:9100 5
set -uo pipefail

if [ $# -lt 1 ] || [[ $1 != *:* ]]; then
    echo "usage: $0 ADDRESS:PORT [INTERVAL]" >&2
    exit 2
fi
target=$1
interval=${2:-1}
host=${target%:*}
port=${target##*:}
host=${host#[}
host=${host%]}

# The body of one GET /metrics, or a failure.
fetch_with_dev_tcp() {
    local line status=""
    exec 3<>"/dev/tcp/$host/$port" || return 1
    printf 'GET /metrics HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n' "$target" >&3
    # A server that stops answering costs two seconds a line, not the watch.
    IFS= read -r -t 2 status <&3 || { exec 3<&-; return 1; }
    [[ $status == "HTTP/1."?" 200 "* ]] || { exec 3<&-; return 1; }
    while IFS= read -r -t 2 line <&3 && [ -n "${line%$'\r'}" ]; do :; done
    while IFS= read -r -t 2 line <&3 || [ -n "$line" ]; do
        printf '%s\n' "$line"
    done
    exec 3<&-
}

fetch() {
    if command -v curl >/dev/null 2>&1; then
        curl -fsS --max-time 2 "http://$target/metrics" 2>/dev/null
    else
        fetch_with_dev_tcp 2>/dev/null
    fi
}

# "online dialogue waiting frames drops deliveries" from an exposition.
summarize() {
    awk '
        /^quillmarsh_sessions\{state="online"\} /   { online = $2 }
        /^quillmarsh_sessions\{state="dialogue"\} / { dialogue = $2 }
        /^quillmarsh_sessions\{state="waiting"\} /  { waiting = $2 }
        /^quillmarsh_frames_received_total /        { frames = $2; seen = 1 }
        /^quillmarsh_frames_dropped_total\{/        { drops += $2 }
        /^quillmarsh_deliveries_total /             { deliveries = $2 }
        END {
            if (!seen) exit 1
            printf "%d %d %d %d %d %d\n", online, dialogue, waiting, frames, drops, deliveries
        }'
}

now_us() {
    if [ -n "${EPOCHREALTIME:-}" ]; then
        echo "${EPOCHREALTIME//[!0-9]/}"
    else
        echo "$(date +%s)000000"
    fi
}

# Per second between two readings of a counter, to a tenth, so that a
# quiet switch does not read as 0 (3 frames in 10 s: 0.3); "-" after a
# restart.
rate() {
    local delta=$(($2 - $1)) elapsed_us=$3 tenths
    if [ "$delta" -lt 0 ] || [ "$elapsed_us" -le 0 ]; then
        echo "-"
    else
        tenths=$(((delta * 10000000 + elapsed_us / 2) / elapsed_us))
        echo "$((tenths / 10)).$((tenths % 10))"
    fi
}

if [ -t 1 ]; then
    show() { printf '\r%s\033[K' "$1"; }
    trap 'echo; exit 0' INT TERM
else
    show() { printf '%s\n' "$1"; }
fi

previous=""
previous_us=0
while :; do
    stamp=$(date +%H:%M:%S)
    taken_us=$(now_us)
    if reading=$(fetch | summarize); then
        read -r online dialogue waiting frames drops deliveries <<<"$reading"
        line="$stamp  online $online  dialogue $dialogue  waiting $waiting"
        if [ -n "$previous" ]; then
            read -r _ _ _ frames0 drops0 deliveries0 <<<"$previous"
            elapsed=$((taken_us - previous_us))
            line+="  frames/s $(rate "$frames0" "$frames" "$elapsed")"
            line+="  drops/s $(rate "$drops0" "$drops" "$elapsed")"
            line+="  deliveries/s $(rate "$deliveries0" "$deliveries" "$elapsed")"
        fi
        previous=$reading
        previous_us=$taken_us
    else
        line="$stamp  no metrics from $target"
        previous=""
    fi
    show "$line"
    sleep "$interval"
done
