#pragma once

// A fake price server on a loopback port: the session API under "/api/sessions" with long polls,
// for the engine tests and, as the program `vindral-fake-server`, for end-to-end runs of the real
// program.
//
// Sessions:
//   POST   /api/sessions                   201 with the board; ids are "s1", "s2", ...
//   GET    /api/sessions/ID/next?after=N&timeoutMs=T
//          at once when the session's seq differs from N, otherwise held until the board changes,
//          T ms pass (capped by setHoldLimit) or releasePolls(); then 200 with the board (the same
//          seq when nothing changed). 404 {"error":"unknown session"} for an unknown id.
//   PUT    /api/sessions/ID                200 with the board under the new settings; seq + 1
//   POST   /api/sessions/ID/refresh        200 {}; seq + 1
//   DELETE /api/sessions/ID                204
// The board holds a cell for every enabled exchange and coin of the session: hasData false until
// a price is set; updatedAtMs on the server's clock (the local clock plus setClockOffsetMs), and a
// stats entry per enabled exchange (ok = prices set, failed = errors set). Every price or error
// set raises the seq of every session and answers the held polls.
//
// Scripts replace or delay the normal answer of one kind of call, for a number of calls or until
// cleared: a 404, a 500, a malformed body, a slow answer, a closed connection.
//
// The same control over HTTP, on the same port (answers 200 "{}", or 400 {"error":...}):
//   POST /control/price?exchange=Bitget&coin=BTC&price=101.5&open=100
//   POST /control/error?exchange=Bitget&coin=BTC      the request's body is the error text
//   POST /control/forget                             drop every session (a restarted server)
//   POST /control/script?call=poll&status=500&times=3&delayMs=0&mode=reply
//        call: create, poll, update, refresh, delete; the request's body is the answer body;
//        without status the normal answer comes after the delay; times -1 (default) = until cleared
//   POST /control/clear-scripts
//   POST /control/hold?ms=20000                      cap on a poll's hold time
//   POST /control/release                            answer held polls now and later ones at once
//   POST /control/clock?offsetMs=-5000
//   GET  /control/state  {"sessions":[{"id":..,"seq":..,"intervalMs":..,"exchanges":[..],
//                        "coins":[..]}],"calls":{"create":n,"poll":n,"update":n,"refresh":n,
//                        "delete":n}}

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/board.h"
#include "tests/support/test_server.h"

namespace vindral::test {

enum class ServerCall { Create, Poll, Update, Refresh, Delete };
inline constexpr std::size_t kServerCallKinds = 5;

struct ServerScript {
    // Answer given instead of the normal one; empty: the normal answer after the delay.
    std::optional<TestResponse> reply;
    std::chrono::milliseconds delay{0};
    int times = -1;  // calls it serves; -1 until cleared
};

struct FakeSession {
    std::string id;
    std::uint64_t seq = 0;
    std::int32_t intervalMs = 0;
    std::vector<std::string> exchanges;
    std::vector<std::string> coins;
};

class FakePriceServer {
  public:
    FakePriceServer();
    ~FakePriceServer();
    FakePriceServer(const FakePriceServer&) = delete;
    FakePriceServer& operator=(const FakePriceServer&) = delete;

    std::uint16_t port() const;
    std::wstring baseUrlW() const;

    void setPrice(std::uint32_t exchange, std::uint32_t coin, double price, double open24h);
    void setCellError(std::uint32_t exchange, std::uint32_t coin, std::string error);
    void setClockOffsetMs(std::int64_t offsetMs);
    void setHoldLimit(std::chrono::milliseconds limit);
    // Scripts of one kind of call are used in the order they were added.
    void script(ServerCall call, ServerScript script);
    void clearScripts();
    // Like a restart: later polls and updates for the old ids get 404.
    void forgetSessions();
    // Answers every held poll now, and later polls at once; also ends scripted delays.
    void releasePolls();

    std::vector<FakeSession> sessions() const;
    std::size_t callCount(ServerCall call) const;
    bool waitForCalls(ServerCall call, std::size_t count, std::chrono::milliseconds timeout) const;
    // The requests of one kind, in arrival order.
    std::vector<TestRequest> calls(ServerCall call) const;

    TestServer& server() { return server_; }

  private:
    struct Cell {
        bool hasData = false;
        bool lastOk = false;
        double price = 0;
        double prevPrice = 0;
        double open24h = 0;
        std::int64_t updatedAtMs = 0;  // server clock
        std::uint64_t seq = 0;
        std::string error;
    };
    struct ExchangeCounters {
        std::uint64_t ok = 0;
        std::uint64_t failed = 0;
    };

    TestResponse handle(const TestRequest& request);
    TestResponse handleControl(const TestRequest& request);
    TestResponse handleSession(ServerCall call, const std::string& id, const TestRequest& request);
    std::optional<ServerCall> classify(const TestRequest& request, std::string& id) const;
    FakeSession* findLocked(const std::string& id);
    std::string boardLocked(const FakeSession& session) const;
    bool readSettings(const std::string& body, FakeSession& session) const;
    std::int64_t serverNowMsLocked() const;
    void bumpAllLocked();

    mutable std::mutex mutex_;
    std::vector<FakeSession> sessions_;
    std::uint64_t nextSessionNumber_ = 1;
    std::array<std::array<Cell, kCoinCount>, kExchangeCount> cells_{};
    std::array<ExchangeCounters, kExchangeCount> counters_{};
    std::uint64_t cellSeq_ = 0;
    std::int64_t clockOffsetMs_ = 0;
    std::chrono::milliseconds holdLimit_{20000};
    bool released_ = false;
    std::array<std::deque<ServerScript>, kServerCallKinds> scripts_;
    std::array<std::vector<TestRequest>, kServerCallKinds> calls_;
    // Last member: its threads use everything above, and it is destroyed first.
    TestServer server_;
};

}  // namespace vindral::test
