// The direct road against a fake exchange on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

#include "core/market_engine.h"
#include "tests/support/fake_exchange.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;
using test::FakeExchange;
using test::FakeReply;

constexpr std::uint32_t kBinance = 0, kBitget = 1, kBybit = 2, kCoinbase = 4;
constexpr std::uint32_t kBtc = 0, kEth = 1, kSui = 2;

// Prices of the fixtures the fake serves by default.
constexpr double kBinancePrice = 60755.18;
constexpr double kBitgetPrice = 34413.1;
constexpr double kCoinbasePrice = 80516.15, kCoinbaseOpen = 76925.09;
constexpr double kRatePrice = 0.9995, kRateOpen = 1.0002;

Settings directSettings(std::initializer_list<std::uint32_t> exchanges,
                        std::initializer_list<std::uint32_t> coins, std::int32_t intervalMs) {
    Settings s;
    s.serverUrl.clear();
    s.intervalMs = intervalMs;
    s.exchanges.fill(false);
    s.coins.fill(false);
    for (std::uint32_t e : exchanges) {
        s.exchanges[e] = true;
    }
    for (std::uint32_t c : coins) {
        s.coins[c] = true;
    }
    return s;
}

// Polls the engine's board until the condition holds or the deadline passes.
bool waitForBoard(const MarketEngine& engine, const std::function<bool(const PriceBoard&)>& ready,
                  std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready(engine.snapshot())) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return ready(engine.snapshot());
}

class DirectEngineTest : public ::testing::Test {
  protected:
    void TearDown() override {
        // Delayed answers end at once, so the fetches in flight let stop return quickly.
        fake.releaseDelays();
        engine.stop();
    }

    std::function<void()> counter() {
        return [this] { changes.fetch_add(1); };
    }

    FakeExchange fake{VINDRAL_SHARED_DIR "/fixtures/exchanges"};
    MarketEngine engine{fake.endpoints()};
    std::atomic<int> changes{0};
};

TEST_F(DirectEngineTest, WarmUpTickFillsEveryEnabledCellAndCountsNothing) {
    engine.start(directSettings({kBinance, kBitget, kCoinbase}, {kBtc, kSui}, 60000), counter());
    ASSERT_TRUE(waitForBoard(engine, [this](const PriceBoard& b) {
        if (changes.load() != 6) {
            return false;
        }
        for (std::uint32_t e : {kBinance, kBitget, kCoinbase}) {
            for (std::uint32_t c : {kBtc, kSui}) {
                if (!b.cells[e][c].hasData) {
                    return false;
                }
            }
        }
        return b.stats.inFlight == 0;
    }));
    const PriceBoard board = engine.snapshot();

    EXPECT_EQ(board.stats.ticks, 1u);
    EXPECT_GT(board.stats.lastTickMs, 0);
    for (const ExchangeStats& s : board.stats.exchanges) {
        EXPECT_EQ(s.scheduled, 0u);
        EXPECT_EQ(s.ok, 0u);
        EXPECT_EQ(s.failed, 0u);
        EXPECT_EQ(s.overrun, 0u);
        EXPECT_EQ(s.avgLatencyMs, 0.0);
        EXPECT_EQ(s.maxLatencyMs, 0.0);
    }
    EXPECT_EQ(changes.load(), 6);

    std::vector<std::uint64_t> seqs;
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        for (std::uint32_t c = 0; c < kCoinCount; ++c) {
            const PriceCell& cell = board.cells[e][c];
            const bool enabled =
                (e == kBinance || e == kBitget || e == kCoinbase) && (c == kBtc || c == kSui);
            EXPECT_EQ(cell.hasData, enabled) << e << "/" << c;
            if (!enabled) {
                EXPECT_EQ(fake.requestCount(e, c), 0u);
                continue;
            }
            EXPECT_TRUE(cell.lastOk);
            EXPECT_EQ(cell.prevPrice, cell.price) << "first success";
            EXPECT_TRUE(cell.error.empty());
            EXPECT_GT(cell.updatedAtMs, 0);
            EXPECT_GT(cell.latencyMs, 0.0);
            seqs.push_back(cell.seq);
        }
    }
    std::sort(seqs.begin(), seqs.end());
    EXPECT_EQ(seqs, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6}));

    EXPECT_DOUBLE_EQ(board.cells[kBinance][kBtc].price, kBinancePrice);
    EXPECT_DOUBLE_EQ(board.cells[kBitget][kSui].price, kBitgetPrice);
    // Coinbase quotes BTC in USDT, but SUI in USD, converted with the USDT-USD rate.
    EXPECT_DOUBLE_EQ(board.cells[kCoinbase][kBtc].price, kCoinbasePrice);
    EXPECT_DOUBLE_EQ(board.cells[kCoinbase][kSui].price, kCoinbasePrice / kRatePrice);
    EXPECT_DOUBLE_EQ(board.cells[kCoinbase][kSui].open24h, kCoinbaseOpen / kRateOpen);
    EXPECT_EQ(fake.rateRequestCount(), 1u);
}

