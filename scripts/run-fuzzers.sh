#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a while: run-fuzzers.sh BUILD_DIR SECONDS
# Each target fuzz_NAME starts from fuzz/corpus/NAME, copied into the build folder so that the
# inputs it discovers never land in the repository, with the tokens of fuzz/dict/NAME.dict if any.
# Exits non-zero if any target finds a crash, a leak, a sanitizer report or a time-out; the input
# that did it is kept in BUILD_DIR. Ends with one line per target: inputs run, inputs per second
# and coverage.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build=$(realpath "$1")
seconds=$2
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

mapfile -t fuzzers < <(find "$build/fuzz" -maxdepth 1 -type f -executable -name 'fuzz_*' | sort)
if [ ${#fuzzers[@]} -eq 0 ]; then
    echo "no fuzz targets in $build/fuzz" >&2
    exit 1
fi

status=0
summary=()
for fuzzer in "${fuzzers[@]}"; do
    name=$(basename "$fuzzer")
    name=${name#fuzz_}
    corpus="$build/fuzz-corpus/$name"
    artifacts="$build/fuzz-artifacts/$name"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    if [ -d "$repo/fuzz/corpus/$name" ]; then
        cp -r "$repo/fuzz/corpus/$name"/. "$corpus"
    fi
    dict=()
    if [ -f "$repo/fuzz/dict/$name.dict" ]; then
        dict=(-dict="$repo/fuzz/dict/$name.dict")
    fi
    log="$build/fuzz-artifacts/$name.log"
    echo "== fuzz_$name for ${seconds} s"
    result=ok
    if ! "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
        "${dict[@]}" -artifact_prefix="$artifacts/" "$corpus" 2>&1 | tee "$log"; then
        echo "fuzz_$name FAILED; reproducer in $artifacts" >&2
        result=FAILED
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)
    summary+=("$(printf '%-22s %-6s %10s runs %7s/s  %s' "fuzz_$name" "$result" "${runs:-?}" \
        "${rate:-?}" "${cov:-}")")
done
echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status
