#!/usr/bin/env bash
# The full load run: a release build of vindral-server on loopback behind a fake exchange,
# 1000 sessions long-polling at once for 20 seconds. Prints the delivery delays, the upstream
# traffic, the server's CPU time and memory; exits non-zero when a session missed a price, a
# request failed or the upstream traffic grew with the sessions. Further options go to the
# driver: --live (the server follows fake streams that push a price per second) and
# --sources N (clients spread over 127.0.0.1 to 127.0.0.N).
#   server/load/run-load.sh [SESSIONS] [SECONDS] [--live] [--sources N]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

sessions=${1:-1000}
seconds=${2:-20}
shift $(($# < 2 ? $# : 2))
build=build/server-release

if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ >/dev/null
fi
cmake --build "$build" -j2 --target vindral-server vindral-server-load
# Each session holds a connection on both ends of the loopback.
ulimit -n "$(ulimit -Hn)"
"$build/server/vindral-server-load" --server "$build/server/vindral-server" \
    --sessions "$sessions" --seconds "$seconds" "$@"
