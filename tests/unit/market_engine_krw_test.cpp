// The direct road's Korean market: Upbit with the exchanges' tick and the USD/KRW rate on its own
// schedule, against loopback fakes of the exchanges and of the three KRW sources.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "core/market_engine.h"
#include "tests/support/fake_exchange.h"
#include "tests/support/test_server.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;
using test::FakeExchange;
using test::TestRequest;
using test::TestResponse;
using test::TestServer;

constexpr std::uint32_t kBinance = 0, kBitget = 1;
constexpr std::uint32_t kBtc = 0, kEth = 1, kSui = 2;
constexpr double kBitgetPrice = 34413.1;
// Prices and rate of the fixtures the KRW fake serves by default.
constexpr double kUpbitBtc = 108580000, kUpbitSui = 3295;
constexpr double kBankRate = 1391.5;

std::string readKrwFixture(const std::string& name) {
    std::ifstream in(std::string(VINDRAL_SHARED_DIR) + "/fixtures/krw/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Upbit, Dunamu and Frankfurter on one loopback port, each answer replaceable; the bank feed can
// be held until released.
class FakeKrw {
  public:
    FakeKrw()
        : upbit_(TestResponse::json(
              200,
              readKrwFixture("upbit/rest-ticker-krw-btc-eth-sui-usdt.composed-wireformat.json"))),
          dunamu_(TestResponse::json(200, readKrwFixture("fx/dunamu-forex-krwusd.composed.json"))),
          frankfurter_(TestResponse::json(
              200, readKrwFixture("fx/frankfurter-v1-latest-usd-krw.composed.json"))),
          server_([this](const TestRequest& request) { return handle(request); }) {}

    KrwEndpoints endpoints() const {
        return {server_.baseUrlW(), server_.baseUrlW(), server_.baseUrlW()};
    }
    void setUpbit(TestResponse response) {
        std::lock_guard lock(mutex_);
        upbit_ = std::move(response);
    }
    void setRates(TestResponse dunamu, TestResponse frankfurter) {
        std::lock_guard lock(mutex_);
        dunamu_ = std::move(dunamu);
        frankfurter_ = std::move(frankfurter);
    }
    void setUpbitDelay(std::chrono::milliseconds delay) {
        std::lock_guard lock(mutex_);
        upbitDelay_ = delay;
    }
    void holdBankFeed(bool hold) {
        {
            std::lock_guard lock(mutex_);
            holdBank_ = hold;
        }
        server_.notify();
    }
    std::size_t count(const std::string& path) const {
        std::size_t n = 0;
        for (const TestRequest& r : server_.requests()) {
            n += r.path == path ? 1 : 0;
        }
        return n;
    }
    TestServer& server() { return server_; }

  private:
    TestResponse handle(const TestRequest& request) {
        std::unique_lock lock(mutex_);
        if (request.path == "/v1/ticker") {
            const auto delay = upbitDelay_;
            const TestResponse answer = upbit_;
            lock.unlock();
            server_.waitFor(delay, [] { return false; });
            return answer;
        }
        if (request.path == "/v1/forex/recent") {
            const TestResponse answer = dunamu_;
            lock.unlock();
            server_.waitFor(10s, [this] {
                std::lock_guard held(mutex_);
                return !holdBank_;
            });
            return answer;
        }
        if (request.path == "/v1/latest") {
            return frankfurter_;
        }
        return TestResponse{404, {}, "not found"};
    }

    mutable std::mutex mutex_;
    TestResponse upbit_;
    TestResponse dunamu_;
    TestResponse frankfurter_;
    std::chrono::milliseconds upbitDelay_{0};
    bool holdBank_ = false;
    TestServer server_;
};

Settings krwSettings(std::initializer_list<std::uint32_t> coins, std::int32_t intervalMs,
                     bool kimchiPremium) {
    Settings s;
    s.serverUrl.clear();
    s.intervalMs = intervalMs;
    s.exchanges.fill(false);
    s.exchanges[kBitget] = true;
    s.coins.fill(false);
    for (std::uint32_t c : coins) {
        s.coins[c] = true;
    }
    s.kimchiPremium = kimchiPremium;
    return s;
}

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

class KrwEngineTest : public ::testing::Test {
  protected:
    void TearDown() override {
        krwFake.holdBankFeed(false);
        exchanges.releaseDelays();
        engine.stop();
    }

    FakeExchange exchanges{VINDRAL_SHARED_DIR "/fixtures/exchanges"};
    FakeKrw krwFake;
    MarketEngine engine{exchanges.endpoints(), krwFake.endpoints()};
    std::atomic<int> changes{0};
    std::function<void()> counter() {
        return [this] { changes.fetch_add(1); };
    }
};

TEST_F(KrwEngineTest, AskingEngineFetchesUpbitOncePerTickForTheShownCoinsAndTheRateOnce) {
    engine.start(krwSettings({kBtc, kSui}, 1000, true), counter());
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.stats.ticks >= 3 && b.krw.upbitStats.ok >= 2 && b.krw.fx.hasData;
    }));
    engine.stop();
    const PriceBoard board = engine.snapshot();

    const PriceCell& btc = board.krw.upbit[kBtc];
    EXPECT_TRUE(btc.hasData && btc.lastOk);
    EXPECT_EQ(btc.price, kUpbitBtc);
    EXPECT_GT(btc.updatedAtMs, 0);
    EXPECT_EQ(board.krw.upbit[kSui].price, kUpbitSui);
    EXPECT_FALSE(board.krw.upbit[kEth].hasData) << "a hidden coin is not filled";
    // Seqs come from the same counter as the exchange cells'.
    EXPECT_NE(btc.seq, board.krw.upbit[kSui].seq);
    EXPECT_NE(btc.seq, board.cells[kBitget][kBtc].seq);

    // One request per tick, the warm-up's uncounted.
    const std::size_t upbitRequests = krwFake.count("/v1/ticker");
    EXPECT_EQ(upbitRequests, board.stats.ticks);
    EXPECT_EQ(board.krw.upbitStats.scheduled, board.stats.ticks - 1);
    EXPECT_EQ(board.krw.upbitStats.ok, board.stats.ticks - 1);
    EXPECT_EQ(board.krw.upbitStats.failed, 0u);
    EXPECT_GT(board.krw.upbitStats.avgLatencyMs, 0.0);
    for (const TestRequest& r : krwFake.server().requests()) {
        if (r.path == "/v1/ticker") {
            EXPECT_EQ(r.query, "markets=KRW-BTC,KRW-SUI");
        }
    }

    // The bank answered, so the ECB was never asked.
    EXPECT_EQ(krwFake.count("/v1/forex/recent"), 1u);
    EXPECT_EQ(krwFake.count("/v1/latest"), 0u);
    EXPECT_TRUE(board.krw.fx.lastOk);
    EXPECT_EQ(board.krw.fx.quote.krwPerUsd, kBankRate);
    EXPECT_EQ(board.krw.fx.quote.source, FxSource::Bank);
    EXPECT_EQ(board.krw.fx.quote.provider, "하나은행");
}

