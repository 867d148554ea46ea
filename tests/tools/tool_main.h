#pragma once

// What the two fake programs share: the command line and the wait for the end signal.

#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace vindral::tools {

struct ToolOptions {
    std::string fixturesDir = VINDRAL_SHARED_DIR "/fixtures/exchanges";
    std::optional<std::int64_t> holdMs;
};

// Accepts "--port 0" (the system picks the port, which is printed), "--fixtures DIR" and
// "--hold-ms N"; prints the usage and exits on anything else.
inline ToolOptions parseToolOptions(int argc, char** argv, const char* usage) {
    ToolOptions options;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--port") == 0 && hasValue) {
            // The loopback test server always binds a port of the system's choice.
            if (std::strcmp(argv[++i], "0") != 0) {
                std::fprintf(stderr, "only --port 0 is supported; the chosen port is printed\n");
                std::exit(2);
            }
        } else if (std::strcmp(argv[i], "--fixtures") == 0 && hasValue) {
            options.fixturesDir = argv[++i];
        } else if (std::strcmp(argv[i], "--hold-ms") == 0 && hasValue) {
            options.holdMs = std::strtoll(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
            std::exit(2);
        }
    }
    return options;
}

// Blocks SIGINT and SIGTERM in every thread started after this call, so that waitForEndSignal
// receives them.
inline sigset_t blockEndSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

inline void printPortAndWait(const sigset_t& signals, std::uint16_t port) {
    std::printf("%u\n", static_cast<unsigned>(port));
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
}

}  // namespace vindral::tools
