// The hub on its own: fetches are started into a list and finished by the test, so the polling,
// statistics and wake-up rules can be followed tick by tick. Boards are read back with the
// client's own parser.
#include "server/session_hub.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <chrono>

#include "net/server_protocol.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kBitgetBtc = 1 * kCoinCount + 0;
constexpr std::uint32_t kBitgetEth = 1 * kCoinCount + 1;
constexpr const char* kBitgetBtcEvery1s =
    R"({"intervalMs":1000,"exchanges":["Bitget"],"coins":["BTC"],"client":"test"})";

FetchOutcome priced(double price, double latencyMs) {
    return {.ok = true, .price = price, .open24h = 90, .latencyMs = latencyMs, .error = {}};
}

FetchOutcome failed(const char* text) {
    return {.ok = false, .error = text};
}

ServerBoard parse(const HubReply& reply) {
    ServerBoard board;
    std::string error;
    EXPECT_TRUE(parseServerBoard(reply.body, board, error)) << error << " in " << reply.body;
    return board;
}

class SessionHubTest : public ::testing::Test {
  protected:
    // Deliveries unspaced: these tests follow single answers; the spacing has tests of its own.
    explicit SessionHubTest(HubOptions options = {.minDeliveryGapMs = 0})
        : hub(
              io.get_executor(), options, [this](std::uint32_t cell) { started.push_back(cell); },
              [this](std::string_view line) { log.emplace_back(line); }) {}

    std::string create(const char* body) {
        const HubReply reply = hub.create(body, "peer");
        EXPECT_EQ(reply.status, 201) << reply.body;
        return parse(reply).sessionId;
    }

    // The board as an immediate long poll answers it.
    ServerBoard board(const std::string& id) {
        std::optional<HubReply> answer;
        hub.next(id, std::nullopt, 0, [&](HubReply r) { answer = std::move(r); });
        EXPECT_TRUE(answer.has_value());
        EXPECT_EQ(answer->status, 200) << answer->body;
        return parse(*answer);
    }

    void runFor(std::chrono::milliseconds d) {
        io.restart();
        io.run_for(d);
    }

    void finish(std::uint32_t cell, FetchOutcome outcome) {
        hub.fetchDone(cell, std::move(outcome));
        io.restart();
        io.poll();
    }

    boost::asio::io_context io;
    std::vector<std::uint32_t> started;
    std::vector<std::string> log;
    SessionHub hub;
};

TEST_F(SessionHubTest, CountsWarmUpAndOverrunsLikeAnEngineOfItsOwn) {
    const std::string id = create(kBitgetBtcEvery1s);
    EXPECT_EQ(started, std::vector<std::uint32_t>{kBitgetBtc});  // the warm-up fetch

    runFor(1100ms);  // tick 1 finds the warm-up fetch still running
    EXPECT_EQ(started.size(), 1u);
    finish(kBitgetBtc, priced(100, 50));
    ServerBoard b = board(id);
    ASSERT_EQ(b.cells.size(), 1u);
    EXPECT_EQ(b.cells[0].price, 100);
    EXPECT_EQ(b.cells[0].prevPrice, 100);
    ASSERT_EQ(b.stats.size(), 1u);
    EXPECT_EQ(b.stats[0].scheduled, 0u);  // warm-up fetch and its overruns are not counted
    EXPECT_EQ(b.stats[0].ok, 0u);

    runFor(1000ms);  // tick 2 starts a counted fetch
    EXPECT_EQ(started.size(), 2u);
    runFor(1000ms);  // tick 3 finds it running
    EXPECT_EQ(started.size(), 2u);
    finish(kBitgetBtc, priced(101, 100));
    b = board(id);
    EXPECT_EQ(b.cells[0].price, 101);
    EXPECT_EQ(b.cells[0].prevPrice, 100);
    EXPECT_EQ(b.stats[0].scheduled, 2u);
    EXPECT_EQ(b.stats[0].overrun, 1u);
    EXPECT_EQ(b.stats[0].ok, 1u);
    EXPECT_EQ(b.stats[0].avgLatencyMs, 100);
}

