// vindral-server-load: the full load run. Starts the given vindral-server binary on loopback
// behind a fake exchange, drives it with many long-polling sessions for a bounded time, and
// prints the delivery figures, the upstream traffic and the server's CPU time and memory.
// With --live the server follows fake WebSocket streams that push a new price every second, its
// REST road going to a fake as well; without it, the server polls a fake REST exchange.
//
//   vindral-server-load --server PATH [--sessions 1000] [--seconds 20] [--interval-ms 1000]
//                       [--sources 1] [--live]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "core/format.h"
#include "server/load/load_driver.h"

namespace {

struct Args {
    std::string server;
    std::size_t sessions = 1000;
    long seconds = 20;
    std::int32_t intervalMs = 1000;
    std::size_t sources = 1;
    bool live = false;
};

bool parseArgs(int argc, char** argv, Args& args) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--live") {
            args.live = true;
            continue;
        }
        if (i + 1 == argc)
            return false;
        const std::string value = argv[++i];
        if (name == "--server") {
            args.server = value;
        } else if (name == "--sessions") {
            args.sessions = std::stoul(value);
        } else if (name == "--seconds") {
            args.seconds = std::stol(value);
        } else if (name == "--interval-ms") {
            args.intervalMs = std::stoi(value);
        } else if (name == "--sources") {
            args.sources = std::stoul(value);
        } else {
            return false;
        }
    }
    return !args.server.empty() && args.sessions > 0 && args.seconds > 0 && args.seconds <= 600 &&
           args.sources >= 1 && args.sources <= 254;
}

// The server's memory figures from /proc, in kB.
std::string memoryOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    std::string figures;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:") || line.starts_with("VmHWM:")) {
            figures += line + "\n";
        }
    }
    return figures;
}

long rssKbOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    }
    return 0;
}

// CPU time of the calling thread, which plays every client, in ms.
double threadCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Other work on the machine stretches the delays; the figures are read with this beside them.
std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string line;
    std::getline(file, line);
    return line + "\n";
}

