// What is particular to each exchange's public WebSocket ticker stream: where it is, how to
// subscribe and keep it alive, and what one message means. Pure functions; the connection that
// uses them is LiveFeeds.
//
// A ticker is read with the REST adapters' rules: the price must be finite and above 0, a missing
// or non-positive 24-hour reference reads as 0, and a push that fails them carries the same Korean
// text as a failed REST body. Coinbase's products are the REST road's (BTC-USDT, ETH-USDT,
// SUI-USD); the USD one is converted with the USDT-USD ticker of the same stream, which takes the
// place of a coin as `kRateCoin`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/board.h"

namespace vindral {

// Coinbase's USDT-USD product, subscribed beside the coins that are quoted in USD.
inline constexpr std::uint32_t kRateCoin = kCoinCount;
// A refusal that does not say which product it means.
inline constexpr std::uint32_t kAnyCoin = 0xFFFFFFFFu;
inline constexpr std::uint32_t kStreamProducts = kCoinCount + 1;

enum class WsEventKind {
    Ticker,     // a price for `coin` (ok) or a push that carries none (!ok, `error`)
    Refused,    // the exchange will not stream `coin` (or kAnyCoin); `error` is its text
    Shutdown,   // the exchange is about to close the connection: reconnect now
    Ignored,    // acks, pongs, heartbeats: proof of life and nothing else
    Malformed,  // not a message of this stream
};

struct WsEvent {
    WsEventKind kind = WsEventKind::Ignored;
    std::uint32_t coin = kAnyCoin;
    bool ok = false;
    double price = 0;
    double open24h = 0;
    std::int64_t eventTimeMs = 0;  // the exchange's time of the ticker, 0 when it sends none
    std::string error;
};

// The documented public endpoint, e.g. "wss://stream.bybit.com/v5/public/spot".
std::string wsDefaultUrl(std::uint32_t exchange);
// The exchange's name of a coin's product on the stream ("BTCUSDT", "BTC-USDT", "USDT-USD").
std::string wsProduct(std::uint32_t exchange, std::uint32_t coin);
// Whether Coinbase's coin needs the USDT-USD rate.
bool wsNeedsRate(std::uint32_t exchange, std::uint32_t coin);
// The text frames that (un)subscribe these products, one request per product where the exchange
// answers a refusal per request.
std::vector<std::string> wsSubscribeMessages(std::uint32_t exchange,
                                             const std::vector<std::uint32_t>& coins,
                                             bool subscribe);
// The text the client must send now and then to keep the connection; empty where the exchange
// pings itself (Binance) or sends heartbeats of its own (Coinbase).
std::string wsPingText(std::uint32_t exchange);
WsEvent parseWsMessage(std::uint32_t exchange, std::string_view text);
// Milliseconds since 1970 of a UTC time as Coinbase writes it ("2026-08-30T04:30:00.014223Z",
// any number of fraction digits, cut to the millisecond); 0 for anything else.
std::int64_t isoUtcMs(std::string_view text);

// A ws:// or wss:// URL taken apart. Empty host on a malformed URL.
struct WsUrl {
    bool secure = true;
    std::string host;
    std::string port;
    std::string target = "/";
};
WsUrl parseWsUrl(std::string_view url);
// `url` with the scheme, host and port of `base` and its own path.
WsUrl rebaseWsUrl(const WsUrl& url, const WsUrl& base);
bool isLoopbackHost(std::string_view host);

}  // namespace vindral
