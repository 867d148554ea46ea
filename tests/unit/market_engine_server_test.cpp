// The server road against a fake price server on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <thread>

#include "core/format.h"
#include "core/market_engine.h"
#include "tests/support/fake_exchange.h"
#include "tests/support/fake_price_server.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::FakePriceServer;
using test::ServerCall;
using test::ServerScript;
using test::TestResponse;

constexpr std::uint32_t kBinance = 0, kBitget = 1;
constexpr std::uint32_t kBtc = 0, kEth = 1, kSui = 2;

// Under Wine a cancelled request only ends at its time-out, so there held polls are answered
// before the engine stops.
#ifdef _WIN32
constexpr bool kCancelEndsHeldRequests = false;
#else
constexpr bool kCancelEndsHeldRequests = true;
#endif

Settings serverSettings(const std::wstring& url, std::initializer_list<std::uint32_t> coins) {
    Settings s;
    s.serverUrl = url;
    s.intervalMs = 2000;
    s.exchanges.fill(false);
    s.exchanges[kBitget] = true;
    s.coins.fill(false);
    for (std::uint32_t c : coins) {
        s.coins[c] = true;
    }
    return s;
}

bool waitForBoard(const MarketEngine& engine, const std::function<bool(const PriceBoard&)>& ready,
                  std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (ready(engine.snapshot())) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return ready(engine.snapshot());
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class ServerEngineTest : public ::testing::Test {
  protected:
    void SetUp() override { server.setPrice(kBitget, kBtc, 100, 90); }

    void TearDown() override {
        // Held polls are answered first: under Wine a cancel only ends at the request's time-out.
        server.releasePolls();
        engine.stop();
    }

    std::function<void()> counter() {
        return [this] { changes.fetch_add(1); };
    }

    void startAndWaitForSession(std::initializer_list<std::uint32_t> coins = {kBtc}) {
        engine.start(serverSettings(server.baseUrlW(), coins), counter());
        // The board is visible before onChange runs (it is called outside the lock).
        ASSERT_TRUE(waitForBoard(engine, [this](const PriceBoard& b) {
            return b.cells[kBitget][kBtc].price == 100 && changes.load() >= 1;
        }));
        ASSERT_TRUE(server.waitForCalls(ServerCall::Poll, 1, 10s));
    }

    FakePriceServer server;
    test::FakeExchange exchange{VINDRAL_SHARED_DIR "/fixtures/exchanges"};
    MarketEngine engine{exchange.endpoints()};
    std::atomic<int> changes{0};
};

TEST_F(ServerEngineTest, MirrorsTheSessionBoardsOntoTheLocalClock) {
    server.setClockOffsetMs(-3'600'000);
    server.setPrice(kBitget, kBtc, 100, 90);
    startAndWaitForSession({kBtc, kSui});

    const std::vector<test::FakeSession> sessions = server.sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].intervalMs, 2000);
    EXPECT_EQ(sessions[0].exchanges, (std::vector<std::string>{"Bitget"}));
    EXPECT_EQ(sessions[0].coins, (std::vector<std::string>{"BTC", "SUI"}));

    const PriceBoard board = engine.snapshot();
    const PriceCell& cell = board.cells[kBitget][kBtc];
    EXPECT_TRUE(cell.hasData);
    EXPECT_TRUE(cell.lastOk);
    EXPECT_EQ(cell.open24h, 90);
    // The server's clock is an hour behind; its times are moved onto ours.
    EXPECT_LT(std::abs(cell.updatedAtMs - wallClockMs()), 60'000);
    EXPECT_FALSE(board.cells[kBitget][kSui].hasData);
    EXPECT_EQ(board.stats.exchanges[kBitget].ok, 2u) << "two prices were set";
    EXPECT_EQ(board.stats.inFlight, 0u);
    EXPECT_GT(board.stats.lastTickMs, 0);
    EXPECT_TRUE(board.serverAnswered);

    const int before = changes.load();
    server.setPrice(kBitget, kBtc, 101, 90);
    ASSERT_TRUE(waitForBoard(engine, [&](const PriceBoard& b) {
        return b.cells[kBitget][kBtc].price == 101 && changes.load() > before;
    }));
    EXPECT_EQ(engine.snapshot().cells[kBitget][kBtc].prevPrice, 100);
    const auto polls = server.calls(ServerCall::Poll);
    EXPECT_EQ(polls[0].path, "/api/sessions/s1/next");
    EXPECT_EQ(polls[0].query, "after=1&timeoutMs=20000");
}