TEST_F(KrwEngineTest, SwitchedOffNothingIsFetchedAndSwitchingOnAsksAtOnce) {
    const auto ticked = [this](std::uint64_t ticks) {
        return waitForBoard(engine, [ticks](const PriceBoard& b) {
            return b.stats.ticks >= ticks && b.stats.inFlight == 0 &&
                   b.cells[kBitget][kBtc].hasData;
        });
    };
    engine.start(krwSettings({kBtc, kEth, kSui}, 60000, false), counter());
    ASSERT_TRUE(ticked(1));
    engine.refreshNow();
    ASSERT_TRUE(ticked(2));
    EXPECT_EQ(krwFake.server().requestCount(), 0u);
    EXPECT_FALSE(engine.snapshot().krw.upbit[kBtc].hasData);
    EXPECT_FALSE(engine.snapshot().krw.fx.hasData);

    engine.applySettings(krwSettings({kBtc, kEth, kSui}, 60000, true));
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.krw.upbit[kEth].hasData && b.krw.fx.hasData; }));
    EXPECT_EQ(krwFake.count("/v1/ticker"), 1u);
    EXPECT_EQ(krwFake.count("/v1/forex/recent"), 1u);
    EXPECT_EQ(engine.snapshot().krw.upbitStats.scheduled, 0u) << "the switch ticks a warm-up";

    engine.applySettings(krwSettings({kBtc, kEth, kSui}, 60000, false));
    const std::uint64_t ticks = engine.snapshot().stats.ticks;
    engine.refreshNow();
    ASSERT_TRUE(ticked(ticks + 1));
    EXPECT_EQ(krwFake.server().requestCount(), 2u);
}

