#pragma once

// A fake of the five exchanges' public ticker endpoints (and Coinbase's USDT-USD rate) on one
// loopback port, for the engine tests and, as the program `vindral-fake-exchange`, for end-to-end
// runs of the real program.
//
// The exchanges' ticker paths differ, so one server answers all of them: point the engine at it
// with `endpoints()`. Every ticker answers, by default, with status 200 and a captured body from
// the fixtures folder (VINDRAL_SHARED_DIR "/fixtures/exchanges"), the same body for every coin:
//   Binance  binance-ticker-24hr-ok-1.json     60755.18 (open 62636.13)
//   Bitget   bitget-tickers-doc-example.json   34413.1  (open 35134.2)
//   Bybit    bybit-tickers-ok-1.json           25838    (open 25571.23)
//   OKX      okx-ticker-ok-1-btc-wrapped.json  36653    (open 36599)
//   Coinbase coinbase-stats-ok-1-btc-usd.json  80516.15 (open 76925.09); SUI is quoted in USD
//   USDT-USD rate (composed)                   0.9995   (open 1.0002)
// Tests script answers per exchange and coin: another status and body, a delay, a connection
// that closes, resets or hangs. Delays end early when the server is destroyed or on
// `releaseDelays()`.
//
// The same scripting over HTTP, on the same port (exchange names and coin symbols as in the
// catalogs; `coin` may be left out to mean every coin; the answer is 200 with "{}" on success,
// 400 with {"error":...} on a bad argument):
//   POST /control/price?exchange=Bitget&coin=BTC&price=101.5&open=100
//        the cell answers 200 with a composed body of that exchange's shape
//   POST /control/reply?exchange=Bitget&coin=BTC&status=503&delayMs=0&mode=reply
//        the cell answers with the status and the request's body (mode: reply, hold, close, reset)
//   POST
//   /control/fixture?exchange=Binance&status=451&name=binance-ticker-24hr-error-451-restricted-location.json
//   POST /control/delay?exchange=Bybit&ms=2500      extra delay for every coin of the exchange
//   POST /control/rate?price=0.9995&open=1.0002     or ?status=503 with the request's body
//   POST /control/reset                              everything back to the defaults
//   GET  /control/requests   {"Binance":{"BTC":n,"ETH":n,"SUI":n},...,"rate":n}

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "net/exchanges.h"
#include "tests/support/test_server.h"

namespace vindral::test {

// Use as the coin of a script to mean every coin of the exchange.
inline constexpr std::uint32_t kAllCoins = 0xFFFFFFFFu;

struct FakeReply {
    int status = 200;
    std::string body;
    std::chrono::milliseconds delay{0};
    ResponseMode mode = ResponseMode::Reply;
};

class FakeExchange {
  public:
    explicit FakeExchange(std::string fixturesDir);
    ~FakeExchange();
    FakeExchange(const FakeExchange&) = delete;
    FakeExchange& operator=(const FakeExchange&) = delete;

    std::uint16_t port() const;
    // Every exchange, and the rate, at this server.
    ExchangeEndpoints endpoints() const;

    void setReply(std::uint32_t exchange, std::uint32_t coin, FakeReply reply);
    // A composed body of the exchange's documented shape with these values, status 200.
    void setPrice(std::uint32_t exchange, std::uint32_t coin, double price, double open24h);
    // A body from the fixtures folder with the given status.
    void setFixture(std::uint32_t exchange, std::uint32_t coin, int status,
                    const std::string& fileName);
    // Added to every answer of the exchange, also to scripted ones.
    void setDelay(std::uint32_t exchange, std::chrono::milliseconds delay);
    void setRateReply(FakeReply reply);
    void reset();
    // Ends every running and later delay at once, so that a test can finish quickly.
    void releaseDelays();

    std::string fixture(const std::string& fileName) const;
    std::size_t requestCount(std::uint32_t exchange, std::uint32_t coin) const;
    std::size_t rateRequestCount() const;
    bool waitForRequests(std::uint32_t exchange, std::uint32_t coin, std::size_t count,
                         std::chrono::milliseconds timeout) const;

    TestServer& server() { return server_; }

  private:
    struct Cell {
        FakeReply reply;
        std::size_t requests = 0;
    };

    TestResponse handle(const TestRequest& request);
    TestResponse handleControl(const TestRequest& request);
    TestResponse answer(FakeReply reply, std::chrono::milliseconds extraDelay);
    void resetLocked();

    const std::string fixturesDir_;
    mutable std::mutex mutex_;
    std::array<std::array<Cell, kCoinCount>, kExchangeCount> cells_;
    std::array<std::chrono::milliseconds, kExchangeCount> delays_{};
    Cell rate_;
    bool released_ = false;
    // Last member: its threads use everything above, and it is destroyed first.
    TestServer server_;
};

// A minimal ticker body in the documented shape of the exchange (Coinbase: the stats shape).
std::string composeTickerBody(std::uint32_t exchange, double price, double open24h);

// Helpers shared by the fakes' control routes.
std::map<std::string, std::string> parseQuery(std::string_view query);
std::string jsonQuote(std::string_view text);
// "reply", "hold", "close" or "reset"; false for anything else.
bool parseResponseMode(std::string_view text, ResponseMode& mode);

}  // namespace vindral::test
