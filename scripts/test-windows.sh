#!/usr/bin/env bash
# Cross-builds the release QuillmarshSrv.exe with mingw-w64 and runs the
# end-to-end suite against it under wine: the suite is built natively in
# build/, and every server it starts is the Windows executable.
#
# Needs: cmake, g++, libgtest-dev, g++-mingw-w64-x86-64, wine (wine64).
# Wine keeps its own prefix in build-windows/wineprefix; the wineserver of
# that prefix, and every Windows process in it, is stopped on the way out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
exe="$root/build-windows/QuillmarshSrv.exe"

cmake -S "$root" -B "$root/build-windows" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
cmake --build "$root/build-windows" --target QuillmarshSrv -j "$jobs"

# A bare Windows machine has only the system's DLLs: anything else linked
# dynamically (the C++ runtime, libgcc, winpthread) would stop it starting.
foreign=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}' |
    grep -viE '^(kernel32|msvcrt|ws2_32|user32|advapi32|bcrypt|crypt32|ucrtbase|api-ms-win-.*)\.dll$' || true)
if [ -n "$foreign" ]; then
    echo "QuillmarshSrv.exe needs DLLs that Windows does not ship: $foreign" >&2
    exit 1
fi

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" --target e2e_tests -j "$jobs"

export WINEPREFIX="$root/build-windows/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No .NET or HTML engine prompts while the prefix is made.
export WINEDLLOVERRIDES="mscoree=;mshtml="
wineserver_log="$root/build-windows/wineserver.log"
# Wine's processes of this prefix: wine binaries whose environment names it.
prefix_processes() {
    local pid
    for pid in $(grep -lsxzF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ | cut -d/ -f3); do
        case $(readlink "/proc/$pid/exe" 2>/dev/null) in
            */wine*) echo "$pid" ;;
        esac
    done
}
stop_wine() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    # A wineserver that crashed leaves its services behind: end them too.
    local pids
    pids=$(prefix_processes)
    if [ -n "$pids" ]; then
        kill -KILL $pids 2>/dev/null || true
    fi
}
start_wineserver() {
    wineserver -p 2>>"$wineserver_log"
    wineserver_pid=$(for pid in $(prefix_processes); do
        case $(readlink "/proc/$pid/exe") in */wineserver*) echo "$pid" ;; esac
    done)
}
wineserver_crashed() {
    ! kill -0 "$wineserver_pid" 2>/dev/null
}
trap stop_wine EXIT

started=$(date +%s.%N)
# One wineserver stays up for the whole run, and the first start of a fresh
# prefix, which takes seconds, happens here: no test waits for either.
stop_wine
mkdir -p "$WINEPREFIX"
: >"$wineserver_log"
start_wineserver
wineboot -i >/dev/null 2>&1
banner=$(wine "$exe" | tr -d '\r' | head -n 1)
version=$(sed -n 's/^project(QuillmarshServer VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
if [ "$banner" != "QuillmarshServer version $version" ]; then
    echo "QuillmarshSrv.exe did not start under wine (printed: '$banner')" >&2
    exit 1
fi
warmed=$(date +%s.%N)

# One test at a time: wine 8's wineserver has been seen to fail its own
# assertions in socket polling now and then, and a crash of it ends every
# Windows process of the prefix, so the fewer run at once the fewer it takes.
export QM_SERVER_COMMAND="wine $exe"
status=0
ctest --test-dir "$root/build" -L e2e --output-on-failure || status=$?
if [ "$status" -ne 0 ] && wineserver_crashed; then
    # Not the server's fault: run what failed once more, on a fresh wineserver.
    echo "wineserver crashed during the run:" >&2
    grep -v '^0x' "$wineserver_log" >&2 || true
    echo "running the failed tests once more" >&2
    stop_wine
    : >"$wineserver_log"
    start_wineserver
    status=0
    ctest --test-dir "$root/build" -L e2e --output-on-failure --rerun-failed || status=$?
fi
finished=$(date +%s.%N)

awk -v s="$started" -v w="$warmed" -v f="$finished" 'BEGIN {
    printf "wine run: %.1f s in all (prefix and first start %.1f s, e2e suite %.1f s)\n",
           f - s, w - s, f - w }'
exit "$status"
