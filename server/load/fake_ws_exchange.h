#pragma once

// A fake of the five exchanges' WebSocket ticker streams on one loopback port (port 0), told
// apart by path as the real endpoints are (/ws Binance, /v2/ws/public Bitget, /v5/public/spot
// Bybit, /ws/v5/public OKX, / Coinbase). Each speaks its exchange's subscribe, ack, error, push
// and heartbeat messages; tests script it: push prices, refuse a product, accept one and never
// send, drop connections, send anything, stop answering pings. With certificate files it speaks
// TLS instead. Runs on a thread of its own; every method may be called from any thread.

#include <array>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/board.h"
#include "server/ws_protocol.h"

namespace vindral::test {

struct FakeWsTls {
    std::string certificateFile;
    std::string keyFile;
};

class FakeWsExchange {
  public:
    explicit FakeWsExchange(const FakeWsTls* tls = nullptr);
    ~FakeWsExchange();
    FakeWsExchange(const FakeWsExchange&) = delete;
    FakeWsExchange& operator=(const FakeWsExchange&) = delete;

    std::uint16_t port() const { return port_; }
    // "ws://127.0.0.1:PORT" (wss with TLS), for --exchange-ws-base.
    std::string baseUrl() const;
    // Every exchange's default URL moved onto this server.
    std::array<std::string, kExchangeCount> urls() const;

    // A ticker in the exchange's shape to every connection subscribed to the product.
    void push(std::uint32_t exchange, std::uint32_t product, double price, double open24h);
    // Any text (or a binary frame) to every connection of the exchange.
    void pushRaw(std::uint32_t exchange, std::string text, bool binary = false);
    // Later subscriptions of the product are answered with the exchange's error.
    void refuse(std::uint32_t exchange, std::uint32_t product);
    // Later subscriptions of the product are acknowledged and `push` skips it.
    void mute(std::uint32_t exchange, std::uint32_t product);
    void answerPings(std::uint32_t exchange, bool answer);
    // A WebSocket ping frame to every connection of the exchange (Binance's heartbeat).
    void pingFrame(std::uint32_t exchange);
    // Closes every connection of the exchange at once, without a close frame.
    void drop(std::uint32_t exchange);
    // While set, the exchange's handshakes are refused (HTTP 503).
    void refuseConnections(std::uint32_t exchange, bool refuse);

    std::size_t openConnections(std::uint32_t exchange) const;
    std::size_t acceptedConnections(std::uint32_t exchange) const;
    bool subscribed(std::uint32_t exchange, std::uint32_t product) const;
    // Every ticker of `push` as it went out: stamped just before its frame was handed to the
    // socket, once per connection it went to.
    struct Written {
        std::uint32_t exchange = 0;
        std::uint32_t product = 0;
        double price = 0;
        std::chrono::steady_clock::time_point at{};
        std::chrono::system_clock::time_point atWall{};
    };
    std::vector<Written> written() const;
    std::size_t textPings(std::uint32_t exchange) const;
    std::size_t pongFrames(std::uint32_t exchange) const;
    // Waits until `ready` holds (checked on every change in the fake) or the time is up.
    bool waitFor(const std::function<bool()>& ready, std::chrono::milliseconds timeout) const;

  private:
    class Connection;
    template <typename Ws>
    class StreamConnection;
    struct Exchange {
        std::set<std::uint32_t> refused;
        std::set<std::uint32_t> muted;
        bool answerPings = true;
        bool refuseConnections = false;
        std::size_t accepted = 0;
        std::size_t textPings = 0;
        std::size_t pongFrames = 0;
    };

    void accept();
    void changed();
    std::vector<std::shared_ptr<Connection>> connectionsOf(std::uint32_t exchange) const;

    boost::asio::io_context io_{1};
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
    bool secure_ = false;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::array<Exchange, kExchangeCount> exchanges_;
    std::vector<std::weak_ptr<Connection>> connections_;
    mutable std::mutex writtenMutex_;
    std::vector<Written> written_;
    std::thread thread_;
};

// The exchange whose stream lives at this path, or kExchangeCount.
std::uint32_t exchangeOfWsPath(std::string_view path);
// A ticker message in the exchange's documented shape.
std::string composeWsTicker(std::uint32_t exchange, std::uint32_t product, double price,
                            double open24h);

}  // namespace vindral::test
