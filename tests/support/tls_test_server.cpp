#include "tests/support/tls_test_server.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

namespace vindral::test {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kPollInterval = std::chrono::milliseconds(20);

std::uint16_t parsePort(const std::string& text) {
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end == text.data() || port > 65535) {
        return 0;
    }
    return static_cast<std::uint16_t>(port);
}

// A Unix path works for both the python child and, on drive Z:, for a program under Wine.
std::string uniquePortFile() {
    static std::atomic<unsigned> counter{0};
    const auto nonce = std::random_device{}();
    return "/tmp/vindral-tls-" + std::to_string(nonce) + "-" + std::to_string(++counter) + ".port";
}

}  // namespace

TlsTestServer::TlsTestServer(const std::string& sourceDir) : portFile_(uniquePortFile()) {
    const std::string support = sourceDir + "/tests/support/";
    if (!startPython({support + "tls_server.py", support + "tls/self-signed-cert.pem",
                      support + "tls/self-signed-key.pem", portFile_},
                     processId_)) {
        return;
    }
    // The child writes the file whole (it renames it into place), so any content is final.
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (port_ == 0 && std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(portFile_);
        std::string text;
        if (in && std::getline(in, text)) {
            port_ = parsePort(text);
        } else {
            std::this_thread::sleep_for(kPollInterval);
        }
    }
}

TlsTestServer::~TlsTestServer() {
    std::remove(portFile_.c_str());
    if (processId_ != 0) {
        waitForChild(processId_);
    }
}

std::wstring TlsTestServer::baseUrlW() const {
    return L"https://127.0.0.1:" + std::to_wstring(port_);
}

}  // namespace vindral::test
