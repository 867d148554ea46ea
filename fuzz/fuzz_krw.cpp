// The Korean market's answers through their adapters: Upbit's ticker body for a set of coins, and
// the same bytes as a Dunamu and as a Frankfurter rate body. Input: byte 0 holds the asked coins
// (one bit each, catalog order), bytes 1-2 the HTTP status (little-endian; 0 stands for a
// transport failure); the rest is the body. Every price and rate that is accepted must be a
// finite positive number, every failure must say something, and an asked coin gets exactly one
// of the two.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "net/krw_sources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vindral;
    using fuzz::check;
    std::string_view input = fuzz::asText(data, size);
    const std::uint64_t coinBits = fuzz::takeBytes(input, 1);
    const auto status = static_cast<std::int32_t>(fuzz::takeBytes(input, 2));
    IndexList coins;
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        if ((coinBits >> c) & 1u)
            coins.push_back(c);
    }

    HttpResponse response;
    response.ok = status != 0;
    response.status = status;
    response.body = std::string(input);
    if (!response.ok)
        response.error = "연결 실패";

    const UpbitReading reading = interpretUpbitResponse(response, coins);
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        const bool asked = (coinBits >> c) & 1u;
        const bool priced = reading.error[c].empty() && reading.priceKrw[c] != 0;
        if (!asked) {
            check(reading.error[c].empty() && reading.priceKrw[c] == 0);
            continue;
        }
        check(priced != !reading.error[c].empty());
        if (priced)
            check(std::isfinite(reading.priceKrw[c]) && reading.priceKrw[c] > 0);
        else
            check(reading.error[c].starts_with("업비트 "));
    }
    check(parseUpbitTickerBody(input, {}).error == std::array<std::string, kCoinCount>{});

    const auto checkRate = [&](bool accepted, const FxQuote& quote, const std::string& error) {
        if (accepted) {
            check(std::isfinite(quote.krwPerUsd) && quote.krwPerUsd > 0);
            check(!quote.provider.empty());
        } else {
            check(!error.empty());
        }
    };
    FxQuote quote;
    std::string error;
    bool accepted = interpretDunamuFxResponse(response, quote, error);
    checkRate(accepted, quote, error);
    quote = {};
    error.clear();
    accepted = parseDunamuFxBody(input, quote, error);
    checkRate(accepted, quote, error);
    quote = {};
    error.clear();
    accepted = interpretFrankfurterFxResponse(response, quote, error);
    checkRate(accepted, quote, error);
    if (accepted)
        check(quote.source == FxSource::Ecb);
    quote = {};
    error.clear();
    accepted = parseFrankfurterFxBody(input, quote, error);
    checkRate(accepted, quote, error);
    return 0;
}
