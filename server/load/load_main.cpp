// vindral-server-load: the full load run. Starts the given vindral-server binary on loopback
// behind a fake exchange, drives it with many long-polling sessions for a bounded time, and
// prints the delivery figures, the upstream fetch count and the server's memory.
//
//   vindral-server-load --server PATH [--sessions 1000] [--seconds 20] [--interval-ms 1000]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "server/load/load_driver.h"

namespace {

struct Args {
    std::string server;
    std::size_t sessions = 1000;
    long seconds = 20;
    std::int32_t intervalMs = 1000;
};

bool parseArgs(int argc, char** argv, Args& args) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--server") {
            args.server = value;
        } else if (name == "--sessions") {
            args.sessions = std::stoul(value);
        } else if (name == "--seconds") {
            args.seconds = std::stol(value);
        } else if (name == "--interval-ms") {
            args.intervalMs = std::stoi(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !args.server.empty() && args.sessions > 0 && args.seconds > 0 &&
           args.seconds <= 600;
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
                     "[--interval-ms MS]\n";
        return 2;
    }
    vindral::load::UpstreamFake upstream;

    int errPipe[2];
    if (pipe(errPipe) != 0)
        return 1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(errPipe[1], STDERR_FILENO);
        close(errPipe[0]);
        close(errPipe[1]);
        const std::string base = upstream.baseUrl();
        // Every client of the run comes from one address.
        execl(args.server.c_str(), args.server.c_str(), "--listen", "127.0.0.1:0",
              "--exchange-base", base.c_str(), "--max-sessions-per-peer", "1000",
              "--max-connections-per-peer", "4096", static_cast<char*>(nullptr));
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
    // The session log is read and dropped so that the server never blocks on a full pipe.
    std::thread drain([serverLog] {
        char discard[512];
        while (std::fgets(discard, sizeof discard, serverLog) != nullptr) {
        }
    });

    const std::string before = memoryOf(pid);
    const double cpuBefore = cpuMsOf(pid);
    vindral::load::LoadOptions options;
    options.serverPort = port;
    options.sessions = args.sessions;
    options.duration = std::chrono::seconds(args.seconds);
    options.intervalMs = args.intervalMs;
    const double clientCpuBefore = threadCpuMs();
    const vindral::load::LoadReport report = vindral::load::runLoad(options, upstream);
    const double clientCpuMs = threadCpuMs() - clientCpuBefore;
    const std::string after = memoryOf(pid);
    const double cpuMs = cpuMsOf(pid) - cpuBefore;

    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    drain.join();
    fclose(serverLog);

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
    std::printf("upstream fetches      %zu (one session alone: %zu)\n", report.upstreamFetches,
                report.singleSessionFetches);
    std::printf("server CPU time       %.0f ms (%.1f us per board)\n", cpuMs,
                report.boards == 0 ? 0.0 : cpuMs * 1000.0 / static_cast<double>(report.boards));
    std::printf(
        "client CPU time       %.0f ms (%.1f us per board, one thread)\n", clientCpuMs,
        report.boards == 0 ? 0.0 : clientCpuMs * 1000.0 / static_cast<double>(report.boards));
    std::printf("machine load average  %s", loadAverage().c_str());
    std::printf("server memory before the load:\n%s", before.c_str());
    std::printf("server memory after the load:\n%s", after.c_str());
    const bool ok = report.sessionsCreated == args.sessions && report.failures == 0 &&
                    report.missedDeliveries == 0 &&
                    report.upstreamFetches <= report.singleSessionFetches;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
