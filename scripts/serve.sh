#!/usr/bin/env bash
# Builds the server if needed and starts it in the current directory, where
# its event log QuillmarshSrv.log.txt lands. Arguments: port login password.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target QuillmarshSrv -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
exec "$root/build/QuillmarshSrv" "$@"