TEST_F(KrwEngineTest, FailuresCarryTheirKoreanTextsIntoTheKrwCells) {
    krwFake.setUpbit(TestResponse::json(
        404, readKrwFixture("upbit/rest-error-404-code-not-found.captured.json")));
    krwFake.setRates(TestResponse::json(500, ""),
                     TestResponse::json(404, R"({"message":"not found"})"));
    engine.start(krwSettings({kBtc, kEth}, 60000, true), counter());
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return !b.krw.upbit[kBtc].error.empty() && !b.krw.fx.error.empty();
    }));
    engine.refreshNow();
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) { return b.krw.upbitStats.failed; }));
    const PriceBoard board = engine.snapshot();
    for (std::uint32_t c : {kBtc, kEth}) {
        EXPECT_EQ(board.krw.upbit[c].error, "업비트 HTTP 404 Code not found");
        EXPECT_FALSE(board.krw.upbit[c].hasData);
        EXPECT_FALSE(board.krw.upbit[c].lastOk);
    }
    EXPECT_TRUE(board.krw.upbit[kSui].error.empty());
    EXPECT_EQ(board.krw.upbitStats.failed, 1u);
    EXPECT_EQ(board.krw.upbitStats.ok, 0u);
    EXPECT_FALSE(board.krw.fx.hasData);
    EXPECT_EQ(board.krw.fx.error, "환율 조회 실패 (두나무 HTTP 500 · ECB HTTP 404 not found)");

    // A later success keeps nothing of the failure; a failure after it keeps the price.
    krwFake.setUpbit(TestResponse::json(
        200, readKrwFixture("upbit/rest-ticker-krw-btc-eth-sui-usdt.composed-wireformat.json")));
    engine.refreshNow();
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) { return b.krw.upbitStats.ok; }));
    krwFake.setUpbit(TestResponse::reset());
    engine.refreshNow();
    ASSERT_TRUE(
        waitForBoard(engine, [](const PriceBoard& b) { return b.krw.upbitStats.failed == 2; }));
    const PriceCell btc = engine.snapshot().krw.upbit[kBtc];
    EXPECT_TRUE(btc.hasData);
    EXPECT_FALSE(btc.lastOk);
    EXPECT_EQ(btc.price, kUpbitBtc);
    EXPECT_EQ(btc.error.rfind("업비트 ", 0), 0u) << btc.error;
}

TEST_F(KrwEngineTest, AHangingRateFetchDelaysNeitherTheTickNorTheBoard) {
    krwFake.holdBankFeed(true);
    engine.start(krwSettings({kBtc}, 1000, true), counter());
    ASSERT_TRUE(krwFake.server().waitForRequests(1, 10s));
    // While the bank feed hangs, ticks go on and both kinds of cells fill.
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.stats.ticks >= 3 && b.cells[kBitget][kBtc].hasData && b.krw.upbit[kBtc].hasData &&
               b.krw.upbitStats.ok >= 1;
    }));
    EXPECT_EQ(engine.snapshot().cells[kBitget][kBtc].price, kBitgetPrice);
    EXPECT_FALSE(engine.snapshot().krw.fx.hasData);

    krwFake.holdBankFeed(false);
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) { return b.krw.fx.hasData; }));
    EXPECT_EQ(engine.snapshot().krw.fx.quote.krwPerUsd, kBankRate);
}

TEST_F(KrwEngineTest, ASlowUpbitMissesTicksAsOverrunsWithOneFetchInFlight) {
    krwFake.setUpbitDelay(2500ms);
    engine.start(krwSettings({kBtc, kEth, kSui}, 1000, true), counter());
    // Ticks at 0 s (warm-up, busy until 2.5 s, its overruns uncounted), 3 s (a fetch), 4 s and
    // 5 s (overruns).
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.krw.upbitStats.scheduled >= 3; }, 15s));
    const PriceBoard board = engine.snapshot();
    EXPECT_EQ(board.krw.upbitStats.scheduled, 3u);
    EXPECT_EQ(board.krw.upbitStats.overrun, 2u);
    EXPECT_EQ(krwFake.count("/v1/ticker"), 2u) << "never a second request in flight";
    EXPECT_EQ(board.stats.exchanges[kBinance].scheduled, 0u);
    EXPECT_GE(board.stats.exchanges[kBitget].ok, 4u) << "the exchanges keep their own pace";
}

}  // namespace
}  // namespace vindral
