// Where the server's prices come from: the five exchanges over HTTPS, or a market simulated inside
// the server for machines without internet. Either way one fetch reads one exchange's ticker for
// one coin and ends in a quote or a Korean failure text, exactly as a cell of the direct road
// would see it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/exchanges.h"

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
    // Makes fetches in progress end soon and later ones fail at once; called at shutdown.
    virtual void cancel() = 0;
};

// The exchanges' public ticker endpoints at `endpoints`, with the USDT-USD conversion for the
// pairs Coinbase quotes in USD.
std::unique_ptr<PriceSource> makeExchangeSource(const ExchangeEndpoints& endpoints);

}  // namespace vindral
