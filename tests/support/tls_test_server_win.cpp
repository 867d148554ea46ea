#include <windows.h>

#include "tests/support/tls_test_server.h"

namespace vindral::test {

namespace {

// Wine starts a Unix program named by its path on drive Z:, and returns no process handle.
constexpr wchar_t kPython[] = L"Z:\\usr\\bin\\python3";

}  // namespace

bool startPython(const std::vector<std::string>& arguments, std::int64_t& processId) {
    std::wstring commandLine = kPython;
    for (const std::string& argument : arguments) {
        commandLine += L" \"" + std::wstring(argument.begin(), argument.end()) + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &process);
    if (process.hThread != nullptr) {
        CloseHandle(process.hThread);
    }
    if (process.hProcess != nullptr) {
        CloseHandle(process.hProcess);
    }
    processId = 0;
    return started != FALSE;
}

void waitForChild(std::int64_t) {}

}  // namespace vindral::test
