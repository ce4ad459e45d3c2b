#!/usr/bin/env bash
# Builds the release packages and checks each:
# - the .deb the Debian way (dpkg-buildpackage with debhelper, from debian/),
#   checked by lintian, which must report no error and no warning;
# - the .tar.gz for Linux (build-package/, CPack, the linux preset's
#   settings without the tests);
# - the .zip with the statically linked QuillmarshSrv.exe (build-windows/).
# Every package lands in build-package/ or build-windows/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
cd "$root"

version=$(sed -n 's/^project(QuillmarshServer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog_version=$(dpkg-parsechangelog -S Version)
if [ "$changelog_version" != "$version" ]; then
    echo "debian/changelog says $changelog_version, CMakeLists.txt $version" >&2
    exit 1
fi

mkdir -p build-package
# dpkg-buildpackage writes next to the source tree; the results are moved in.
DEB_BUILD_OPTIONS="parallel=$jobs" dpkg-buildpackage -us -uc -b >build-package/dpkg-buildpackage.txt 2>&1 ||
    { tail -n 40 build-package/dpkg-buildpackage.txt >&2; exit 1; }
arch=$(dpkg --print-architecture)
for built in ../quillmarsh-server_"${version}"_"$arch".{deb,buildinfo,changes} \
             ../quillmarsh-server-dbgsym_"${version}"_"$arch".deb; do
    mv -f "$built" build-package/
done
debian/rules clean >/dev/null
deb="build-package/quillmarsh-server_${version}_${arch}.deb"
# --fail-on warning: a warning fails the build as an error does.
lintian --fail-on error,warning "$deb"

cmake --preset linux -B build-package -DBUILD_TESTING=OFF
cmake --build build-package -j "$jobs"
cpack --config build-package/CPackConfig.cmake -B build-package
cmake --preset windows-cross
cmake --build --preset windows-cross -j "$jobs"
cpack --preset windows-cross

holds() {
    local listing=$1 entry=$2
    grep -q -- "$entry" <<<"$listing" || { echo "missing from a package: $entry" >&2; exit 1; }
}
listing=$(dpkg-deb -c "$deb")
holds "$listing" '\./usr/bin/QuillmarshSrv$'
holds "$listing" '\./usr/bin/qmclient$'
holds "$listing" '\./usr/bin/qmpasswd$'
holds "$listing" '\./lib/systemd/system/quillmarsh.service$'
holds "$listing" '\./etc/quillmarsh/quillmarsh\.toml$'
holds "$listing" '\./etc/logrotate\.d/quillmarsh$'
holds "$listing" '\./usr/share/man/man1/QuillmarshSrv\.1\.gz$'
holds "$listing" '\./usr/share/doc/quillmarsh-server/copyright$'
holds "$(tar tzf "build-package/quillmarsh-server-${version}-Linux.tar.gz")" '/bin/QuillmarshSrv$'
holds "$(cmake -E tar tf "build-windows/quillmarsh-server-${version}-win64.zip")" '/bin/QuillmarshSrv.exe$'
holds "$(cmake -E tar tf "build-windows/quillmarsh-server-${version}-win64.zip")" '/bin/qmpasswd.exe$'
ls -l "$deb" build-package/*.tar.gz build-windows/*.zip
