// The whole server as one object: the price source, the fetch workers, the session hub and the
// HTTP listener, run by an event loop on one thread. One thread holds every connection and the
// whole session state without locks or hand-offs; on a small machine a second loop thread cost
// more in hand-offs than it gave, and a thread that took half of each round's writes gained
// nothing at 10,000 sessions with the clients on the same two cores (both measured with the load
// run). The fetches run on threads of their own, so a slow exchange never stalls the loop. The
// program's main() and the tests both use it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/exchanges.h"
#include "server/fetch_workers.h"
#include "server/http_server.h"
#include "server/krw_workers.h"
#include "server/live_feeds.h"
#include "server/price_source.h"
#include "server/session_hub.h"

namespace vindral {

inline constexpr std::uint16_t kDefaultServerPort = 12500;

// Live: follow the exchanges' WebSocket streams and poll only what they do not deliver.
// Poll: REST polling alone.
enum class FeedMode { Live, Poll };

struct ServerOptions {
    std::string listenAddress = "0.0.0.0";
    std::uint16_t port = kDefaultServerPort;
    bool demo = false;  // simulate the market instead of asking the exchanges
    ExchangeEndpoints endpoints = defaultExchangeEndpoints();
    // Upbit, the bank's rate feed and the ECB's rate.
    KrwEndpoints krwEndpoints = defaultKrwEndpoints();
    // The command line defaults to Live; code that builds options (the tests) asks for it.
    FeedMode feeds = FeedMode::Poll;
    LiveOptions live = defaultLiveOptions();
    HubOptions hub;
    // How long a client may take to send a request or to take an answer.
    std::chrono::milliseconds requestTimeout = kDefaultRequestTimeout;
    ConnectionLimits connections;
    // Session creation and expiry, failures of the listener; stderr in the program.
    std::function<void(std::string_view line)> log;
};

// Reads the command line (without the program name). Empty with a reason, or with an empty
// reason when the usage text was asked for.
std::optional<ServerOptions> parseServerArgs(const std::vector<std::string>& args,
                                             std::string& error);
std::string serverUsage();

class PriceServer {
  public:
    // Binds and starts serving; empty with a reason when the address cannot be used.
    static std::unique_ptr<PriceServer> start(ServerOptions options, std::string& error);
    ~PriceServer();
    PriceServer(const PriceServer&) = delete;
    PriceServer& operator=(const PriceServer&) = delete;

    std::uint16_t port() const { return http_.port(); }
    // "exchanges" or "demo", for the start-up line.
    std::string_view sourceName() const {
        return options_.demo ? "demo" : feeds_ ? "exchanges, live streams" : "exchanges";
    }
    // Stops listening, ends the event loop and the fetches and joins every thread.
    void stop();

  private:
    explicit PriceServer(ServerOptions options);

    ServerOptions options_;
    boost::asio::io_context io_{1};
    std::unique_ptr<PriceSource> source_;
    std::unique_ptr<FetchWorkers> workers_;
    std::unique_ptr<KrwWorkers> krwWorkers_;
    SessionHub hub_;
    std::unique_ptr<LiveFeeds> feeds_;
    HttpServer http_;
    std::thread loop_;
    bool stopped_ = false;
};

}  // namespace vindral