TEST_F(DirectEngineTest, SlowExchangeMissesTwoOfEveryThreeTicksAsOverruns) {
    fake.setDelay(kBitget, 2500ms);
    engine.start(directSettings({kBinance, kBitget}, {kBtc, kEth, kSui}, 1000), counter());
    // Ticks at 0 s (warm-up, its fetches run until 2.5 s and their overruns are not counted),
    // 1 s and 2 s (busy with the warm-up fetch), 3 s (fetch), 4 s and 5 s (overruns).
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.stats.exchanges[kBitget].scheduled >= 9; },
        15s));
    const PriceBoard board = engine.snapshot();
    EXPECT_EQ(board.stats.exchanges[kBitget].scheduled, 9u);
    EXPECT_EQ(board.stats.exchanges[kBitget].overrun, 6u);
    EXPECT_EQ(board.stats.exchanges[kBinance].overrun, 0u);
    // The fast exchange is counted from the first tick after the warm-up on: five ticks.
    EXPECT_EQ(board.stats.exchanges[kBinance].scheduled, 15u);
    EXPECT_GE(board.stats.exchanges[kBinance].ok, 12u);
    EXPECT_EQ(fake.requestCount(kBitget, kBtc), 2u) << "never a second fetch for a busy cell";
}

TEST_F(DirectEngineTest, RefreshTicksAtOnceAndRebasesTheSchedule) {
    // The first fetch takes a while, so the refresh falls well between two regular ticks.
    fake.setReply(kBitget, kBtc,
                  FakeReply{200, fake.fixture("bitget-tickers-doc-example.json"), 600ms,
                            test::ResponseMode::Reply});
    engine.start(directSettings({kBitget}, {kBtc}, 1000), counter());
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.cells[kBitget][kBtc].hasData && b.stats.inFlight == 0;
    }));
    ASSERT_EQ(engine.snapshot().stats.ticks, 1u);

    engine.refreshNow();
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) { return b.stats.ticks == 2; }));
    const PriceBoard refreshed = engine.snapshot();
    EXPECT_EQ(refreshed.stats.exchanges[kBitget].scheduled, 1u) << "counted: not a warm-up";

    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) { return b.stats.ticks == 3; }));
    const std::int64_t gapMs = engine.snapshot().stats.lastTickMs - refreshed.stats.lastTickMs;
    // Without the re-base the third tick would come about 400 ms after the refresh.
    EXPECT_GE(gapMs, 900);
    EXPECT_LE(gapMs, 1500);
}

TEST_F(DirectEngineTest, EnablingACoinResetsOnlyThatCoinAndRestartsTheStatistics) {
    engine.start(directSettings({kBinance, kBitget}, {kBtc, kEth}, 60000), counter());
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.cells[kBinance][kEth].hasData && b.cells[kBitget][kEth].hasData &&
               b.cells[kBinance][kBtc].hasData && b.cells[kBitget][kBtc].hasData &&
               b.stats.inFlight == 0;
    }));
    engine.refreshNow();
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.stats.exchanges[kBitget].ok == 2 && b.stats.exchanges[kBinance].ok == 2;
    }));

    // Disabled cells keep their data but are no longer fetched.
    engine.applySettings(directSettings({kBinance, kBitget}, {kBtc}, 60000));
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.stats.ticks == 3 && b.stats.inFlight == 0; }));
    EXPECT_TRUE(engine.snapshot().cells[kBitget][kEth].hasData);
    EXPECT_EQ(fake.requestCount(kBitget, kEth), 2u);

    // The new coin's answers are slow, so the reset is seen before they land.
    for (std::uint32_t e : {kBinance, kBitget}) {
        fake.setReply(e, kEth, FakeReply{200, test::composeTickerBody(e, 111.5, 110), 400ms, {}});
    }
    const PriceBoard before = engine.snapshot();
    engine.applySettings(directSettings({kBinance, kBitget}, {kBtc, kEth}, 60000));
    const PriceBoard after = engine.snapshot();
    for (std::uint32_t e : {kBinance, kBitget}) {
        EXPECT_FALSE(after.cells[e][kEth].hasData);
        EXPECT_EQ(after.cells[e][kEth].seq, 0u);
        EXPECT_TRUE(after.cells[e][kBtc].hasData);
        EXPECT_EQ(after.cells[e][kBtc].price, before.cells[e][kBtc].price);
        EXPECT_EQ(after.stats.exchanges[e].ok, 0u);
    }
    EXPECT_GE(after.stats.statsSinceMs, before.stats.statsSinceMs);

    // The settings change runs a warm-up tick at once: cells fill, statistics stay at zero.
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.cells[kBinance][kEth].hasData && b.cells[kBitget][kEth].hasData;
    }));
    const PriceBoard warmed = engine.snapshot();
    EXPECT_EQ(warmed.cells[kBitget][kEth].price, 111.5);
    EXPECT_EQ(warmed.cells[kBitget][kEth].prevPrice, 111.5);
    EXPECT_EQ(warmed.stats.exchanges[kBitget].scheduled, 0u);
    EXPECT_EQ(warmed.stats.exchanges[kBitget].ok, 0u);
}

