#!/usr/bin/env bash
# A real Prometheus scrapes the server's metrics port once: the server and
# Prometheus both on loopback, a two-line scrape configuration, a scratch
# storage directory; passes when Prometheus's own API says the target is up.
# Bounded: gives up after a minute. Usage: scripts/ci-prometheus.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
server=$build/QuillmarshSrv
work=$(mktemp -d)
server_pid="" prometheus_pid=""
cleanup() {
    [ -n "$prometheus_pid" ] && kill "$prometheus_pid" 2>/dev/null && wait "$prometheus_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A free loopback port, chosen by the system.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
switch_port=$(free_port)
metrics_port=$(free_port)
web_port=$(free_port)

(cd "$work" && exec "$(cd "$OLDPWD" && realpath "$server")" --quiet --metrics "127.0.0.1:$metrics_port" \
    "$switch_port" ci ci-password >server.out 2>&1) &
server_pid=$!

cat >"$work/prometheus.yml" <<CONFIG
scrape_configs:
  - {job_name: quillmarsh, scrape_interval: 1s, static_configs: [{targets: ["127.0.0.1:$metrics_port"]}]}
CONFIG
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address="127.0.0.1:$web_port" >"$work/prometheus.out" 2>&1 &
prometheus_pid=$!

query="http://127.0.0.1:$web_port/api/v1/query?query=up%7Bjob%3D%22quillmarsh%22%7D"
for _ in $(seq 60); do
    sleep 1
    answer=$(curl -fsS --max-time 2 "$query" 2>/dev/null || true)
    if [[ $answer == *'"value":['*',"1"]'* ]]; then
        echo "ci-prometheus: Prometheus scraped the metrics port: up is 1"
        exit 0
    fi
done
echo "ci-prometheus: up never became 1; last answer: ${answer:-none}" >&2
tail -n 20 "$work/prometheus.out" "$work/server.out" >&2
exit 1
