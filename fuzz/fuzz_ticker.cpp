// An exchange's ticker answer through the adapter, as the engine hands it over. Input: byte 0 is
// the exchange (values past the catalog are an unknown exchange), bytes 1-2 the HTTP status
// (little-endian; 0 stands for a transport failure), the rest is the body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "net/exchanges.h"

namespace vindral {
namespace {

// Longer than any message of an exchange and without the status in front, so no failure text
// can equal it.
const std::string kUntouched(kExchangeMessageMaxBytes + 1, '#');
constexpr std::string_view kTransportError = "연결 실패";

// A body whose JSON escapes can only make well-formed UTF-8: no "\u" escape of a surrogate, which
// the reader keeps as a three-byte sequence of its own.
bool yieldsValidUtf8(std::string_view body) {
    return fuzz::isValidUtf8(body) && body.find("\\ud") == std::string_view::npos &&
           body.find("\\uD") == std::string_view::npos;
}

}  // namespace
}  // namespace vindral

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vindral;
    using fuzz::check;
    std::string_view input = fuzz::asText(data, size);
    const auto exchange = static_cast<std::uint32_t>(fuzz::takeBytes(input, 1));
    const auto status = static_cast<std::int32_t>(fuzz::takeBytes(input, 2));

    HttpResponse response;
    response.ok = status != 0;
    response.status = status;
    response.body = std::string(input);
    response.error = response.ok ? std::string() : std::string(kTransportError);

    TickerQuote quote;
    std::string error(kUntouched);
    const bool accepted = interpretTickerResponse(exchange, response, quote, error);
    if (accepted) {
        check(response.ok && status == 200 && exchange < kExchangeCount);
        check(error == kUntouched);
        // The one promise a parsed quote makes: a positive price, and a reference that is a
        // positive number or 0.
        check(quote.price > 0.0);
        check(quote.open24h >= 0.0);
        // A USD quote at a rate of exactly 1 is the same quote in USDT.
        const TickerQuote converted = convertUsdQuote(quote, TickerQuote{1.0, 0.0});
        check(converted.price == quote.price && converted.open24h == quote.open24h);
        return 0;
    }
    check(error != kUntouched);
    if (!response.ok) {
        check(error == kTransportError);
        return 0;
    }
    // The exchange's own message is cut to a fixed size, with the status in front when it was
    // not 200, and a cut never splits a character.
    std::size_t bound = kExchangeMessageMaxBytes;
    if (status != 200) {
        const std::string prefix = "HTTP " + std::to_string(status);
        check(error.compare(0, prefix.size(), prefix) == 0);
        bound += prefix.size() + 1;
    }
    check(error.size() <= bound);
    if (yieldsValidUtf8(response.body)) {
        check(fuzz::isValidUtf8(error));
    }
    return 0;
}
