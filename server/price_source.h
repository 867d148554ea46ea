// Where the server's prices come from: the five exchanges over HTTPS, or a market simulated inside
// the server for machines without internet. Either way one fetch reads one exchange's ticker for
// one coin and ends in a quote or a Korean failure text, exactly as a cell of the direct road
// would see it. The Korean market comes from the same source: one Upbit request for the asked
// coins, and the USD/KRW rate.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "core/board.h"
#include "net/exchanges.h"
#include "net/krw_sources.h"

namespace vindral {

struct FetchOutcome {
    bool ok = false;
    double price = 0;
    double open24h = 0;
    double latencyMs = 0;  // the time the request (and a rate request) took
    std::string error;     // Korean text when !ok
};

class PriceSource {
  public:
    virtual ~PriceSource() = default;
    // Blocks for the whole fetch. Called on the fetch workers' threads, several at once.
    virtual FetchOutcome fetch(std::uint32_t exchange, std::uint32_t coin) = 0;
    // One Upbit request for `coins`: an outcome per asked coin (KRW prices, no 24-hour
    // reference), each with the request's time. Blocks; called on one thread at a time.
    virtual std::array<FetchOutcome, kCoinCount> fetchUpbit(const IndexList& coins) = 0;
    // The USD/KRW rate, from the bank's feed or else the ECB's. Blocks; one thread at a time.
    virtual FxFetch fetchFx() = 0;
    // Makes fetches in progress end soon and later ones fail at once; called at shutdown.
    virtual void cancel() = 0;
};

// The exchanges' public ticker endpoints at `endpoints`, with the USDT-USD conversion for the
// pairs Coinbase quotes in USD, and the Korean market's sources at `krwEndpoints`.
std::unique_ptr<PriceSource> makeExchangeSource(const ExchangeEndpoints& endpoints,
                                                const KrwEndpoints& krwEndpoints);

}  // namespace vindral
