#include <spawn.h>
#include <sys/wait.h>

#include "tests/support/tls_test_server.h"

extern char** environ;

namespace vindral::test {

bool startPython(const std::vector<std::string>& arguments, std::int64_t& processId) {
    std::string program = "python3";
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv{program.data()};
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    // The system's interpreter first: version-manager shims on the PATH can take seconds.
    int failed = posix_spawn(&pid, "/usr/bin/python3", nullptr, nullptr, argv.data(), environ);
    if (failed != 0) {
        failed = posix_spawnp(&pid, "python3", nullptr, nullptr, argv.data(), environ);
    }
    processId = failed == 0 ? pid : 0;
    return failed == 0;
}

void waitForChild(std::int64_t processId) {
    int status = 0;
    waitpid(static_cast<pid_t>(processId), &status, 0);
}

}  // namespace vindral::test
