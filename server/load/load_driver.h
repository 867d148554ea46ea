// A bounded load on loopback: many sessions long-polling one server at once, behind it a fake
// exchange that quotes a new price at every fetch. It measures what the design promises: every
// session receives every new price, the delay from the upstream answer to each delivery, and
// upstream fetches that do not grow with the number of sessions. Used by the test suite in a
// short form and by the program `vindral-server-load` for the full one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/exchanges.h"
#include "tests/support/test_server.h"

namespace vindral::load {

using Clock = std::chrono::steady_clock;

// Every ticker request is answered with Bitget's shape and the next price of 1001, 1002, ...
class UpstreamFake {
  public:
    UpstreamFake();
    std::string baseUrl() const { return server_.baseUrl(); }
    ExchangeEndpoints endpoints() const;

    struct Quote {
        double price;
        Clock::time_point servedAt;                          // just before the answer was written
        std::chrono::system_clock::time_point servedAtWall;  // the same moment, wall clock
    };
    std::vector<Quote> quotes() const;

  private:
    test::TestResponse answer();

    mutable std::mutex mutex_;
    std::vector<Quote> quotes_;
    // Last member: its threads use everything above.
    test::TestServer server_;
};

struct LoadOptions {
    std::uint16_t serverPort = 0;  // the server on 127.0.0.1
    std::size_t sessions = 100;
    std::chrono::milliseconds duration{3000};  // from the first session's creation
    std::int32_t intervalMs = 1000;
};

struct LoadReport {
    std::size_t sessionsCreated = 0;
    std::size_t failures = 0;  // requests that did not end in the expected answer
    std::size_t boards = 0;    // long-poll answers with a new seq
    std::size_t prices = 0;    // prices the upstream served during the run
    std::size_t expectedDeliveries = 0;
    std::size_t missedDeliveries = 0;  // new prices a session never received
    std::size_t upstreamFetches = 0;
    // What one session alone would have caused: its warm-up and one fetch per interval.
    std::size_t singleSessionFetches = 0;
    // Upstream answer to delivery, one per session and price: to the moment the board reached
    // the client's socket (the kernel's receive time), which is what the server controls...
    std::vector<double> delaysMs;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    // ...and to the moment the load driver's single thread got to it, which adds the queue of
    // a thousand clients played by one thread.
    std::vector<double> handledDelaysMs;
    double handledP50Ms = 0;
    double handledP99Ms = 0;
    double handledMaxMs = 0;
};

// Creates the sessions (Bitget and BTC at the interval), long-polls until the duration has
// passed, then closes everything. Runs on the calling thread.
LoadReport runLoad(const LoadOptions& options, const UpstreamFake& upstream);

}  // namespace vindral::load
