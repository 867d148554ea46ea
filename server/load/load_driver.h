// A bounded load on loopback: many sessions long-polling one server at once. Behind the server
// either a fake REST exchange that quotes a new price at every fetch, or (live) the fake
// WebSocket exchanges pushing a new price per cell every second. It measures what the design
// promises: every session receives every new price, the delay from the upstream answer or push
// to each delivery, and upstream traffic that does not grow with the number of sessions. Used by
// the test suite in a short form and by the program `vindral-server-load` for the full one.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/exchanges.h"
#include "server/load/fake_ws_exchange.h"
#include "tests/support/fake_exchange.h"
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
    // From the first session's creation; in the live run from the first push after the warm-up.
    std::chrono::milliseconds duration{3000};
    std::int32_t intervalMs = 1000;
    // Clients connect from 127.0.0.1 up to 127.0.0.N in turn, so that each address holds a
    // share of the connections (per-address limits, ephemeral ports).
    std::size_t sourceAddresses = 1;
    // Called when the measured part begins: at once, or in the live run at the first measured
    // push.
    std::function<void()> measuring;
};

struct LiveLoadOptions {
    // The session of client i selects BTC on exchange `exchanges[i % size]`.
    std::vector<std::uint32_t> exchanges{0, 1, 2, 3, 4};
    std::chrono::milliseconds pushEvery{1000};
    // Sessions created and streams subscribed within this, or the run fails.
    std::chrono::milliseconds setupTimeout{60000};
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
    // Live: rounds of pushes, one per selected exchange each (every one is a price), and the
    // connections each exchange's fake accepted during the whole run.
    std::size_t pushRounds = 0;
    std::size_t pushes = 0;
    std::array<std::size_t, kExchangeCount> streamConnections{};
    bool setupTimedOut = false;
    // Upstream answer (or push) to delivery, one per session and price: to the moment the board
    // reached the client's socket (the kernel's receive time), which is what the server controls...
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

// The same against a server that follows `exchange`'s streams: once every session exists and
// every selected exchange's stream is subscribed, pushes a new BTC price on each selected
// exchange every `pushEvery` until the duration has passed. `upstreamFetches` counts the REST
// fetches of `rest` after the first push.
LoadReport runLiveLoad(const LoadOptions& options, const LiveLoadOptions& live,
                       test::FakeWsExchange& exchange, const test::FakeExchange& rest);

}  // namespace vindral::load
