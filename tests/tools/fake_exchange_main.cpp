// vindral-fake-exchange: the five exchanges' ticker endpoints on a loopback port, scripted over
// HTTP under /control/ (see tests/support/fake_exchange.h). Prints the port, runs until SIGINT or
// SIGTERM.
#include "tests/support/fake_exchange.h"
#include "tests/tools/tool_main.h"

int main(int argc, char** argv) {
    const auto options =
        vindral::tools::parseToolOptions(argc, argv, "[--port 0] [--fixtures DIR]");
    const sigset_t signals = vindral::tools::blockEndSignals();
    vindral::test::FakeExchange exchange(options.fixturesDir);
    vindral::tools::printPortAndWait(signals, exchange.port());
    return 0;
}