// CPU time the server has used so far (user and system), in ms.
double cpuMsOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (!parseArgs(argc, argv, args)) {
        std::cerr << "usage: vindral-server-load --server PATH [--sessions N] [--seconds S] "
                     "[--interval-ms MS] [--sources N] [--live]\n";
        return 2;
    }
    vindral::load::UpstreamFake upstream;
    // The live run: the streams, and a REST fake at a steady price for the cells' first polls.
    std::optional<vindral::test::FakeWsExchange> streams;
    std::optional<vindral::test::FakeExchange> rest;
    if (args.live) {
        streams.emplace();
        rest.emplace(std::string());
        for (std::uint32_t e = 0; e < vindral::kExchangeCount; ++e)
            rest->setPrice(e, 0, 900, 1000);
    }

    // Each session holds one connection; the clients spread over `sources` addresses.
    const std::string perPeer = std::to_string((args.sessions + args.sources - 1) / args.sources);
    std::vector<std::string> command = {
        args.server,
        "--listen",
        "127.0.0.1:0",
        "--max-sessions",
        std::to_string(std::max<std::size_t>(args.sessions, 1000)),
        "--max-connections",
        std::to_string(std::max<std::size_t>(args.sessions + 64, 4096)),
        "--max-sessions-per-peer",
        perPeer,
        "--max-connections-per-peer",
        perPeer,
    };
    if (args.live) {
        command.insert(command.end(), {"--feeds", "live", "--exchange-ws-base", streams->baseUrl(),
                                       "--exchange-base", rest->server().baseUrl()});
    } else {
        command.insert(command.end(), {"--exchange-base", upstream.baseUrl()});
    }
    std::vector<char*> argvOfServer;
    for (std::string& word : command)
        argvOfServer.push_back(word.data());
    argvOfServer.push_back(nullptr);

    int errPipe[2];
    if (pipe(errPipe) != 0)
        return 1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(errPipe[1], STDERR_FILENO);
        close(errPipe[0]);
        close(errPipe[1]);
        execv(argvOfServer[0], argvOfServer.data());
        _exit(127);
    }
    close(errPipe[1]);
    FILE* serverLog = fdopen(errPipe[0], "r");
    std::uint16_t port = 0;
    char line[512];
    const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
    while (port == 0 && std::fgets(line, sizeof line, serverLog) != nullptr) {
        std::cmatch match;
        if (std::regex_search(line, match, listening))
            port = static_cast<std::uint16_t>(std::stoi(match[1]));
    }
    if (port == 0) {
        std::cerr << "the server did not start\n";
        return 1;
    }
    // The server's log is read so that it never blocks on a full pipe; lines about single
    // sessions are dropped, the rest (streams, cells going live or back to polling) shown.
    std::thread drain([serverLog] {
        char text[512];
        while (std::fgets(text, sizeof text, serverLog) != nullptr) {
            if (!std::string_view(text).starts_with("vindral-server: session "))
                std::fputs(text, stdout);
        }
    });

    const std::string before = memoryOf(pid);
    const long rssBefore = rssKbOf(pid);
    double cpuBefore = cpuMsOf(pid);
    vindral::load::LoadOptions options;
    options.serverPort = port;
    options.sessions = args.sessions;
    options.duration = std::chrono::seconds(args.seconds);
    options.intervalMs = args.intervalMs;
    options.sourceAddresses = args.sources;
    // In the live run the server's CPU time is counted from the first push: creating the
    // sessions is not part of a push's cost.
    options.measuring = [&] { cpuBefore = cpuMsOf(pid); };
    const double clientCpuBefore = threadCpuMs();
    const vindral::load::LoadReport report =
        args.live ? vindral::load::runLiveLoad(options, {}, *streams, *rest)
                  : vindral::load::runLoad(options, upstream);
    const double clientCpuMs = threadCpuMs() - clientCpuBefore;
    const std::string after = memoryOf(pid);
    const long rssAfter = rssKbOf(pid);
    const double cpuMs = cpuMsOf(pid) - cpuBefore;

    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    drain.join();
    fclose(serverLog);

    const auto per = [](double total, std::size_t count) {
        return count == 0 ? 0.0 : total / static_cast<double>(count);
    };
    std::printf("sessions created      %zu of %zu\n", report.sessionsCreated, args.sessions);
    std::printf("request failures      %zu\n", report.failures);
    std::printf("boards received       %zu\n", report.boards);
    std::printf("new upstream prices   %zu\n", report.prices);
    std::printf("deliveries            %zu expected, %zu missed\n", report.expectedDeliveries,
                report.missedDeliveries);
    std::printf("delay to client socket p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu samples)\n",
                report.p50Ms, report.p99Ms, report.maxMs, report.delaysMs.size());
    std::printf("delay to client thread p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                report.handledP50Ms, report.handledP99Ms, report.handledMaxMs);
    bool upstreamOk = false;
    if (args.live) {
        std::printf("push rounds           %zu%s\n", report.pushRounds,
                    report.setupTimedOut ? " (setup timed out)" : "");
        upstreamOk = !report.setupTimedOut;
        std::printf("stream connections   ");
        for (std::uint32_t e = 0; e < vindral::kExchangeCount; ++e) {
            std::printf(" %s %zu", vindral::toUtf8(vindral::exchangeName(e)).c_str(),
                        report.streamConnections[e]);
            upstreamOk = upstreamOk && report.streamConnections[e] == 1;
        }
        std::printf("\nREST fetches after the first push %zu\n", report.upstreamFetches);
        std::printf(
            "server CPU time       %.0f ms from the first push (%.1f us per push, "
            "%.1f us per board)\n",
            cpuMs, per(cpuMs * 1000.0, report.pushes), per(cpuMs * 1000.0, report.boards));
    } else {
        upstreamOk = report.upstreamFetches <= report.singleSessionFetches;
        std::printf("upstream fetches      %zu (one session alone: %zu)\n", report.upstreamFetches,
                    report.singleSessionFetches);
        std::printf("server CPU time       %.0f ms (%.1f us per board)\n", cpuMs,
                    per(cpuMs * 1000.0, report.boards));
    }
    std::printf("client CPU time       %.0f ms (%.1f us per board, one thread)\n", clientCpuMs,
                per(clientCpuMs * 1000.0, report.boards));
    std::printf("machine load average  %s", loadAverage().c_str());
    std::printf("server memory before the load:\n%s", before.c_str());
    std::printf("server memory after the load:\n%s", after.c_str());
    std::printf("memory per session    %.1f kB (VmRSS growth / sessions)\n",
                per(static_cast<double>(rssAfter - rssBefore), report.sessionsCreated));
    const bool ok = report.sessionsCreated == args.sessions && report.failures == 0 &&
                    report.missedDeliveries == 0 && report.expectedDeliveries > 0 && upstreamOk;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
