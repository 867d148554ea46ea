#!/usr/bin/env bash
# Configures, builds and runs every test: native under the sanitizers, Windows under Wine, the
# release packages, then a short fuzzing run. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Seconds per fuzz target: the whole fuzz step stays under two minutes with every target.
fuzz_seconds=${VINDRAL_FUZZ_SECONDS:-8}

stop_wine() {
    if [ -d build/win64/wineprefix ]; then
        WINEPREFIX="$PWD/build/win64/wineprefix" wineserver -k >/dev/null 2>&1 || true
    fi
}
trap stop_wine EXIT

for preset in native native-tsan win64; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

echo "== dist"
scripts/dist.sh
scripts/dist-check.sh

echo "== bench (built and run once, briefly; not a measurement)"
bench/run-bench.sh --smoke

echo "== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/run-fuzzers.sh build/fuzz "$fuzz_seconds"
