// A market simulated inside the server, for trying the program where there is no internet and
// for `make run`: each coin's price wanders from a realistic level (a random walk pulled gently
// back towards that level), every exchange quotes it with a small bias of its own and some noise,
// the 24-hour references sit a few percent away, fetches take an exchange's typical time, and now
// and then one fails with the text a real failure would show. Upbit's won prices are the coins'
// USDT level times a simulated USD/KRW rate (about 1,390, moving a little) and a premium that
// drifts smoothly between about +1 % and +3 %; the rate is a bank's, posted a few minutes ago.
#pragma once

#include <cstdint>
#include <memory>

#include "server/price_source.h"

namespace vindral {

struct DemoMarketOptions {
    std::uint64_t seed = 0;
    // Off in tests that want quick answers; the quotes are the same either way.
    bool simulateLatency = true;
    double failureProbability = 0.02;
};

std::unique_ptr<PriceSource> makeDemoSource(const DemoMarketOptions& options);

}  // namespace vindral
