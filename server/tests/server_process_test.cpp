// The built program as a process: how it takes signals, and its systemd unit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "net/http_client.h"
#include "server/http_server.h"

extern char** environ;

namespace vindral {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// vindral-server started with `args`, its stderr read by the test. Killed and reaped at the end
// if it is still running.
class ServerProcess {
  public:
    explicit ServerProcess(std::vector<std::string> args) {
        int pipeEnds[2];
        if (pipe2(pipeEnds, O_CLOEXEC) != 0)
            return;
        readEnd_ = pipeEnds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
        args.insert(args.begin(), VINDRAL_SERVER_BINARY);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VINDRAL_SERVER_BINARY, &actions, nullptr, argv.data(), environ) !=
            0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(pipeEnds[1]);
    }
    ~ServerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (readEnd_ >= 0)
            close(readEnd_);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool running() const { return pid_ > 0; }
    void signal(int number) { kill(pid_, number); }

    // Reads stderr until `text` has arrived; false at the deadline or at the end of the output.
    bool waitForLine(std::string_view text, std::chrono::milliseconds timeout = 10s) {
        const Clock::time_point deadline = Clock::now() + timeout;
        for (;;) {
            if (const std::size_t at = output_.find(text, scanned_); at != std::string::npos) {
                scanned_ = at + text.size();
                return true;
            }
            if (readMore(deadline) != Read::Data)
                return false;
        }
    }

    // The exit status once the process has ended (its end closes its stderr), or -1 at the
    // deadline.
    int waitForExit(std::chrono::milliseconds timeout) {
        const Clock::time_point deadline = Clock::now() + timeout;
        Read read = Read::Data;
        while (read == Read::Data)
            read = readMore(deadline);
        int status = 0;
        if (read != Read::End || waitpid(pid_, &status, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    const std::string& output() const { return output_; }

  private:
    enum class Read { Data, End, Late };

    Read readMore(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd ready{readEnd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            return Read::Late;
        char chunk[512];
        const ssize_t n = read(readEnd_, chunk, sizeof chunk);
        if (n <= 0)
            return Read::End;
        output_.append(chunk, static_cast<std::size_t>(n));
        return Read::Data;
    }

    pid_t pid_ = -1;
    int readEnd_ = -1;
    std::string output_;
    std::size_t scanned_ = 0;
};

TEST(ServerProcessTest, SighupIsSurvivedAndSigtermEndsCleanly) {
    ServerProcess server({"--listen", "127.0.0.1:0", "--demo"});
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(server.waitForLine("listening on 127.0.0.1:")) << server.output();
    ASSERT_TRUE(server.waitForLine(", prices from demo")) << server.output();
    const std::size_t portAt = server.output().find("127.0.0.1:") + 10;
    const std::wstring status =
        L"http://127.0.0.1:" +
        std::wstring(server.output().begin() + static_cast<std::ptrdiff_t>(portAt),
                     server.output().begin() +
                         static_cast<std::ptrdiff_t>(server.output().find(',', portAt))) +
        L"/api/status";

    HttpClient client;
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForLine("SIGHUP")) << server.output();
    const HttpResponse answer = client.request(L"GET", status, "", 5000);
    EXPECT_TRUE(answer.ok) << answer.error;
    EXPECT_EQ(answer.status, 200);

    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(10s), 0) << server.output();
    EXPECT_NE(server.output().find("stopping"), std::string::npos) << server.output();
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ServiceUnitTest, IsSandboxedAndPassesSystemdVerify) {
    const std::string unit = readFile(VINDRAL_SERVER_UNIT);
    ASSERT_FALSE(unit.empty());
    for (const char* line :
         {"DynamicUser=yes", "NoNewPrivileges=yes", "ProtectSystem=strict", "ProtectHome=yes",
          "PrivateTmp=yes", "PrivateDevices=yes", "RestrictAddressFamilies=AF_INET AF_INET6",
          "CapabilityBoundingSet=\n", "ProtectKernelTunables=yes", "ProtectKernelModules=yes",
          "ProtectControlGroups=yes", "RestrictNamespaces=yes", "LockPersonality=yes",
          "RestrictRealtime=yes", "SystemCallArchitectures=native",
          "SystemCallFilter=@system-service"}) {
        EXPECT_NE(unit.find(std::string("\n") + line), std::string::npos) << line;
    }
    // Every connection the server may hold, and room for the fetches and the log.
    const std::size_t limitAt = unit.find("\nLimitNOFILE=");
    ASSERT_NE(limitAt, std::string::npos);
    EXPECT_GE(std::stoul(unit.substr(limitAt + 13)), kDefaultMaxConnections + 256);

    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    // Verified as installed, but with the binary of this build.
    const std::filesystem::path folder =
        std::filesystem::path(testing::TempDir()) / ("vindral-unit-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string installed = "ExecStart=/usr/local/bin/vindral-server ";
    std::string copy = unit;
    const std::size_t execAt = copy.find(installed);
    ASSERT_NE(execAt, std::string::npos);
    copy.replace(execAt, installed.size(), std::string("ExecStart=") + VINDRAL_SERVER_BINARY + " ");
    const std::filesystem::path unitPath = folder / "vindral-server.service";
    std::ofstream(unitPath, std::ios::binary) << copy;

    const std::string command = "systemd-analyze verify --man=no " + unitPath.string() + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[512];
    while (const std::size_t n = fread(chunk, 1, sizeof chunk, pipe))
        output.append(chunk, n);
    const int status = pclose(pipe);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace vindral
