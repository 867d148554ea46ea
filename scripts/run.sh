#!/usr/bin/env bash
# make run: builds vindral-server (native preset) and vindral.exe (win64 preset), starts
# `vindral-server --demo` on a loopback port and runs vindral.exe under Wine against it, in a
# private prefix under build/run. With a DISPLAY the window shows there until it is closed;
# without one it runs on a private Xvfb, leaves build/run-screenshot.png and closes. The server
# stops when the window closes. Nothing reaches beyond 127.0.0.1.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake --preset native >/dev/null
cmake --build --preset native --target vindral-server
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target vindral vindral_e2e_driver

exec python3 scripts/vindral_demo.py run \
    --server build/native/server/vindral-server \
    --exe build/win64/ui/vindral.exe \
    --driver build/win64/tests/e2e/vindral_e2e_driver.exe \
    --work build/run \
    --screenshot build/run-screenshot.png