TEST_F(ServerEngineTest, ServerDownShowsTheClientTextInEveryEnabledCell) {
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(test::closedLoopbackPort());
    const std::string clientText =
        HttpClient().request(L"POST", url + L"/api/sessions", "x", 0).error;
    ASSERT_FALSE(clientText.empty());

    engine.start(serverSettings(url, {kBtc, kEth}), counter());
    ASSERT_TRUE(waitForBoard(engine, [this](const PriceBoard& b) {
        return !b.cells[kBitget][kBtc].error.empty() && !b.cells[kBitget][kEth].error.empty() &&
               changes.load() >= 1;
    }));
    const PriceBoard board = engine.snapshot();
    EXPECT_EQ(board.cells[kBitget][kBtc].error, "서버 " + clientText);
    EXPECT_EQ(board.cells[kBitget][kEth].error, "서버 " + clientText);
    EXPECT_FALSE(board.cells[kBitget][kEth].lastOk);
    EXPECT_TRUE(board.cells[kBitget][kSui].error.empty()) << "disabled cells are not touched";
    EXPECT_TRUE(board.cells[kBinance][kBtc].error.empty());
    EXPECT_FALSE(board.serverAnswered) << "the window's hint to the direct road depends on it";
}

TEST_F(ServerEngineTest, FailedCreateIsRetriedAfterThreeSecondsOrAtOnceOnASettingsChange) {
    server.script(ServerCall::Create,
                  ServerScript{TestResponse::json(503, R"({"error":"busy"})"), 0ms, -1});
    engine.start(serverSettings(server.baseUrlW(), {kBtc}), counter());
    ASSERT_TRUE(server.waitForCalls(ServerCall::Create, 1, 10s));
    const auto first = Clock::now();
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.cells[kBitget][kBtc].error == "서버 HTTP 503 busy";
    }));

    ASSERT_TRUE(server.waitForCalls(ServerCall::Create, 2, 10s));
    const double gapMs = msSince(first);
    EXPECT_GE(gapMs, 2900);
    EXPECT_LE(gapMs, 4500);

    // During the next wait a settings change sends the create again at once, with the change.
    server.clearScripts();
    const auto change = Clock::now();
    engine.applySettings(serverSettings(server.baseUrlW(), {kBtc, kEth}));
    ASSERT_TRUE(server.waitForCalls(ServerCall::Create, 3, 10s));
    EXPECT_LT(msSince(change), 1000);
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.cells[kBitget][kBtc].price == 100; }));
    EXPECT_TRUE(engine.snapshot().cells[kBitget][kBtc].error.empty());
    EXPECT_EQ(server.sessions().at(0).coins, (std::vector<std::string>{"BTC", "ETH"}));
}

TEST_F(ServerEngineTest, AnswerWithTheSameSeqRaisesNoChange) {
    server.setHoldLimit(30ms);
    startAndWaitForSession();
    const int after = changes.load();
    const std::size_t polls = server.callCount(ServerCall::Poll);
    ASSERT_TRUE(server.waitForCalls(ServerCall::Poll, polls + 3, 10s));
    EXPECT_EQ(changes.load(), after);
}

TEST_F(ServerEngineTest, PollsAnsweredAtOnceWithNothingNewAreSpacedOut) {
    // A broken server: every poll comes back at once with the seq the client already has.
    server.setHoldLimit(0ms);
    startAndWaitForSession();
    const std::size_t first = server.callCount(ServerCall::Poll);
    ASSERT_TRUE(server.waitForCalls(ServerCall::Poll, first + 4, 15s));
    const auto polls = server.calls(ServerCall::Poll);
    // The waits grow 250, 500, 1000 ms (arrival times of the requests, with scheduling slack).
    const double spanMs =
        std::chrono::duration<double, std::milli>(polls[first + 3].at - polls[first].at).count();
    EXPECT_GE(spanMs, 1600) << "polls were not spaced";
}

TEST_F(ServerEngineTest, SessionsLostAgainAndAgainAreCreatedWithGrowingWaits) {
    server.script(ServerCall::Poll,
                  ServerScript{TestResponse::json(404, R"({"error":"unknown session"})"), 0ms, -1});
    engine.start(serverSettings(server.baseUrlW(), {kBtc}), counter());
    ASSERT_TRUE(server.waitForCalls(ServerCall::Create, 4, 15s));
    const auto creates = server.calls(ServerCall::Create);
    const auto gapMs = [&](std::size_t i) {
        return std::chrono::duration<double, std::milli>(creates[i + 1].at - creates[i].at).count();
    };
    EXPECT_LT(gapMs(0), 900) << "the first loss is re-created at once";
    EXPECT_GE(gapMs(1), 950);
    EXPECT_GE(gapMs(2), 1950);
    EXPECT_TRUE(engine.snapshot().cells[kBitget][kBtc].error.empty()) << "a 404 is no error";
}

