#pragma once

// A loopback HTTP/1.1 server for tests, the same in the native build and under Wine.
//
// How to use it:
//
//   vindral::test::TestServer server([&](const vindral::test::TestRequest& req) {
//       if (req.path == "/api/sessions" && req.method == "POST") {
//           return vindral::test::TestResponse::json(201, R"({"sessionId":"s1"})");
//       }
//       return vindral::test::TestResponse{404, {}, "not found"};
//   });
//   client.request(L"GET", server.baseUrlW() + L"/x?y=1", "", 0);
//   EXPECT_EQ(server.requestCount(), 1u);
//   EXPECT_EQ(server.requests()[0].query, "y=1");
//
// - The server listens on 127.0.0.1 on a port the system picks (`port()`, `baseUrl()`,
//   `baseUrlW()`), and is ready as soon as the constructor returns.
// - Every connection gets its own thread; that thread reads one request (request line, headers
//   and a Content-Length body), calls the handler, writes the answer and closes the connection
//   ("Connection: close"). Handlers therefore run concurrently and must guard shared state.
// - The handler can be replaced at any time with `setHandler` (a handler in progress finishes
//   with the old one). Without a handler every request gets a 404.
// - Handlers may block. To wait for something (a long poll, a slow exchange), use
//   `waitFor(timeout, predicate)`: it returns true as soon as the predicate holds, false when the
//   time-out passes or the server is being destroyed. Whoever changes the state the predicate
//   reads calls `notify()` afterwards. The predicate runs without any lock of the server, so it
//   may take the caller's own mutex. `waitFor(d, [] { return false; })` is a plain delay that
//   the destructor cuts short.
// - Response modes: `Reply` (status, headers, body; Content-Length and Connection: close are
//   added unless the handler set them), `Hold` (never answer; the connection stays open until
//   the server is destroyed), `Close` (close the connection without a byte), `Reset` (abortive
//   close: the client sees a connection reset), `Raw` (write `body` as given, nothing added,
//   then close).
// - Every request that was read completely is recorded before the handler runs: `requests()`
//   returns a copy, `requestCount()` the number, and `waitForRequests(n, timeout)` waits for
//   the n-th.
// - Destruction stops accepting, wakes every `waitFor` and every held connection, closes all
//   sockets and joins every thread. Destroy the server before the state its handler uses.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vindral::test {

struct TestRequest {
    std::string method;  // "GET", "POST", ...
    std::string target;  // as sent: path plus "?" and query
    std::string path;    // target up to the "?"
    std::string query;   // after the "?", without it; empty when there is none
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order, values trimmed
    std::string body;
    std::chrono::steady_clock::time_point at;  // when the whole request had arrived

    // The value of the first header with this name (compared case-insensitively).
    std::optional<std::string> header(std::string_view name) const;
    bool hasHeader(std::string_view name) const { return header(name).has_value(); }
};

enum class ResponseMode { Reply, Hold, Close, Reset, Raw };

struct TestResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // in Raw mode: the exact bytes to write
    ResponseMode mode = ResponseMode::Reply;

    static TestResponse json(int status, std::string body);
    static TestResponse text(int status, std::string body);
    static TestResponse hold();
    static TestResponse close();
    static TestResponse reset();
    static TestResponse raw(std::string bytes);
};

using TestHandler = std::function<TestResponse(const TestRequest&)>;

class TestServer {
  public:
    explicit TestServer(TestHandler handler = {});
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::uint16_t port() const;
    std::string baseUrl() const;    // "http://127.0.0.1:PORT"
    std::wstring baseUrlW() const;  // L"http://127.0.0.1:PORT"

    void setHandler(TestHandler handler);

    std::vector<TestRequest> requests() const;
    std::size_t requestCount() const;
    // True once at least `count` requests were received; false after the time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

    // True as soon as `predicate` holds; false on time-out or when the server is being destroyed.
    bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& predicate) const;
    // Wakes every `waitFor` so that it checks its predicate again.
    void notify() const;
    bool stopping() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// A loopback port on which nothing listens (bound once by the system, then closed): a
// connection to it is refused.
std::uint16_t closedLoopbackPort();

}  // namespace vindral::test
