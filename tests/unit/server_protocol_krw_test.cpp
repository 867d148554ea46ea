// The Korean market's members of the board document, read and mapped as the session client does,
// against documents from an older server (none of them) and from a new one.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "net/server_protocol.h"

namespace vindral {
namespace {

constexpr char kFormatError[] = "서버 응답 형식 오류";

// Today's document: no Korean members at all.
constexpr char kOlderServerBoard[] =
    R"({"sessionId":"s","seq":3,"serverTimeMs":2000000,)"
    R"("cells":[{"exchange":"Bitget","coin":"BTC","hasData":true,"lastOk":true,"price":100,)"
    R"("prevPrice":99,"open24h":90,"latencyMs":5,"updatedAtMs":1999000,"seq":4,"error":""}],)"
    R"("stats":[{"exchange":"Bitget","scheduled":2,"ok":2,"failed":0,"overrun":0,"avgLatencyMs":5}]})";

constexpr char kKrwBoard[] =
    R"({"sessionId":"s","seq":3,"serverTimeMs":2000000,"cells":[],"stats":[],)"
    R"("krw":[{"coin":"BTC","hasData":true,"lastOk":true,"price":1.3e8,"prevPrice":129990000,)"
    R"("open24h":0,"latencyMs":40.5,"updatedAtMs":1999500,"seq":11,"error":""},)"
    R"({"coin":"SUI","hasData":false,"lastOk":false,"price":0,"prevPrice":0,"open24h":0,)"
    R"("latencyMs":0,"updatedAtMs":0,"seq":0,"error":"업비트 HTTP 404 Code not found"},)"
    R"(7,"BTC",{"coin":"DOGE","hasData":true,"price":5},{"hasData":true,"price":5}],)"
    R"("krwStats":{"scheduled":9,"ok":7,"failed":1,"overrun":1,"avgLatencyMs":41},)"
    R"("fx":{"hasData":true,"lastOk":true,"krwPerUsd":1391.5,"postedAtMs":1756528200000,)"
    R"("source":"bank","provider":"하나은행","error":""}})";

EngineConfig krwConfig() {
    EngineConfig config;
    config.exchanges = {false, true, false, false, false};
    config.coins = {true, true, true};
    config.kimchiPremium = true;
    return config;
}

ServerBoard parsed(const std::string& body) {
    ServerBoard board;
    std::string error;
    EXPECT_TRUE(parseServerBoard(body, board, error)) << error << " in " << body;
    return board;
}

// A board document with only the given Korean members.
std::string boardWith(const std::string& members) {
    return R"({"sessionId":"s","seq":1,"serverTimeMs":2000000,"cells":[],"stats":[],)" + members +
           "}";
}

TEST(KrwWire, AnOlderServerLeavesTheKoreanPartAlone) {
    const ServerBoard board = parsed(kOlderServerBoard);
    EXPECT_TRUE(board.krw.empty());
    EXPECT_FALSE(board.krwStats);
    EXPECT_FALSE(board.fx);

    KrwBoard krw;
    krw.upbit[0].hasData = true;
    krw.upbit[0].price = 123;
    krw.fx.hasData = true;
    krw.fx.quote.krwPerUsd = 1400;
    const KrwBoard before = krw;
    CellGrid cells{};
    BoardStats stats;
    applyServerBoard(board, krwConfig(), cells, stats, krw, 2'000'000);
    EXPECT_EQ(before.upbit[0].price, krw.upbit[0].price);
    EXPECT_EQ(before.fx.quote.krwPerUsd, krw.fx.quote.krwPerUsd);
    // The exchanges' part is mapped as always.
    EXPECT_EQ(100, cells[1][0].price);
    EXPECT_EQ(2u, stats.exchanges[1].ok);
}

TEST(KrwWire, ReadsCellsStatsAndRateAndSkipsWhatDoesNotFit) {
    const ServerBoard board = parsed(kKrwBoard);
    ASSERT_EQ(2u, board.krw.size());  // not objects, an unknown coin, no coin: skipped
    const ServerCell& btc = board.krw[0];
    EXPECT_EQ(0u, btc.coin);
    EXPECT_TRUE(btc.hasData && btc.lastOk && !btc.unusablePrice);
    EXPECT_EQ(1.3e8, btc.price);
    EXPECT_EQ(129990000, btc.prevPrice);
    EXPECT_EQ(40.5, btc.latencyMs);
    EXPECT_EQ(1999500, btc.updatedAtMs);
    EXPECT_EQ(11u, btc.seq);
    EXPECT_EQ(2u, board.krw[1].coin);
    EXPECT_EQ("업비트 HTTP 404 Code not found", board.krw[1].error);

    ASSERT_TRUE(board.krwStats);
    EXPECT_EQ(9u, board.krwStats->scheduled);
    EXPECT_EQ(7u, board.krwStats->ok);
    EXPECT_EQ(1u, board.krwStats->failed);
    EXPECT_EQ(1u, board.krwStats->overrun);
    EXPECT_EQ(41, board.krwStats->avgLatencyMs);

    ASSERT_TRUE(board.fx);
    EXPECT_TRUE(board.fx->hasData && board.fx->lastOk && !board.fx->unusableRate);
    EXPECT_EQ(1391.5, board.fx->quote.krwPerUsd);
    EXPECT_EQ(1756528200000, board.fx->quote.postedAtMs);
    EXPECT_EQ(FxSource::Bank, board.fx->quote.source);
    EXPECT_EQ("하나은행", board.fx->quote.provider);
}

TEST(KrwWire, MembersOfTheWrongShapeAreIgnored) {
    for (const char* members : {R"("krw":{"coin":"BTC"},"krwStats":[1],"fx":"1391")",
                                R"("krw":null,"krwStats":7)", R"("krw":"BTC","krwStats":"x")"}) {
        const ServerBoard board = parsed(boardWith(members));
        EXPECT_TRUE(board.krw.empty()) << members;
        EXPECT_FALSE(board.krwStats) << members;
        EXPECT_FALSE(board.fx) << members;
    }
}

TEST(KrwWire, PricesAndRatesThatAreNotUsable) {
    struct Case {
        const char* cell;
        bool unusable;
    };
    const Case cells[] = {
        {R"({"coin":"ETH","hasData":true,"lastOk":true,"price":-5})", true},
        {R"({"coin":"ETH","hasData":true,"lastOk":true,"price":0})", true},
        {R"({"coin":"ETH","hasData":true,"lastOk":true,"price":"abc"})", true},
        {R"({"coin":"ETH","hasData":true,"lastOk":true})", true},
        {R"({"coin":"ETH","hasData":true,"lastOk":true,"price":"nan"})", true},
        {R"({"coin":"ETH","hasData":true,"lastOk":true,"price":100,"open24h":"-inf"})", true},
        // A numeric string is a number here as in every exchange cell.
        {R"({"coin":"ETH","hasData":true,"lastOk":true,"price":"100"})", false},
        {R"({"coin":"ETH","hasData":true,"lastOk":true,"price":1e300})", false},
        {R"({"coin":"ETH","hasData":false,"lastOk":false,"price":-5})", false},
    };
    for (const Case& c : cells) {
        const ServerBoard board = parsed(boardWith(std::string(R"("krw":[)") + c.cell + "]"));
        ASSERT_EQ(1u, board.krw.size()) << c.cell;
        EXPECT_EQ(c.unusable, board.krw[0].unusablePrice) << c.cell;
    }

    struct FxCase {
        const char* fx;
        bool hasRate;
        bool unusable;
    };
    const FxCase rates[] = {
        {R"({"hasData":true,"lastOk":true,"krwPerUsd":1391.5})", true, false},
        {R"({"hasData":true,"lastOk":true})", false, true},
        {R"({"hasData":true,"lastOk":true,"krwPerUsd":-1})", false, true},
        {R"({"hasData":true,"lastOk":true,"krwPerUsd":"inf"})", false, true},
        {R"({"hasData":true,"lastOk":true,"krwPerUsd":"nan"})", false, true},
        {R"({"hasData":true,"lastOk":true,"krwPerUsd":"x"})", false, true},
        {R"({"hasData":true,"lastOk":true,"krwPerUsd":"1391"})", true, false},
        {R"j({"hasData":false,"lastOk":false,"error":"환율 조회 실패 (두나무 HTTP 500)"})j", false,
         false},
    };
    for (const FxCase& c : rates) {
        const ServerBoard board = parsed(boardWith(std::string(R"("fx":)") + c.fx));
        ASSERT_TRUE(board.fx) << c.fx;
        EXPECT_EQ(c.hasRate, board.fx->quote.krwPerUsd > 0) << c.fx;
        EXPECT_EQ(c.unusable, board.fx->unusableRate) << c.fx;
        EXPECT_TRUE(std::isfinite(board.fx->quote.krwPerUsd)) << c.fx;
    }
}

TEST(KrwWire, HugeNumbersSaturate) {
    const ServerBoard board = parsed(boardWith(
        R"("krw":[{"coin":"BTC","hasData":true,"lastOk":true,"price":5,"updatedAtMs":1e30,)"
        R"("seq":-4}],"krwStats":{"scheduled":1e40,"ok":-1},"fx":{"hasData":true,)"
        R"("lastOk":true,"krwPerUsd":1e308,"postedAtMs":-1e30,"source":"ecb"})"));
    ASSERT_EQ(1u, board.krw.size());
    EXPECT_EQ(std::numeric_limits<std::int64_t>::max(), board.krw[0].updatedAtMs);
    EXPECT_EQ(0u, board.krw[0].seq);
    EXPECT_EQ(std::numeric_limits<std::uint64_t>::max(), board.krwStats->scheduled);
    EXPECT_EQ(0u, board.krwStats->ok);
    EXPECT_EQ(std::numeric_limits<std::int64_t>::min(), board.fx->quote.postedAtMs);
    EXPECT_EQ(FxSource::Ecb, board.fx->quote.source);
}

TEST(KrwWire, MapsOntoTheKrwBoardLikeExchangeCells) {
    const ServerBoard board = parsed(kKrwBoard);
    EngineConfig config = krwConfig();
    config.coins = {true, true, false};  // SUI switched off: its cell is left alone
    CellGrid cells{};
    BoardStats stats;
    KrwBoard krw;
    krw.upbit[2].error = "untouched";
    // The local clock is 1.5 s ahead of the server's.
    applyServerBoard(board, config, cells, stats, krw, 2'001'500);

    const PriceCell& btc = krw.upbit[0];
    EXPECT_TRUE(btc.hasData && btc.lastOk);
    EXPECT_EQ(1.3e8, btc.price);
    EXPECT_EQ(2'001'000, btc.updatedAtMs);
    EXPECT_EQ(11u, btc.seq);
    EXPECT_EQ("untouched", krw.upbit[2].error);
    EXPECT_EQ(7u, krw.upbitStats.ok);
    EXPECT_EQ(41, krw.upbitStats.avgLatencyMs);
    EXPECT_TRUE(krw.fx.hasData && krw.fx.lastOk);
    EXPECT_EQ(1391.5, krw.fx.quote.krwPerUsd);
    // The bank's posting time is its own, not the server's clock.
    EXPECT_EQ(1756528200000, krw.fx.quote.postedAtMs);
    EXPECT_EQ("하나은행", krw.fx.quote.provider);

    // With the option off nothing of it is taken.
    KrwBoard off;
    config.kimchiPremium = false;
    applyServerBoard(board, config, cells, stats, off, 2'001'500);
    EXPECT_FALSE(off.upbit[0].hasData);
    EXPECT_EQ(0u, off.upbitStats.ok);
    EXPECT_FALSE(off.fx.hasData);
}

TEST(KrwWire, UnusableValuesKeepTheOldOnesAndFail) {
    KrwBoard krw;
    krw.upbit[1].hasData = true;
    krw.upbit[1].lastOk = true;
    krw.upbit[1].price = 5e6;
    krw.upbit[1].updatedAtMs = 1000;
    krw.fx.hasData = true;
    krw.fx.lastOk = true;
    krw.fx.quote = {1390, 500, FxSource::Bank, "하나은행"};
    const ServerBoard board = parsed(
        boardWith(R"("krw":[{"coin":"ETH","hasData":true,"lastOk":true,"price":-1,"seq":9}],)"
                  R"("fx":{"hasData":true,"lastOk":true,"krwPerUsd":0,"postedAtMs":900})"));
    CellGrid cells{};
    BoardStats stats;
    applyServerBoard(board, krwConfig(), cells, stats, krw, 2'000'000);
    EXPECT_EQ(5e6, krw.upbit[1].price);
    EXPECT_EQ(1000, krw.upbit[1].updatedAtMs);
    EXPECT_FALSE(krw.upbit[1].lastOk);
    EXPECT_EQ(kFormatError, krw.upbit[1].error);
    EXPECT_EQ(1390, krw.fx.quote.krwPerUsd);
    EXPECT_EQ(500, krw.fx.quote.postedAtMs);
    EXPECT_FALSE(krw.fx.lastOk);
    EXPECT_EQ(kFormatError, krw.fx.error);

    // A failed rate fetch keeps the last rate and carries the server's text.
    const ServerBoard failed = parsed(boardWith(
        R"("fx":{"hasData":true,"lastOk":false,"krwPerUsd":1390,"postedAtMs":500,)"
        R"j("source":"bank","provider":"하나은행","error":"환율 조회 실패 (두나무 HTTP 500 · ECB 연결 실패)"})j"));
    applyServerBoard(failed, krwConfig(), cells, stats, krw, 2'000'000);
    EXPECT_TRUE(krw.fx.hasData);
    EXPECT_EQ(1390, krw.fx.quote.krwPerUsd);
    EXPECT_EQ("환율 조회 실패 (두나무 HTTP 500 · ECB 연결 실패)", krw.fx.error);
}

}  // namespace
}  // namespace vindral