TEST_F(ServerEngineTest, SessionIdThatCannotGoIntoAUrlIsAFailedCreate) {
    const std::string hugeId(10 * 1024, 'a');
    server.script(ServerCall::Create,
                  ServerScript{TestResponse::json(
                                   201, R"({"sessionId":")" + hugeId + R"(","seq":1,"cells":[]})"),
                               0ms, 1});
    engine.start(serverSettings(server.baseUrlW(), {kBtc}), counter());
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.cells[kBitget][kBtc].error == "서버 응답 형식 오류";
    }));
    EXPECT_EQ(server.callCount(ServerCall::Poll), 0u);
    // Retried like any failed create; the server's next answer is a usable session.
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.cells[kBitget][kBtc].price == 100; }));
    EXPECT_EQ(server.callCount(ServerCall::Create), 2u);
}

TEST_F(ServerEngineTest, PollAnsweredWithAnUnexpectedStatusAndNoBodyStillSaysWhy) {
    server.script(ServerCall::Poll, ServerScript{TestResponse::json(201, ""), 0ms, 1});
    startAndWaitForSession();
    ASSERT_TRUE(waitForBoard(engine, [](const PriceBoard& b) {
        return b.cells[kBitget][kBtc].error == "서버 HTTP 201";
    }));
    EXPECT_FALSE(engine.snapshot().cells[kBitget][kBtc].lastOk);
}

TEST_F(ServerEngineTest, ForgottenSessionIsCreatedAgainAtOnce) {
    startAndWaitForSession();
    server.setPrice(kBitget, kBtc, 100, 95);
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.cells[kBitget][kBtc].open24h == 95; }));

    const auto forgotten = Clock::now();
    server.forgetSessions();
    server.setPrice(kBitget, kBtc, 102, 95);
    ASSERT_TRUE(server.waitForCalls(ServerCall::Create, 2, 10s));
    EXPECT_LT(msSince(forgotten), 1000) << "no wait after a 404";
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.cells[kBitget][kBtc].price == 102; }));
    EXPECT_TRUE(engine.snapshot().cells[kBitget][kBtc].error.empty()) << "a 404 is no error";
    EXPECT_EQ(server.sessions().at(0).id, "s2");
}

TEST_F(ServerEngineTest, PollFailuresShowTheServerTextAndKeepThePrice) {
    struct Case {
        TestResponse reply;
        const char* text;
    };
    const Case cases[] = {
        {TestResponse::json(500, R"({"error":"boom"})"), "서버 HTTP 500 boom"},
        {TestResponse::json(200, "{not json"), "서버 응답 형식 오류"},
        {TestResponse::json(200, R"({"error":"session limit"})"), "서버: session limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        FakePriceServer failing;
        failing.setPrice(kBitget, kBtc, 100, 90);
        failing.script(ServerCall::Poll, ServerScript{c.reply, 0ms, 1});
        engine.start(serverSettings(failing.baseUrlW(), {kBtc}), counter());
        ASSERT_TRUE(waitForBoard(
            engine, [&](const PriceBoard& b) { return b.cells[kBitget][kBtc].error == c.text; }));
        const PriceCell cell = engine.snapshot().cells[kBitget][kBtc];
        EXPECT_TRUE(cell.hasData);
        EXPECT_FALSE(cell.lastOk);
        EXPECT_EQ(cell.price, 100);
        failing.releasePolls();
        engine.stop();
    }
}

TEST_F(ServerEngineTest, SettingsChangeDuringALongPollGoesOutAtOnceOnTheOtherClient) {
    server.setPrice(kBitget, kEth, 2000, 1900);
    // Every poll is slow, so only the update's own answer can bring the new coin.
    server.script(ServerCall::Poll, ServerScript{std::nullopt, 20s, -1});
    startAndWaitForSession({kBtc});
    ASSERT_FALSE(engine.snapshot().cells[kBitget][kEth].hasData);

    const int before = changes.load();
    const auto change = Clock::now();
    engine.applySettings(serverSettings(server.baseUrlW(), {kBtc, kEth}));
    ASSERT_TRUE(waitForBoard(engine, [&](const PriceBoard& b) {
        return b.cells[kBitget][kEth].price == 2000 && changes.load() > before;
    }));
    EXPECT_LT(msSince(change), 2000);
    const auto updates = server.calls(ServerCall::Update);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].method, "PUT");
    EXPECT_EQ(updates[0].path, "/api/sessions/s1");
    EXPECT_EQ(
        updates[0].body,
        R"({"intervalMs":2000,"exchanges":["Bitget"],"coins":["BTC","ETH"],"client":"vindral-pc"})");
    EXPECT_EQ(server.callCount(ServerCall::Create), 1u);
}

