#!/usr/bin/env bash
# Builds the bench preset and runs the benchmarks: the JSON table pinned to one core, with
# repetitions (the medians are printed) run in a random interleaved order, so that a change in the
# machine's load falls on every reader alike, then the engine's freshness figures.
#   bench/run-bench.sh            the measurement (VINDRAL_BENCH_REPETITIONS, default 10)
#   bench/run-bench.sh --smoke    every benchmark once, briefly: proves they build and run
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake --preset bench >/dev/null
cmake --build --preset bench
programs=build/bench/bench

if [ "${1:-}" = "--smoke" ]; then
    "$programs/vindral_json_bench" --benchmark_min_time=0.001 >/dev/null
    "$programs/vindral_engine_freshness" --updates=20 >/dev/null
    echo "benchmarks built and ran"
    exit 0
fi

repetitions=${VINDRAL_BENCH_REPETITIONS:-10}
taskset -c 1 "$programs/vindral_json_bench" --benchmark_repetitions="$repetitions" --benchmark_min_time=0.2 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
echo
"$programs/vindral_engine_freshness" --updates=2000