// A session whose tick falls on its cell's poll counts that very poll, however fast the exchange
// answers, as an engine's tick counts the fetch it starts: the tick never runs after the poll.
TEST(SessionHubTickTest, ATickThatFallsOnItsCellsPollCountsThatPollThoughItEndsAtOnce) {
    boost::asio::io_context io;
    SessionHub* answering = nullptr;
    SessionHub hub(
        io.get_executor(), {.minDeliveryGapMs = 0},
        [&](std::uint32_t cell) {
            boost::asio::post(io, [&, cell] { answering->fetchDone(cell, priced(100, 5)); });
        },
        [](std::string_view) {});
    answering = &hub;
    const ServerBoard created = parse(hub.create(kBitgetBtcEvery1s, "peer"));
    io.run_for(1100ms);  // the warm-up fetch, then the first counted tick with the cell's poll

    std::optional<HubReply> answer;
    hub.next(created.sessionId, std::nullopt, 0, [&](HubReply r) { answer = std::move(r); });
    ASSERT_TRUE(answer);
    const ServerBoard b = parse(*answer);
    ASSERT_EQ(b.stats.size(), 1u);
    EXPECT_EQ(b.stats[0].scheduled, 1u);
    EXPECT_EQ(b.stats[0].ok, 1u);
    EXPECT_EQ(b.stats[0].overrun, 0u);
    hub.close();
}

TEST_F(SessionHubTest, SessionsShareOnePollerPerCell) {
    const std::string fast = create(kBitgetBtcEvery1s);
    const std::string slow =
        create(R"({"intervalMs":3000,"exchanges":["Bitget"],"coins":["BTC","ETH"]})");
    // BTC was already being fetched; only ETH is new.
    EXPECT_EQ(started, (std::vector<std::uint32_t>{kBitgetBtc, kBitgetEth}));
    for (int i = 0; i < 10; ++i)
        create(kBitgetBtcEvery1s);
    EXPECT_EQ(started.size(), 2u);

    const std::uint64_t fastSeq = board(fast).seq;
    const std::uint64_t slowSeq = board(slow).seq;
    finish(kBitgetBtc, priced(100, 40));
    finish(kBitgetEth, failed("HTTP 502"));
    EXPECT_EQ(board(fast).seq, fastSeq + 1);
    const ServerBoard s = board(slow);
    EXPECT_EQ(s.seq, slowSeq + 2);
    ASSERT_EQ(s.cells.size(), 2u);
    EXPECT_TRUE(s.cells[0].hasData);
    EXPECT_FALSE(s.cells[1].lastOk);
    EXPECT_EQ(s.cells[1].error, "HTTP 502");

    // BTC is polled at the shortest interval asked for, ETH at the slow session's.
    runFor(1100ms);
    EXPECT_EQ(started, (std::vector<std::uint32_t>{kBitgetBtc, kBitgetEth, kBitgetBtc}));
    finish(kBitgetBtc, failed("시간 초과"));
    EXPECT_EQ(board(fast).stats[0].failed, 1u);
    EXPECT_EQ(board(slow).stats[0].scheduled, 0u);  // its own interval has not come round

    // Nobody selects ETH once the slow session is gone: the cell is emptied and a new
    // subscriber starts it again with a warm-up fetch.
    EXPECT_EQ(hub.remove(slow).status, 204);
    const std::string again = create(R"({"intervalMs":5000,"coins":["ETH"]})");
    EXPECT_EQ(started.back(), kBitgetEth);
    EXPECT_FALSE(board(again).cells[0].hasData);
}

