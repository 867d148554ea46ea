// The hub's Korean market on its own: Upbit requests and rate requests are recorded and finished
// by the test, so sharing, scheduling, statistics and the boards of asking and other sessions can
// be followed step by step.
#include <gtest/gtest.h>

#include <chrono>

#include "json/json.h"
#include "net/server_protocol.h"
#include "server/session_hub.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kBtc = 0, kEth = 1, kSui = 2;
constexpr char kBtcWithKrw[] =
    R"({"intervalMs":1000,"exchanges":["Bitget"],"coins":["BTC"],"krw":true,"client":"t"})";
constexpr char kEthSuiWithKrw[] =
    R"({"intervalMs":3000,"exchanges":["Bitget"],"coins":["ETH","SUI"],"krw":true})";
constexpr char kBtcWithoutKrw[] = R"({"intervalMs":1000,"exchanges":["Bitget"],"coins":["BTC"]})";

std::array<FetchOutcome, kCoinCount> upbitPrices(double btc, double eth, double sui) {
    std::array<FetchOutcome, kCoinCount> outcomes;
    const std::array<double, kCoinCount> prices{btc, eth, sui};
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        outcomes[c] = {.ok = prices[c] > 0,
                       .price = prices[c],
                       .latencyMs = 30,
                       .error = prices[c] > 0 ? "" : "업비트 HTTP 404 Code not found"};
    }
    return outcomes;
}

FxFetch bankRate(double krwPerUsd) {
    return {FxQuote{krwPerUsd, 1756528200000, FxSource::Bank, "하나은행"}, {}};
}

class KrwHubTest : public ::testing::Test {
  protected:
    KrwHubTest()
        : hub(
              io.get_executor(), {.minDeliveryGapMs = 0}, [](std::uint32_t) {},
              [](std::string_view) {}) {
        hub.attachKrw({[this](const IndexList& coins) { upbitRequests.push_back(coins); },
                       [this] { ++fxRequests; }});
    }

    std::string create(const char* body) {
        const HubReply reply = hub.create(body, "peer");
        EXPECT_EQ(reply.status, 201) << reply.body;
        return parse(reply.body).sessionId;
    }

    std::string boardText(const std::string& id) {
        std::optional<HubReply> answer;
        hub.next(id, std::nullopt, 0, [&](HubReply r) { answer = std::move(r); });
        EXPECT_TRUE(answer.has_value());
        return answer ? answer->body : std::string();
    }

    ServerBoard board(const std::string& id) { return parse(boardText(id)); }

    static ServerBoard parse(const std::string& body) {
        ServerBoard board;
        std::string error;
        EXPECT_TRUE(parseServerBoard(body, board, error)) << error << " in " << body;
        return board;
    }

    void finishUpbit(std::array<FetchOutcome, kCoinCount> outcomes) {
        hub.upbitDone(std::move(outcomes));
        io.restart();
        io.poll();
    }

    void finishFx(FxFetch fetch) {
        hub.fxDone(std::move(fetch));
        io.restart();
        io.poll();
    }

    void runFor(std::chrono::milliseconds d) {
        io.restart();
        io.run_for(d);
    }

    boost::asio::io_context io;
    std::vector<IndexList> upbitRequests;
    int fxRequests = 0;
    SessionHub hub;
};

TEST_F(KrwHubTest, ASessionThatDoesNotAskGetsTodaysDocumentAndCostsNothing) {
    const std::string plain = create(kBtcWithoutKrw);
    EXPECT_TRUE(upbitRequests.empty());
    EXPECT_EQ(fxRequests, 0);
    create(kBtcWithKrw);
    finishUpbit(upbitPrices(1.3e8, 0, 0));
    finishFx(bankRate(1391.5));

    const std::optional<JsonValue> root = parseJson(boardText(plain));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->keys,
              (std::vector<std::string>{"sessionId", "seq", "serverTimeMs", "cells", "stats"}));
}

