#pragma once

// A TLS server on 127.0.0.1 with the self-signed certificate in tests/support/tls, for the
// tests that check certificates are verified. It runs tls_server.py in a python3 child process
// for as long as this object lives (natively and, through Wine's start of Unix programs, under
// Wine); the child learns that it should end when the port file it wrote disappears.
//
//   vindral::test::TlsTestServer tls(VINDRAL_SOURCE_DIR);
//   if (!tls.running()) GTEST_SKIP() << "python3 could not be started";
//   client.request(L"GET", tls.baseUrlW() + L"/x", "", 0);  // fails with "TLS 오류"

#include <cstdint>
#include <string>
#include <vector>

namespace vindral::test {

class TlsTestServer {
  public:
    // `sourceDir`: the repository root, where tests/support/tls_server.py lives.
    explicit TlsTestServer(const std::string& sourceDir);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    bool running() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    std::wstring baseUrlW() const;  // L"https://127.0.0.1:PORT"

  private:
    std::string portFile_;
    std::int64_t processId_ = 0;  // 0 when the platform gives none back (Wine)
    std::uint16_t port_ = 0;
};

// Starts the system's python3 with these arguments, without waiting for it. False when it
// could not be started; `processId` is 0 when the platform reports none.
bool startPython(const std::vector<std::string>& arguments, std::int64_t& processId);
// Waits for a child that startPython reported.
void waitForChild(std::int64_t processId);

}  // namespace vindral::test