TEST_F(SessionHubTest, LongPollWaitsForANewSeqOrTheHoldTime) {
    const std::string id = create(kBitgetBtcEvery1s);
    const std::uint64_t seq = board(id).seq;

    std::optional<HubReply> answer;
    hub.next(id, seq, 5000, [&](HubReply r) { answer = std::move(r); });
    io.restart();
    io.poll();
    EXPECT_FALSE(answer.has_value());
    finish(kBitgetBtc, priced(100, 10));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(parse(*answer).seq, seq + 1);
    EXPECT_EQ(parse(*answer).cells[0].price, 100);

    answer.reset();
    hub.next(id, seq + 1, 50, [&](HubReply r) { answer = std::move(r); });
    runFor(150ms);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(parse(*answer).seq, seq + 1);  // nothing new: the same board

    // A fifth poll on one session answers the oldest at once.
    std::vector<std::uint64_t> answered;
    for (int i = 0; i < 5; ++i) {
        hub.next(id, seq + 1, 5000, [&answered, i](HubReply) { answered.push_back(i); });
    }
    EXPECT_EQ(answered, std::vector<std::uint64_t>{0});
    EXPECT_EQ(hub.remove(id).status, 204);  // the rest learn that the session is gone
    EXPECT_EQ(answered, (std::vector<std::uint64_t>{0, 1, 2, 3, 4}));
}

TEST_F(SessionHubTest, HoldsEndInDeadlineOrderWhateverOrderTheyCameIn) {
    const std::string a = create(kBitgetBtcEvery1s);
    const std::string b = create(kBitgetBtcEvery1s);
    std::vector<std::string> answered;
    const auto poll = [&](const std::string& id, std::int64_t holdMs) {
        hub.next(id, board(id).seq, holdMs, [&answered, id](HubReply reply) {
            EXPECT_EQ(reply.status, 200);
            answered.push_back(id);
        });
    };
    poll(a, 400);
    poll(b, 60);  // ends before the hold already waiting
    runFor(200ms);
    EXPECT_EQ(answered, std::vector<std::string>{b});

    // A new price ends a's hold early; b's next hold ends after a's would have.
    finish(kBitgetBtc, priced(100, 10));
    EXPECT_EQ(answered, (std::vector<std::string>{b, a}));
    poll(b, 400);
    runFor(300ms);
    EXPECT_EQ(answered, (std::vector<std::string>{b, a}));
    runFor(250ms);
    EXPECT_EQ(answered, (std::vector<std::string>{b, a, b}));
}

TEST_F(SessionHubTest, AnswersUnknownSessionsWith404) {
    std::optional<HubReply> answer;
    hub.next("nope", 1, 1000, [&](HubReply r) { answer = std::move(r); });
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->status, 404);
    EXPECT_EQ(answer->body, R"({"error":"세션이 없습니다"})");
    EXPECT_EQ(hub.update("nope", kBitgetBtcEvery1s).status, 404);
    EXPECT_EQ(hub.refresh("nope").status, 404);
    EXPECT_EQ(hub.remove("nope").status, 404);
}

class ShortLivedHubTest : public SessionHubTest {
  protected:
    ShortLivedHubTest()
        : SessionHubTest(
              HubOptions{.sessionExpiryMs = 200, .maxSessions = 2, .minDeliveryGapMs = 0}) {}
};

TEST_F(ShortLivedHubTest, ExpiresUnpolledSessionsAndKeepsPolledOnes) {
    const std::string idle = create(kBitgetBtcEvery1s);
    const std::string polled = create(kBitgetBtcEvery1s);
    const HubReply full = hub.create(kBitgetBtcEvery1s, "peer");
    EXPECT_EQ(full.status, 503);
    EXPECT_EQ(full.body, R"({"error":"세션 수 한도(2개)에 도달했습니다"})");

    std::optional<HubReply> held;
    hub.next(polled, board(polled).seq, 400, [&](HubReply r) { held = std::move(r); });
    runFor(300ms);
    EXPECT_FALSE(held.has_value());
    EXPECT_EQ(hub.sessionCount(), 1u);
    std::optional<HubReply> late;
    hub.next(idle, std::nullopt, 0, [&](HubReply r) { late = std::move(r); });
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->status, 404);
    EXPECT_EQ(log.back(), "session " + idle + " expired (1 sessions)");
    // A held poll keeps its session alive; the expiry time runs from its answer.
    runFor(150ms);
    ASSERT_TRUE(held.has_value());
    EXPECT_EQ(held->status, 200);
    EXPECT_EQ(hub.sessionCount(), 1u);
}

}  // namespace
}  // namespace vindral
