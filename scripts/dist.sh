#!/usr/bin/env bash
# Builds the release packages into dist/: vindral-<version>-win64.zip (vindral.exe, the Korean
# guide and the licence as Windows text, SHA256SUMS) and vindral-server_<version>_amd64.deb.
# Works from a clean clone: it configures and builds what it needs itself.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

jobs=${VINDRAL_DIST_JOBS:-2}

echo "== vindral.exe (win64)"
cmake --preset win64 >/dev/null
nice cmake --build --preset win64 --target vindral -j "$jobs"

echo "== vindral-server (release)"
# The install step builds only the server, not the tests around it.
cmake -S . -B build/dist-server -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
nice cmake --build build/dist-server --target vindral-server vindral_server_package_files -j "$jobs"

version=$(sed -n 's/^#define VINDRAL_VERSION "\(.*\)"$/\1/p' build/win64/generated/vindral_version.h)
[ -n "$version" ] || { echo "dist: no version in build/win64/generated/vindral_version.h" >&2; exit 1; }

rm -rf dist build/dist-zip
mkdir -p dist build/dist-zip

# Windows text: CRLF line ends, and a UTF-8 byte-order mark so that every Notepad reads Hangul.
windows_text() { printf '\xef\xbb\xbf'; sed 's/\r*$/\r/' "$1"; }

stage=build/dist-zip
cp build/win64/ui/vindral.exe "$stage/"
windows_text docs/guide-ko.md >"$stage/guide-ko.txt"
windows_text LICENSE >"$stage/LICENSE.txt"
(cd "$stage" && sha256sum vindral.exe guide-ko.txt LICENSE.txt >SHA256SUMS)
zip_name="vindral-$version-win64.zip"
(cd "$stage" && zip -q -X "../../dist/$zip_name" vindral.exe guide-ko.txt LICENSE.txt SHA256SUMS)

(cd build/dist-server && cpack -G DEB >/dev/null)
cp "build/dist-server/package/vindral-server_${version}_amd64.deb" dist/

(cd dist && sha256sum "$zip_name" "vindral-server_${version}_amd64.deb" >SHA256SUMS)
ls -l dist
