#!/usr/bin/env bash
# Builds the release packages: a .deb and a .tar.gz for Linux (build-linux/)
# and a .zip with the statically linked QuillmarshSrv.exe (build-windows/),
# and checks that each holds the server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
cd "$root"

cmake --preset linux -DBUILD_TESTING=OFF
cmake --build --preset linux -j "$jobs"
cpack --preset linux
cmake --preset windows-cross
cmake --build --preset windows-cross -j "$jobs"
cpack --preset windows-cross

version=$(sed -n 's/^project(QuillmarshServer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="build-linux/quillmarsh-server_${version}_$(dpkg --print-architecture).deb"
holds() {
    local listing=$1 entry=$2
    grep -q -- "$entry" <<<"$listing" || { echo "missing from a package: $entry" >&2; exit 1; }
}
listing=$(dpkg-deb -c "$deb")
holds "$listing" '\./usr/bin/QuillmarshSrv$'
holds "$listing" '\./usr/lib/systemd/system/quillmarsh.service$'
holds "$listing" '\./usr/share/quillmarsh/quillmarsh.env.example$'
holds "$(tar tzf "build-linux/quillmarsh-server-${version}-Linux.tar.gz")" '/bin/QuillmarshSrv$'
holds "$(cmake -E tar tf "build-windows/quillmarsh-server-${version}-win64.zip")" '/bin/QuillmarshSrv.exe$'
ls -l "$deb" build-linux/*.tar.gz build-windows/*.zip
