#!/usr/bin/env bash
# Builds the server and qmclient if needed (in build-serve/, without the
# tests, so a compiler and CMake are all it takes) and starts the server in
# the current directory, where its event log QuillmarshSrv.log.txt lands.
# Arguments: port login password (or any of the server's options first).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-serve
jobs=$(nproc 2>/dev/null || echo 2)
[ -d "$build" ] || echo "building... (the first build takes about a minute on 2 cores, later ones a few seconds)" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target QuillmarshSrv qmclient -j "$jobs" >/dev/null
# With the three plain arguments, say how a client reaches this server.
if [ $# -eq 3 ] && [[ $1 != --* ]]; then
    printf 'clients connect with: QM_LOGIN=%q QM_PASSWORD=%q %s --as NAME 127.0.0.1 %s\n' \
        "$2" "$3" "$build/tools/qmclient" "$1" >&2
fi
exec "$build/QuillmarshSrv" "$@"