TEST_F(KrwHubTest, OneUpbitRequestServesEveryAskingSession) {
    const std::string btc = create(kBtcWithKrw);
    const std::string alsoBtc = create(kBtcWithKrw);
    const std::string ethSui = create(kEthSuiWithKrw);
    // The first asker starts the request and the rate; ETH and SUI wait for the request in flight.
    EXPECT_EQ(upbitRequests, std::vector<IndexList>{{kBtc}});
    EXPECT_EQ(fxRequests, 1);

    const std::uint64_t ethSuiSeq = board(ethSui).seq;
    const std::uint64_t btcSeq = board(btc).seq;
    finishUpbit(upbitPrices(1.3e8, 0, 0));
    EXPECT_EQ(board(btc).seq, btcSeq + 1);
    EXPECT_EQ(board(ethSui).seq, ethSuiSeq);  // nothing of its coins came

    runFor(1100ms);  // the next tick asks for the union, once
    ASSERT_EQ(upbitRequests.size(), 2u);
    EXPECT_EQ(upbitRequests[1], (IndexList{kBtc, kEth, kSui}));
    finishUpbit(upbitPrices(1.31e8, 5.1e6, 0));

    ServerBoard b = board(alsoBtc);
    ASSERT_EQ(b.krw.size(), 1u);
    EXPECT_EQ(b.krw[0].coin, kBtc);
    EXPECT_EQ(b.krw[0].price, 1.31e8);
    EXPECT_EQ(b.krw[0].prevPrice, 1.3e8);
    b = board(ethSui);
    ASSERT_EQ(b.krw.size(), 2u);
    EXPECT_EQ(b.krw[0].coin, kEth);
    EXPECT_EQ(b.krw[0].price, 5.1e6);
    EXPECT_EQ(b.krw[1].coin, kSui);
    EXPECT_FALSE(b.krw[1].hasData);
    EXPECT_EQ(b.krw[1].error, "업비트 HTTP 404 Code not found");
    EXPECT_TRUE(b.cells.size() == 2u && b.stats.size() == 1u);

    // The rate reaches every asking session, and moves their seq only when it changes.
    finishFx(bankRate(1391.5));
    const std::uint64_t afterRate = board(btc).seq;
    b = board(ethSui);
    ASSERT_TRUE(b.fx);
    EXPECT_EQ(b.fx->quote.krwPerUsd, 1391.5);
    EXPECT_EQ(b.fx->quote.provider, "하나은행");
    finishFx(bankRate(1391.5));
    EXPECT_EQ(board(btc).seq, afterRate);
}

TEST_F(KrwHubTest, CountsUpbitLikeAnExchangeOfTheSession) {
    const std::string id = create(kBtcWithKrw);
    runFor(1100ms);  // tick 1 finds the warm-up request still out: not counted
    finishUpbit(upbitPrices(1.3e8, 0, 0));
    ServerBoard b = board(id);
    ASSERT_TRUE(b.krwStats);
    EXPECT_EQ(b.krwStats->scheduled, 0u);

    runFor(1000ms);  // tick 2 starts a counted request
    ASSERT_EQ(upbitRequests.size(), 2u);
    runFor(1000ms);  // tick 3 finds it running
    finishUpbit(upbitPrices(0, 0, 0));
    b = board(id);
    EXPECT_EQ(b.krwStats->scheduled, 2u);
    EXPECT_EQ(b.krwStats->overrun, 1u);
    EXPECT_EQ(b.krwStats->failed, 1u);
    EXPECT_EQ(b.krwStats->ok, 0u);
    // A failure keeps the price.
    EXPECT_EQ(b.krw[0].price, 1.3e8);
    EXPECT_FALSE(b.krw[0].lastOk);
}

TEST_F(KrwHubTest, StopsWithTheLastAskingSessionAndStartsEmptyAgain) {
    const std::string first = create(kBtcWithKrw);
    finishUpbit(upbitPrices(1.3e8, 0, 0));
    finishFx(bankRate(1391.5));
    EXPECT_EQ(hub.remove(first).status, 204);
    runFor(1500ms);
    EXPECT_EQ(upbitRequests.size(), 1u);

    // Asked again: the old price is gone, the rate (with its own posting time) is kept and not
    // asked for before it is due.
    const std::string second = create(kBtcWithKrw);
    const ServerBoard b = board(second);
    ASSERT_EQ(b.krw.size(), 1u);
    EXPECT_FALSE(b.krw[0].hasData);
    EXPECT_EQ(b.fx->quote.krwPerUsd, 1391.5);
    EXPECT_EQ(fxRequests, 1);
    EXPECT_EQ(upbitRequests.size(), 2u);
}

TEST_F(KrwHubTest, AnUpdateThatStopsAskingDropsTheMembers) {
    const std::string id = create(kBtcWithKrw);
    finishUpbit(upbitPrices(1.3e8, 0, 0));
    const HubReply reply = hub.update(id, kBtcWithoutKrw);
    EXPECT_EQ(reply.status, 200);
    const ServerBoard b = parse(reply.body);
    EXPECT_TRUE(b.krw.empty());
    EXPECT_FALSE(b.krwStats);
    EXPECT_FALSE(b.fx);
    runFor(1500ms);
    EXPECT_EQ(upbitRequests.size(), 1u);

    const std::optional<JsonValue> status = parseJson(hub.status(0).body);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->find("krwSessions")->number, 0);
    EXPECT_TRUE(status->find("krw")->items.empty());
}

}  // namespace
}  // namespace vindral
