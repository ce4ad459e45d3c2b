#!/usr/bin/env bash
# Builds the release packages: a .deb and a .tar.gz for Linux (build-package/,
# the linux preset's settings without the tests, so build-linux keeps them)
# and a .zip with the statically linked QuillmarshSrv.exe (build-windows/),
# and checks that each holds the server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
cd "$root"

cmake --preset linux -B build-package -DBUILD_TESTING=OFF
cmake --build build-package -j "$jobs"
cpack --config build-package/CPackConfig.cmake -B build-package
cmake --preset windows-cross
cmake --build --preset windows-cross -j "$jobs"
cpack --preset windows-cross

version=$(sed -n 's/^project(QuillmarshServer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="build-package/quillmarsh-server_${version}_$(dpkg --print-architecture).deb"
holds() {
    local listing=$1 entry=$2
    grep -q -- "$entry" <<<"$listing" || { echo "missing from a package: $entry" >&2; exit 1; }
}
listing=$(dpkg-deb -c "$deb")
holds "$listing" '\./usr/bin/QuillmarshSrv$'
holds "$listing" '\./usr/bin/qmpasswd$'
holds "$listing" '\./usr/lib/systemd/system/quillmarsh.service$'
holds "$listing" '\./usr/share/quillmarsh/quillmarsh.env.example$'
holds "$listing" '\./etc/logrotate\.d/quillmarsh$'
holds "$(tar tzf "build-package/quillmarsh-server-${version}-Linux.tar.gz")" '/bin/QuillmarshSrv$'
holds "$(cmake -E tar tf "build-windows/quillmarsh-server-${version}-win64.zip")" '/bin/QuillmarshSrv.exe$'
holds "$(cmake -E tar tf "build-windows/quillmarsh-server-${version}-win64.zip")" '/bin/qmpasswd.exe$'
ls -l "$deb" build-package/*.tar.gz build-windows/*.zip
