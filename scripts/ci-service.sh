#!/usr/bin/env bash
# CI, as root on a fresh Debian machine where no systemd runs: installs the
# .deb, runs the service's ExecStart line by hand as the service's user with
# the packaged configuration, logs in as a user that qmpasswd adds, edits
# the configuration and reloads with SIGHUP, stops the server, and purges
# the package, which must take its files and leave its user.
# Usage: scripts/ci-service.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "$1")
log=/var/log/quillmarsh/QuillmarshSrv.log.txt
config=/etc/quillmarsh/quillmarsh.toml
work=$(mktemp -d)
trap 'pkill -u quillmarsh -x QuillmarshSrv 2>/dev/null || true; rm -rf "$work"' EXIT

fail() {
    echo "ci-service: $*" >&2
    [ -e "$log" ] && tail -n 20 "$log" >&2
    exit 1
}

wait_for_log() {
    for _ in $(seq 100); do
        grep -aqF -- "$1" "$log" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "the log never said: $1"
}

apt-get install -y "$deb"
unit=/lib/systemd/system/quillmarsh.service
# Where systemd runs, the package started the service: it must be up, and
# is stopped for the run by hand. Elsewhere the unit is checked.
if [ -d /run/systemd/system ]; then
    systemctl is-active --quiet quillmarsh.service || fail "the service did not start on install"
    systemctl stop quillmarsh.service
else
    systemd-analyze verify "$unit"
fi
start_line=$(sed -n 's/^ExecStart=//p' "$unit")
cd "$(sed -n 's/^WorkingDirectory=//p' "$unit")"
# The unit's user and line, as systemd would run them (word splitting meant).
# shellcheck disable=SC2086
runuser -u quillmarsh -- $start_line &
wait_for_log "srv: starting server"
wait_for_log "srv: no users in /etc/quillmarsh/users: nobody can log in until qmpasswd adds one"
server=$(pgrep -u quillmarsh -x QuillmarshSrv)

printf 'ci-s3cret\n' | qmpasswd /etc/quillmarsh/users alice
# One key that takes effect at once, one that needs a restart.
sed -i 's/^#log-frames = false/log-frames = false/; s/^#max-clients = 63/max-clients = 100/' "$config"
QuillmarshSrv --check-config --config "$config"
kill -HUP "$server"
wait_for_log "srv: logins reloaded: 1 users"
wait_for_log "srv: reload: max-clients needs a restart"

export QM_LOGIN=alice QM_PASSWORD=ci-s3cret
qmclient --listen ci --count 1 --timeout 20 127.0.0.1 8023 >"$work/frames" 2>"$work/listener" &
listener=$!
for _ in $(seq 100); do grep -q 'listening as' "$work/listener" && break; sleep 0.1; done
qmclient --send 'job alice "ci" hello' 127.0.0.1 8023
wait "$listener" || fail "the listener did not get its frame: $(cat "$work/listener")"
[ "$(cat "$work/frames")" = 'job alice "ci" hello' ] || fail "the listener got: $(cat "$work/frames")"
wait_for_log "logged in: "
! grep -aq 'job alice' "$log" || fail "log-frames = false did not take effect at the reload"

kill -TERM "$server"
for _ in $(seq 50); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
wait_for_log "srv: stopping server"

apt-get purge -y quillmarsh-server
for gone in /etc/quillmarsh /var/log/quillmarsh /etc/logrotate.d/quillmarsh "$unit"; do
    [ ! -e "$gone" ] || fail "the purge left $gone"
done
id quillmarsh >/dev/null || fail "the purge took the system user, which Debian keeps"
echo "ci-service: installed, served, reloaded and purged"