TEST_F(ServerEngineTest, FailedUpdateIsRetriedEveryTwoSecondsWithoutShowingAnError) {
    startAndWaitForSession();
    server.script(ServerCall::Update,
                  ServerScript{TestResponse::json(500, R"({"error":"later"})"), 0ms, 1});
    engine.applySettings(serverSettings(server.baseUrlW(), {kBtc, kSui}));
    ASSERT_TRUE(server.waitForCalls(ServerCall::Update, 1, 10s));
    const auto failed = Clock::now();
    ASSERT_TRUE(server.waitForCalls(ServerCall::Update, 2, 10s));
    const double gapMs = msSince(failed);
    EXPECT_GE(gapMs, 1900);
    EXPECT_LE(gapMs, 3500);
    ASSERT_TRUE(waitForBoard(engine, [&](const PriceBoard&) {
        return server.sessions().at(0).coins == std::vector<std::string>{"BTC", "SUI"};
    }));
    EXPECT_TRUE(engine.snapshot().cells[kBitget][kBtc].error.empty());
    EXPECT_TRUE(engine.snapshot().cells[kBitget][kBtc].lastOk);
}

TEST_F(ServerEngineTest, RefreshIsSentOnTheControlClient) {
    startAndWaitForSession();
    engine.refreshNow();
    ASSERT_TRUE(server.waitForCalls(ServerCall::Refresh, 1, 10s));
    const auto refreshes = server.calls(ServerCall::Refresh);
    EXPECT_EQ(refreshes[0].method, "POST");
    EXPECT_EQ(refreshes[0].path, "/api/sessions/s1/refresh");
    EXPECT_TRUE(refreshes[0].body.empty());
}

TEST_F(ServerEngineTest, StopWithAnActiveSessionSendsOneDelete) {
    startAndWaitForSession();
    if (!kCancelEndsHeldRequests) {
        server.releasePolls();
    }
    const auto begin = Clock::now();
    engine.stop();
    if (kCancelEndsHeldRequests) {
        EXPECT_LT(msSince(begin), 1000) << "a held long poll is cancelled";
    }
    const int afterStop = changes.load();
    ASSERT_EQ(server.callCount(ServerCall::Delete), 1u);
    EXPECT_EQ(server.calls(ServerCall::Delete)[0].path, "/api/sessions/s1");
    EXPECT_TRUE(server.sessions().empty());

    engine.stop();
    EXPECT_EQ(server.callCount(ServerCall::Delete), 1u);
    server.setPrice(kBitget, kBtc, 103, 90);
    EXPECT_EQ(changes.load(), afterStop);
    EXPECT_EQ(engine.snapshot().cells[kBitget][kBtc].price, 100) << "the board outlives stop";
}

TEST_F(ServerEngineTest, UrlChangeRestartsOnTheOtherRoadWithTheSameCallback) {
    Settings direct = serverSettings(L"", {kBtc});
    engine.start(direct, counter());
    ASSERT_TRUE(waitForBoard(engine, [this](const PriceBoard& b) {
        return b.cells[kBitget][kBtc].price == 34413.1 && changes.load() >= 1;
    }));
    const int directChanges = changes.load();

    engine.applySettings(serverSettings(L"  " + server.baseUrlW() + L"/ ", {kBtc}));
    EXPECT_EQ(engine.snapshot().config.serverUrl, server.baseUrlW());
    // The callback carried over reports the server's board.
    ASSERT_TRUE(waitForBoard(engine, [&](const PriceBoard& b) {
        return b.cells[kBitget][kBtc].price == 100 && changes.load() > directChanges;
    }));
    EXPECT_EQ(server.callCount(ServerCall::Create), 1u);

    // Back to the direct road: the session is ended on the way.
    server.releasePolls();
    engine.applySettings(direct);
    EXPECT_EQ(server.callCount(ServerCall::Delete), 1u);
    ASSERT_TRUE(waitForBoard(
        engine, [](const PriceBoard& b) { return b.cells[kBitget][kBtc].price == 34413.1; }));
}

}  // namespace
}  // namespace vindral
