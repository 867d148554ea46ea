// vindral-fake-server: the price server's session API on a loopback port, scripted over HTTP
// under /control/ (see tests/support/fake_price_server.h). Prints the port, runs until SIGINT or
// SIGTERM.
#include <chrono>

#include "tests/support/fake_price_server.h"
#include "tests/tools/tool_main.h"

int main(int argc, char** argv) {
    const auto options = vindral::tools::parseToolOptions(argc, argv, "[--port 0] [--hold-ms N]");
    const sigset_t signals = vindral::tools::blockEndSignals();
    vindral::test::FakePriceServer server;
    if (options.holdMs) {
        server.setHoldLimit(std::chrono::milliseconds(*options.holdMs));
    }
    vindral::tools::printPortAndWait(signals, server.port());
    return 0;
}
