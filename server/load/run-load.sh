#!/ usr / bin / env bash
#The full load run : a release build of vindral - server on loopback behind a fake exchange,
# 1000 sessions long - polling at once for 20 seconds.Prints the delivery delays, the upstream
#fetch count and the server's memory; exits non-zero when a session missed a price, a request
#failed or the upstream fetches grew beyond one session's.
#server / load / run - load.sh[SESSIONS][SECONDS]
set - euo pipefail cd "$(dirname " $ {
    BASH_SOURCE[0]
}
")/../.."

    sessions = ${1 : -1000} seconds = ${2 : -20} build = build / server - release

                                                         if[!-f "$build/build.ninja"];
then cmake - S.- B "$build" - G Ninja - DCMAKE_BUILD_TYPE =
    Release - DCMAKE_CXX_COMPILER =
        g++ > / dev / null fi cmake-- build "$build" - j2-- target vindral - server vindral -
                  server -
                  load
#Each session holds a connection on both ends of the loopback.
                      ulimit -
                  n
                  "$(ulimit -Hn)"
                  "$build/server/vindral-server-load" --server
                  "$build/server/vindral-server" --sessions "$sessions" --seconds "$seconds"
