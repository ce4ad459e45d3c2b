#!/usr/bin/env bash
# Builds the server and qmclient if needed (in build-serve/, without the
# tests, so a compiler and CMake are all it takes) and starts the server in
# the current directory, where its event log QuillmarshSrv.log.txt lands.
# Arguments: port login password.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-serve
[ -d "$build" ] || echo "building..." >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target QuillmarshSrv qmclient -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
exec "$build/QuillmarshSrv" "$@"
