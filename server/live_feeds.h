// The live price source: per exchange one WebSocket connection (TLS, certificates checked against
// the system store) subscribed to the tickers of the cells that some session selects. Each pushed
// ticker becomes a cell update at once.
//
// A cell is "live" from its first pushed ticker until its stream goes down, falls silent or stops
// sending it; until then and from then on the hub polls it over REST, so a cell never goes without
// a price. A subscribed product that sends nothing within `firstMessageTimeout` is taken as
// refused (Binance and Bitget accept unknown symbols and then stay silent), as is one the exchange
// answers with an error; both stay polled until the next connection. A connection that is lost,
// silent for `silenceTimeout` or announced to close is replaced after a jittered back-off that
// doubles from `retryStart` to `retryMax` (at once after an announced close), and everything
// wanted is subscribed again.
//
// Runs entirely on the server's event loop thread, like the hub.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "core/board.h"
#include "server/price_source.h"
#include "server/ws_protocol.h"

namespace vindral {

struct LiveOptions {
    // Each exchange's stream URL (defaults: the exchanges' public endpoints).
    std::array<std::string, kExchangeCount> urls;
    // A PEM file of a CA trusted beside the system store; for tests with their own certificate.
    std::string extraCaFile;
    std::chrono::milliseconds firstMessageTimeout{10000};
    std::chrono::milliseconds silenceTimeout{30000};
    // Bybit, OKX and Bitget drop a client that does not ping within 30 s to 2 min.
    std::chrono::milliseconds pingInterval{20000};
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds retryStart{1000};
    std::chrono::milliseconds retryMax{60000};
};

LiveOptions defaultLiveOptions();

class LiveFeeds {
  public:
    using Executor = boost::asio::io_context::executor_type;
    // A pushed ticker for a live cell (cell = exchange * 3 + coin).
    using Update = std::function<void(std::uint32_t cell, FetchOutcome outcome)>;
    // The cell's price now comes from its stream (true) or from polling (false).
    using SourceChange = std::function<void(std::uint32_t cell, bool live)>;
    using Log = std::function<void(std::string_view line)>;

    LiveFeeds(Executor executor, LiveOptions options, Update update, SourceChange sourceChange,
              Log log);
    ~LiveFeeds();
    LiveFeeds(const LiveFeeds&) = delete;
    LiveFeeds& operator=(const LiveFeeds&) = delete;

    // A cell gained its first subscriber (true) or lost its last (false).
    void want(std::uint32_t cell, bool wanted);
    // Open upstream connections, for the status page.
    std::size_t openStreams() const;
    // Closes every connection and cancels every timer; later calls do nothing.
    void close();

  private:
    class Link;
    template <typename Ws>
    class StreamLink;
    struct Feed;

    void connect(Feed& feed);
    void linkOpened(Feed& feed);
    void linkLost(Feed& feed, std::string_view reason, bool atOnce);
    void scheduleRetry(Feed& feed, std::chrono::milliseconds delay);
    bool anyWanted(const Feed& feed) const;

    Executor executor_;
    LiveOptions options_;
    Update update_;
    SourceChange sourceChange_;
    Log log_;
    boost::asio::ssl::context tls_;
    std::array<std::unique_ptr<Feed>, kExchangeCount> feeds_;
    std::minstd_rand jitter_;
    bool closed_ = false;
};

}  // namespace vindral
