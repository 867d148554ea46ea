// vindral-server: one machine polls the exchanges, every Vindral window on the network mirrors
// it through sessions and long polls. Runs until SIGINT or SIGTERM; SIGHUP (a service manager's
// reload, a closed terminal) is logged and otherwise ignored, as there is nothing to reload.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "core/format.h"
#include "server/price_server.h"
#include "vindral_version.h"

namespace {

// Every session may hold two connections; the usual soft limit of 1024 descriptors is too few.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void logLine(std::string_view line) {
    std::cerr << "vindral-server: " << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--version") {
        std::cout << "vindral-server " << VINDRAL_VERSION << "\n";
        return 0;
    }
    std::string error;
    std::optional<vindral::ServerOptions> options = vindral::parseServerArgs(args, error);
    if (!options) {
        if (error.empty()) {
            std::cout << vindral::serverUsage();
            return 0;
        }
        std::cerr << "vindral-server: " << error << "\n" << vindral::serverUsage();
        return 2;
    }
    options->log = logLine;
    raiseDescriptorLimit();

    // The signals are taken by sigwait below; every thread started later inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const std::string address = options->listenAddress;
    std::unique_ptr<vindral::PriceServer> server = vindral::PriceServer::start(*options, error);
    if (!server) {
        logLine(error);
        return 1;
    }
    logLine("listening on " + address + ":" + std::to_string(server->port()) + ", prices from " +
            std::string(server->sourceName()));
    int received = 0;
    while (sigwait(&signals, &received) == 0 && received == SIGHUP)
        logLine("SIGHUP: nothing to reload, still running");
    logLine("stopping");
    server->stop();
    return 0;
}
