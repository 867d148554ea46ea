// What is particular to each exchange's public ticker endpoint: the request URLs, the reading of
// the JSON answer into a quote, the meaning of HTTP statuses, and the Korean failure texts that end
// up in a board cell. Stateless and free of I/O; the engine sends the requests.
//
// Exchange indices follow the catalog (0 Binance, 1 Bitget, 2 Bybit, 3 OKX, 4 Coinbase), coin
// indices likewise (0 BTC, 1 ETH, 2 SUI). URLs are wide strings, bodies and error texts UTF-8.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/board.h"
#include "net/http_client.h"

namespace vindral {

// One ticker reading, in the quote currency of the product asked for (USDT, or USD before
// conversion). `price` is always > 0 in a quote that parsed; `open24h` is 0 when unknown.
struct TickerQuote {
    double price = 0.0;
    double open24h = 0.0;
};

// An exchange's own message is cut to this many UTF-8 bytes before it reaches a cell.
inline constexpr std::size_t kExchangeMessageMaxBytes = 60;

// Where each exchange is reached: scheme, host and optional port, no trailing slash, indexed by
// exchange. Tests point these at loopback fakes; the program uses the defaults.
struct ExchangeEndpoints {
    std::array<std::wstring, kExchangeCount> baseUrls;
};

// The exchanges' documented public hosts over https. Coinbase's host also serves the USDT-USD rate.
ExchangeEndpoints defaultExchangeEndpoints();

// Full ticker URL of a coin on an exchange, or empty for an unknown exchange index.
std::wstring tickerUrl(std::uint32_t exchange, std::uint32_t coin,
                       const ExchangeEndpoints& endpoints);
std::wstring tickerUrl(std::uint32_t exchange, std::uint32_t coin);

// The USDT-USD stats URL when this pair is quoted in USD (Coinbase with SUI and later coins) and
// must be converted; empty otherwise.
std::wstring usdtRateUrl(std::uint32_t exchange, std::uint32_t coin,
                         const ExchangeEndpoints& endpoints);
std::wstring usdtRateUrl(std::uint32_t exchange, std::uint32_t coin);

// Reads a ticker body. True fills `quote` and leaves `error` alone; false assigns the reason to
// `error` (possibly empty, when the exchange reported an error without a message) and leaves
// `quote` partly written.
bool parseTickerBody(std::uint32_t exchange, std::string_view body, TickerQuote& quote,
                     std::string& error);

// True with a filled quote only for a transport success with status 200 and a usable body;
// otherwise false with the Korean text for the transport failure or the status.
bool interpretTickerResponse(std::uint32_t exchange, const HttpResponse& response,
                             TickerQuote& quote, std::string& error);

// A USD quote turned into USDT with the USDT-USD quote `rate`; (0, 0) when the rate has no price.
TickerQuote convertUsdQuote(const TickerQuote& quote, const TickerQuote& rate);

}  // namespace vindral
