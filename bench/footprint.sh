#!/usr/bin/env bash
# What vindral.exe costs under Wine beside a minimal window of our own (bench/footprint.py):
# memory, threads, CPU and context switches at 1 s and 5 s intervals against a demo price server
# on loopback. Not part of `make test`; about 80 s per row with the default times.
#   bench/footprint.sh                      baseline, then 1 s and 5 s, once
#   bench/footprint.sh --repeat 2 --live    twice, each round also on pushed boards (4 a second)
#   bench/footprint.sh --warmup 5 --seconds 15   shorter
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake --preset win64 >/dev/null
nice cmake --build --preset win64 --target vindral vindral_e2e_driver vindral_baseline_window
cmake --preset bench >/dev/null
nice cmake --build --preset bench --target vindral-server vindral_live_pusher

exec python3 bench/footprint.py \
    --exe build/win64/ui/vindral.exe \
    --driver build/win64/tests/e2e/vindral_e2e_driver.exe \
    --baseline build/win64/bench/vindral_baseline_window.exe \
    --server build/bench/server/vindral-server \
    --pusher build/bench/bench/vindral_live_pusher \
    --work build/footprint "$@"
