#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix: wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is created once and kept; one persistent wineserver serves every run, started with
# its output on /dev/null, because Wine's helper processes inherit the output of the first wine
# program and a reader of that pipe (ctest) would otherwise wait for the server to exit.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

mkdir -p "$(dirname "$prefix")"
{
    flock 9
    if [ ! -f "$prefix/.vindral-ready" ]; then
        wineboot -i </dev/null >/dev/null 2>&1 9>&-
        wine reg import "$(winepath -w "$here/wine-fonts-ko.reg")" </dev/null >/dev/null 2>&1 9>&-
        wineserver -k </dev/null >/dev/null 2>&1 9>&- || true
        touch "$prefix/.vindral-ready"
    fi
    # The lock's descriptor is closed for every Wine process: the persistent server would
    # otherwise inherit it and hold the lock for ever.
    # Exit status 0: a new server was started (2: one is already running).
    if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
} 9>"$prefix.lock"

exec wine "$@"