TEST_F(DirectEngineTest, FailuresKeepThePriceAndShowTheReason) {
    engine.start(directSettings({kBitget, kCoinbase}, {kBtc, kSui}, 60000), counter());
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.cells[kBitget][kBtc].hasData && b.cells[kCoinbase][kSui].hasData &&
               b.stats.inFlight == 0;
    }));

    // A second success keeps the previous price in prevPrice.
    fake.setPrice(kBitget, kBtc, 35000, 34000);
    engine.refreshNow();
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.cells[kBitget][kBtc].price == 35000; }));
    const PriceBoard good = engine.snapshot();
    EXPECT_EQ(good.cells[kBitget][kBtc].prevPrice, kBitgetPrice);
    EXPECT_EQ(good.cells[kBitget][kBtc].open24h, 34000);
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.stats.exchanges[kBitget].ok == 2 && b.stats.exchanges[kCoinbase].ok == 2;
    }));

    fake.setReply(kBitget, kBtc, FakeReply{429, "", {}, {}});
    fake.setRateReply(FakeReply{503, "<html>busy</html>", {}, {}});
    engine.refreshNow();
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return !b.cells[kBitget][kBtc].lastOk && !b.cells[kCoinbase][kSui].lastOk;
    }));
    const PriceBoard bad = engine.snapshot();
    const PriceCell& bitget = bad.cells[kBitget][kBtc];
    EXPECT_EQ(bitget.error, "HTTP 429 요청 한도 초과");
    EXPECT_TRUE(bitget.hasData);
    EXPECT_EQ(bitget.price, 35000);
    EXPECT_EQ(bitget.updatedAtMs, good.cells[kBitget][kBtc].updatedAtMs);
    EXPECT_EQ(bitget.seq, good.cells[kBitget][kBtc].seq);
    EXPECT_EQ(bad.cells[kCoinbase][kSui].error, "USDT 환율 HTTP 503");
    EXPECT_TRUE(bad.cells[kCoinbase][kSui].hasData);
    EXPECT_EQ(bad.stats.exchanges[kBitget].failed, 1u);
    EXPECT_EQ(bad.stats.exchanges[kCoinbase].failed, 1u);

    // A transport failure carries the client's text.
    fake.setReply(kBitget, kBtc, FakeReply{200, "", {}, test::ResponseMode::Reset});
    engine.refreshNow();
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.stats.exchanges[kBitget].failed == 2; }));
    EXPECT_NE(engine.snapshot().cells[kBitget][kBtc].error, "HTTP 429 요청 한도 초과");
    EXPECT_FALSE(engine.snapshot().cells[kBitget][kBtc].error.empty());
}

TEST_F(DirectEngineTest, StopIsIdempotentAndTheBoardOutlivesIt) {
    engine.stop();
    engine.stop();
    EXPECT_EQ(engine.snapshot().stats.ticks, 0u);

    engine.start(directSettings({kBybit}, {kBtc}, 60000), counter());
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.cells[kBybit][kBtc].hasData && b.stats.inFlight == 0;
    }));
    engine.stop();
    engine.stop();
    EXPECT_TRUE(engine.snapshot().cells[kBybit][kBtc].hasData);
    EXPECT_EQ(engine.snapshot().stats.inFlight, 0u);

    // A new start resets the board.
    fake.setDelay(kBybit, 300ms);
    engine.start(directSettings({kBybit}, {kBtc}, 60000), counter());
    EXPECT_FALSE(engine.snapshot().cells[kBybit][kBtc].hasData);
}

TEST_F(DirectEngineTest, NoChangeIsReportedOnceStopHasBegun) {
    fake.setDelay(kBitget, 300ms);
    engine.start(directSettings({kBitget}, {kBtc}, 60000), counter());
    ASSERT_TRUE(fake.waitForRequests(kBitget, kBtc, 1, 10s));
    // The one fetch is in flight: it is finished during stop, written, but not reported.
    engine.stop();
    EXPECT_EQ(changes.load(), 0);
    EXPECT_TRUE(engine.snapshot().cells[kBitget][kBtc].hasData);
}

}  // namespace
}  // namespace vindral
