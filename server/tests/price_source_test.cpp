// The server's two price sources: the exchanges (here the loopback fakes) with the USDT-USD
// conversion, and the simulated market.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "server/demo_market.h"
#include "server/price_source.h"
#include "tests/support/fake_exchange.h"

namespace vindral {
namespace {

constexpr std::uint32_t kBitget = 1, kCoinbase = 4;
constexpr std::uint32_t kBtc = 0, kSui = 2;

TEST(ExchangeSourceTest, FetchesLikeAnEngineWorker) {
    test::FakeExchange fake(VINDRAL_SHARED_DIR "/fixtures/exchanges");
    const std::wstring base = fake.endpoints().baseUrls[0];
    const std::unique_ptr<PriceSource> source =
        makeExchangeSource(fake.endpoints(), {base, base, base});

    fake.setPrice(kBitget, kBtc, 101.5, 100);
    FetchOutcome outcome = source->fetch(kBitget, kBtc);
    EXPECT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.price, 101.5);
    EXPECT_EQ(outcome.open24h, 100);
    EXPECT_GT(outcome.latencyMs, 0);

    // Coinbase quotes SUI in USD: converted with the USDT-USD rate, one more request.
    fake.setPrice(kCoinbase, kSui, 4.0, 3.8);
    fake.setRateReply({.status = 200, .body = test::composeTickerBody(kCoinbase, 0.5, 0.25)});
    outcome = source->fetch(kCoinbase, kSui);
    EXPECT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.price, 8.0);
    EXPECT_EQ(outcome.open24h, 15.2);
    EXPECT_EQ(fake.rateRequestCount(), 1u);

    fake.setRateReply({.status = 503, .body = "busy"});
    outcome = source->fetch(kCoinbase, kSui);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, "USDT 환율 HTTP 503");

    fake.setReply(kBitget, kBtc, {.status = 429, .body = ""});
    outcome = source->fetch(kBitget, kBtc);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, "HTTP 429 요청 한도 초과");
}

TEST(DemoMarketTest, QuotesNearRealisticLevelsAndFailsNowAndThen) {
    const std::unique_ptr<PriceSource> steady =
        makeDemoSource({.seed = 7, .simulateLatency = false, .failureProbability = 0});
    const double levels[kCoinCount] = {97000, 3600, 4.2};
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        for (std::uint32_t c = 0; c < kCoinCount; ++c) {
            const FetchOutcome outcome = steady->fetch(e, c);
            ASSERT_TRUE(outcome.ok) << outcome.error;
            EXPECT_NEAR(outcome.price, levels[c], levels[c] * 0.01) << e << "/" << c;
            EXPECT_NEAR(outcome.open24h, levels[c], levels[c] * 0.05) << e << "/" << c;
            EXPECT_GT(outcome.latencyMs, 0);
        }
    }

    const std::unique_ptr<PriceSource> broken =
        makeDemoSource({.seed = 7, .simulateLatency = false, .failureProbability = 1});
    std::set<std::string> texts;
    for (int i = 0; i < 50; ++i) {
        const FetchOutcome outcome = broken->fetch(kBitget, kBtc);
        EXPECT_FALSE(outcome.ok);
        texts.insert(outcome.error);
    }
    EXPECT_EQ(texts, (std::set<std::string>{"시간 초과", "HTTP 502", "HTTP 429 요청 한도 초과",
                                            "연결 끊김"}));

    // A cancelled source ends a simulated wait at once.
    const std::unique_ptr<PriceSource> slow = makeDemoSource({.seed = 1});
    slow->cancel();
    EXPECT_EQ(slow->fetch(kBitget, kBtc).error, "취소됨");
}

}  // namespace
}  // namespace vindral
