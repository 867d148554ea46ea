#!/usr/bin/env bash
# Makes the README's pictures in docs/: the table view, mini mode, the initials strip, the
# context menu and the settings dialog, with vindral.exe under Wine on a private Xvfb against
# `vindral-server --demo` on a loopback port.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake --preset native >/dev/null
cmake --build --preset native --target vindral-server
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target vindral vindral_e2e_driver

exec python3 scripts/vindral_demo.py screenshots \
    --server build/native/server/vindral-server \
    --exe build/win64/ui/vindral.exe \
    --driver build/win64/tests/e2e/vindral_e2e_driver.exe \
    --work build/screenshots \
    --docs docs
