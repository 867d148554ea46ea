#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12; packages already present are skipped.
set -euo pipefail

packages=(
    cmake ninja-build make g++ clang libclang-rt-14-dev clang-format
    googletest libgtest-dev libgmock-dev libcurl4-openssl-dev libboost-dev libssl-dev
    g++-mingw-w64-x86-64-posix wine wine64 libgnutls30
    xvfb xdotool imagemagick x11-utils fonts-noto-cjk
    python3 openssl procps ccache systemd
    lintian zip dpkg-dev
    libbenchmark-dev rapidjson-dev nlohmann-json3-dev libsimdjson-dev util-linux libfast-float-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
$sudo apt-get update -q
# Recommends stay on: Wine needs libgnutls30 from them for HTTPS.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
