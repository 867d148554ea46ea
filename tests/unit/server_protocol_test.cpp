#include "net/server_protocol.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace vindral {
namespace {

EngineConfig configWith(std::int32_t intervalMs, std::array<bool, 5> exchanges,
                        std::array<bool, 3> coins) {
    EngineConfig config;
    config.intervalMs = intervalMs;
    config.exchanges = exchanges;
    config.coins = coins;
    return config;
}

HttpResponse answer(std::int32_t status, std::string body) {
    HttpResponse response;
    response.ok = true;
    response.status = status;
    response.body = std::move(body);
    return response;
}

TEST(BuildSessionBody, ExactText) {
    struct Case {
        EngineConfig config;
        const char* expected;
    };
    const Case cases[] = {
        {configWith(5000, {true, true, true, false, false}, {true, false, true}),
         R"({"intervalMs":5000,"exchanges":["Binance","Bitget","Bybit"],"coins":["BTC","SUI"],"client":"vindral-pc"})"},
        {configWith(1000, {false, false, false, false, true}, {false, true, false}),
         R"({"intervalMs":1000,"exchanges":["Coinbase"],"coins":["ETH"],"client":"vindral-pc"})"},
        {configWith(300000, {true, true, true, true, true}, {true, true, true}),
         R"({"intervalMs":300000,"exchanges":["Binance","Bitget","Bybit","OKX","Coinbase"],"coins":["BTC","ETH","SUI"],"client":"vindral-pc"})"},
        {configWith(-7, {false, false, false, false, false}, {false, false, false}),
         R"({"intervalMs":-7,"exchanges":[],"coins":[],"client":"vindral-pc"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, buildSessionBody(c.config));
    }
}

TEST(CatalogLookup, ExactCaseSensitiveNames) {
    EXPECT_EQ(0, exchangeIndexByName("Binance"));
    EXPECT_EQ(1, exchangeIndexByName("Bitget"));
    EXPECT_EQ(2, exchangeIndexByName("Bybit"));
    EXPECT_EQ(3, exchangeIndexByName("OKX"));
    EXPECT_EQ(4, exchangeIndexByName("Coinbase"));
    for (const char* name : {"binance", "OKx", "Coinbase ", "", "?", "BTC"}) {
        EXPECT_EQ(-1, exchangeIndexByName(name)) << name;
    }
    EXPECT_EQ(0, coinIndexBySymbol("BTC"));
    EXPECT_EQ(1, coinIndexBySymbol("ETH"));
    EXPECT_EQ(2, coinIndexBySymbol("SUI"));
    for (const char* symbol : {"btc", "Sui", "", "?", "BTCUSDT"}) {
        EXPECT_EQ(-1, coinIndexBySymbol(symbol)) << symbol;
    }
}

TEST(RequestUrls, BuiltFromBaseIdAndSeq) {
    const std::wstring base = L"http://127.0.0.1:12500";
    EXPECT_EQ(L"http://127.0.0.1:12500/api/sessions", createSessionUrl(base));
    EXPECT_EQ(L"http://127.0.0.1:12500/api/sessions/s-1_a.b~Z9", sessionUrl(base, "s-1_a.b~Z9"));
    EXPECT_EQ(L"http://127.0.0.1:12500/api/sessions/abc/next?after=0&timeoutMs=20000",
              nextBoardUrl(base, "abc", 0));
    EXPECT_EQ(
        L"http://127.0.0.1:12500/api/sessions/abc/next?after=18446744073709551615"
        L"&timeoutMs=20000",
        nextBoardUrl(base, "abc", std::numeric_limits<std::uint64_t>::max()));
    EXPECT_EQ(L"http://127.0.0.1:12500/api/sessions/abc/refresh", refreshSessionUrl(base, "abc"));
}

TEST(RequestUrls, SessionIdCannotEscapeItsPathSegment) {
    struct Case {
        std::string id;
        std::wstring encoded;
    };
    const Case cases[] = {
        {"", L""},
        {"../admin", L"..%2Fadmin"},
        {"a?b=c&d#e", L"a%3Fb%3Dc%26d%23e"},
        {"x\r\nHost: evil", L"x%0D%0AHost%3A%20evil"},
        {"100%", L"100%25"},
        {"세션", L"%EC%84%B8%EC%85%98"},
        {std::string("a\0b", 3), L"a%00b"},
        {"\xff+", L"%FF%2B"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.encoded, percentEncode(c.id));
        EXPECT_EQ(L"http://h/api/sessions/" + c.encoded + L"/refresh",
                  refreshSessionUrl(L"http://h", c.id));
    }
    std::string unreserved;
    for (int c = 0; c < 256; ++c) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        const std::wstring encoded = percentEncode(std::string(1, static_cast<char>(c)));
        EXPECT_EQ(keep ? 1u : 3u, encoded.size()) << c;
    }
}

const char kFullBoard[] = R"({
  "sessionId": "sess-42",
  "seq": 17,
  "serverTimeMs": 1700000000000,
  "extra": {"ignored": true},
  "cells": [
    {"exchange": "Bitget", "coin": "BTC", "hasData": true, "lastOk": true, "price": 65000.5,
     "prevPrice": 64999, "open24h": "64000", "latencyMs": 12.5, "updatedAtMs": 1699999999000,
     "seq": 9, "error": ""},
    {"exchange": "binance", "coin": "BTC", "hasData": true},
    {"exchange": "OKX", "coin": "DOGE", "hasData": true},
    "not an object",
    {"exchange": "Coinbase", "coin": "SUI", "hasData": "true", "lastOk": 1, "price": "abc",
     "error": 5},
    {"exchange": "Bybit", "coin": "ETH", "lastOk": false, "error": "타임아웃"}
  ],
  "stats": [
    {"exchange": "Bitget", "scheduled": 10, "ok": 8, "failed": 1, "overrun": 1,
     "avgLatencyMs": 33.5},
    {"exchange": "Nowhere", "ok": 1},
    [],
    {"exchange": "OKX", "scheduled": -4, "ok": 1e30, "failed": "2"}
  ]
})";

TEST(ParseServerBoard, ReadsEveryFieldAndDropsWhatDoesNotFit) {
    ServerBoard board;
    std::string error = "untouched";
    ASSERT_TRUE(parseServerBoard(kFullBoard, board, error));
    EXPECT_EQ("untouched", error);
    EXPECT_EQ("sess-42", board.sessionId);
    EXPECT_EQ(17u, board.seq);
    EXPECT_EQ(1700000000000, board.serverTimeMs);

    ASSERT_EQ(3u, board.cells.size());
    const ServerCell& bitget = board.cells[0];
    EXPECT_EQ(1u, bitget.exchange);
    EXPECT_EQ(0u, bitget.coin);
    EXPECT_TRUE(bitget.hasData);
    EXPECT_TRUE(bitget.lastOk);
    EXPECT_DOUBLE_EQ(65000.5, bitget.price);
    EXPECT_DOUBLE_EQ(64999, bitget.prevPrice);
    EXPECT_DOUBLE_EQ(64000, bitget.open24h);
    EXPECT_DOUBLE_EQ(12.5, bitget.latencyMs);
    EXPECT_EQ(1699999999000, bitget.updatedAtMs);
    EXPECT_EQ(9u, bitget.seq);
    EXPECT_EQ("", bitget.error);

    const ServerCell& coinbase = board.cells[1];
    EXPECT_EQ(4u, coinbase.exchange);
    EXPECT_EQ(2u, coinbase.coin);
    EXPECT_FALSE(coinbase.hasData);
    EXPECT_FALSE(coinbase.lastOk);
    EXPECT_EQ(0, coinbase.price);
    EXPECT_EQ("", coinbase.error);

    const ServerCell& bybit = board.cells[2];
    EXPECT_EQ(2u, bybit.exchange);
    EXPECT_EQ(1u, bybit.coin);
    EXPECT_EQ("타임아웃", bybit.error);
    EXPECT_EQ(0, bybit.updatedAtMs);
    EXPECT_EQ(0u, bybit.seq);

    ASSERT_EQ(2u, board.stats.size());
    EXPECT_EQ(1u, board.stats[0].exchange);
    EXPECT_EQ(10u, board.stats[0].scheduled);
    EXPECT_EQ(8u, board.stats[0].ok);
    EXPECT_EQ(1u, board.stats[0].failed);
    EXPECT_EQ(1u, board.stats[0].overrun);
    EXPECT_DOUBLE_EQ(33.5, board.stats[0].avgLatencyMs);
    // Out-of-range numbers saturate rather than wrap.
    EXPECT_EQ(3u, board.stats[1].exchange);
    EXPECT_EQ(0u, board.stats[1].scheduled);
    EXPECT_EQ(std::numeric_limits<std::uint64_t>::max(), board.stats[1].ok);
    EXPECT_EQ(2u, board.stats[1].failed);
    EXPECT_EQ(0u, board.stats[1].overrun);
}

TEST(ParseServerBoard, OptionalRootFieldsDefaultToZeroAndEmpty) {
    struct Case {
        const char* body;
        std::uint64_t seq;
        std::int64_t serverTimeMs;
        std::size_t cells;
    };
    const Case cases[] = {
        {R"({"sessionId":"a","cells":[]})", 0, 0, 0},
        {R"({"sessionId":"a","cells":[],"seq":"12","serverTimeMs":"1e3"})", 12, 1000, 0},
        {R"({"sessionId":"a","cells":[],"seq":true,"serverTimeMs":null,"stats":{}})", 0, 0, 0},
        {R"({"sessionId":"a","cells":[],"seq":-3,"serverTimeMs":-2.9})", 0, -2, 0},
        {R"({"sessionId":"a","cells":[],"seq":"nan","serverTimeMs":"-inf"})", 0, 0, 0},
        {R"({"sessionId":"a","cells":[],"serverTimeMs":1e300})", 0,
         std::numeric_limits<std::int64_t>::max(), 0},
        {R"({"sessionId":"","cells":[{"exchange":"OKX","coin":"ETH"}]})", 0, 0, 1},
    };
    for (const Case& c : cases) {
        ServerBoard board;
        std::string error;
        ASSERT_TRUE(parseServerBoard(c.body, board, error)) << c.body;
        EXPECT_EQ(c.seq, board.seq) << c.body;
        EXPECT_EQ(c.serverTimeMs, board.serverTimeMs) << c.body;
        EXPECT_EQ(c.cells, board.cells.size()) << c.body;
        EXPECT_TRUE(board.stats.empty()) << c.body;
    }
}

TEST(ParseServerBoard, RejectsDocumentsThatAreNotBoards) {
    struct Case {
        const char* body;
        const char* error;
    };
    const Case cases[] = {
        {"", "서버 응답 형식 오류"},
        {"<html></html>", "서버 응답 형식 오류"},
        {R"(["sessionId"])", "서버 응답 형식 오류"},
        {R"("text")", "서버 응답 형식 오류"},
        {R"({"error":"unknown session"})", "서버: unknown session"},
        {R"({"error":503})", "서버: 503"},
        {R"({"error":null})", "서버: "},
        {R"({"sessionId":7,"cells":[]})", "서버 응답 형식 오류"},
        {R"({"sessionId":"a","cells":{}})", "서버 응답 형식 오류"},
        {R"({"sessionId":"a"})", "서버 응답 형식 오류"},
        {R"({"cells":[],"error":"busy"})", "서버: busy"},
        {R"({"sessionId":"a","cells":[],"extra":)", "서버 응답 형식 오류"},
    };
    for (const Case& c : cases) {
        ServerBoard board;
        board.sessionId = "keep";
        board.seq = 5;
        board.cells.resize(2);
        std::string error;
        EXPECT_FALSE(parseServerBoard(c.body, board, error)) << c.body;
        EXPECT_EQ(c.error, error) << c.body;
        EXPECT_EQ("keep", board.sessionId);
        EXPECT_EQ(5u, board.seq);
        EXPECT_EQ(2u, board.cells.size());
    }
}

TEST(ParseServerBoard, ReplacesThePreviousBoardAsAWhole) {
    ServerBoard board;
    std::string error;
    ASSERT_TRUE(parseServerBoard(kFullBoard, board, error));
    ASSERT_TRUE(parseServerBoard(R"({"sessionId":"b","cells":[]})", board, error));
    EXPECT_EQ("b", board.sessionId);
    EXPECT_EQ(0u, board.seq);
    EXPECT_EQ(0, board.serverTimeMs);
    EXPECT_TRUE(board.cells.empty());
    EXPECT_TRUE(board.stats.empty());
}

TEST(ServerErrorText, TransportStatusAndBody) {
    HttpResponse refused;
    refused.ok = false;
    refused.error = "연결 거부";
    struct Case {
        HttpResponse response;
        const char* expected;
    };
    const Case cases[] = {
        {refused, "서버 연결 거부"},
        {answer(200, "garbage"), "fallback"},
        {answer(201, ""), "fallback"},
        {answer(503, R"({"error":"overloaded"})"), "서버 HTTP 503 overloaded"},
        {answer(503, "<html>busy</html>"), "서버 HTTP 503"},
        {answer(500, R"({"message":"x"})"), "서버 HTTP 500"},
        {answer(400, R"({"error":false})"), "서버 HTTP 400 false"},
        {answer(404, ""), "서버 HTTP 404"},
        {answer(0, ""), "서버 HTTP 0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, serverErrorText(c.response, "fallback"));
    }
}

TEST(ServerErrorText, SessionGoneOnlyForA404ReadToTheEnd) {
    EXPECT_TRUE(isSessionGone(answer(404, "")));
    EXPECT_FALSE(isSessionGone(answer(200, "")));
    EXPECT_FALSE(isSessionGone(answer(410, "")));
    HttpResponse failed = answer(404, "");
    failed.ok = false;
    EXPECT_FALSE(isSessionGone(failed));
}

ServerCell sentCell(std::uint32_t exchange, std::uint32_t coin) {
    ServerCell cell;
    cell.exchange = exchange;
    cell.coin = coin;
    cell.hasData = true;
    cell.lastOk = true;
    cell.price = 100;
    cell.prevPrice = 99;
    cell.open24h = 90;
    cell.latencyMs = 15;
    cell.updatedAtMs = 1'000'000;
    cell.seq = 4;
    return cell;
}

TEST(ApplyServerBoard, MovesServerTimesOntoTheLocalClock) {
    const EngineConfig config =
        configWith(5000, {false, true, false, false, false}, {true, true, false});
    ServerBoard board;
    board.serverTimeMs = 1'000'500;
    board.cells.push_back(sentCell(1, 0));
    CellGrid cells{};
    BoardStats stats;
    KrwBoard krw;
    applyServerBoard(board, config, cells, stats, krw, 2'000'500);

    const PriceCell& cell = cells[1][0];
    EXPECT_TRUE(cell.hasData);
    EXPECT_TRUE(cell.lastOk);
    EXPECT_EQ(100, cell.price);
    EXPECT_EQ(99, cell.prevPrice);
    EXPECT_EQ(90, cell.open24h);
    EXPECT_EQ(15, cell.latencyMs);
    EXPECT_EQ(2'000'000, cell.updatedAtMs);
    EXPECT_EQ(4u, cell.seq);
    EXPECT_EQ(2'000'500, stats.lastTickMs);
}

TEST(ApplyServerBoard, BoardWithoutServerTimeKeepsCellTimesAsSent) {
    const EngineConfig config =
        configWith(5000, {false, true, false, false, false}, {true, true, true});
    for (const std::int64_t serverTimeMs : {std::int64_t{0}, std::int64_t{-5}}) {
        ServerBoard board;
        board.serverTimeMs = serverTimeMs;
        board.cells.push_back(sentCell(1, 0));
        CellGrid cells{};
        BoardStats stats;
        KrwBoard krw;
        applyServerBoard(board, config, cells, stats, krw, 1'700'000'000'000);
        EXPECT_EQ(1'000'000, cells[1][0].updatedAtMs) << serverTimeMs;
    }
}

TEST(ApplyServerBoard, ExtremeTimesSaturate) {
    const EngineConfig config =
        configWith(5000, {false, true, false, false, false}, {true, true, true});
    ServerBoard board;
    board.serverTimeMs = 1;
    ServerCell sent = sentCell(1, 0);
    sent.updatedAtMs = std::numeric_limits<std::int64_t>::max();
    board.cells.push_back(sent);
    CellGrid cells{};
    BoardStats stats;
    KrwBoard krw;
    applyServerBoard(board, config, cells, stats, krw, 1'700'000'000'000);
    EXPECT_EQ(std::numeric_limits<std::int64_t>::max(), cells[1][0].updatedAtMs);

    board.serverTimeMs = std::numeric_limits<std::int64_t>::max();
    board.cells[0].updatedAtMs = 1;
    applyServerBoard(board, config, cells, stats, krw, -10);
    // The offset itself saturates at the minimum; the sent time of 1 is then added to it.
    EXPECT_EQ(std::numeric_limits<std::int64_t>::min() + 1, cells[1][0].updatedAtMs);
}

TEST(ApplyServerBoard, CellRules) {
    const EngineConfig config =
        configWith(5000, {true, true, false, false, false}, {true, true, false});
    PriceCell old;
    old.hasData = true;
    old.lastOk = true;
    old.price = 50;
    old.prevPrice = 49;
    old.open24h = 45;
    old.latencyMs = 7;
    old.updatedAtMs = 123;
    old.seq = 77;
    old.error = "old";
    CellGrid cells{};
    for (auto& row : cells) {
        row.fill(old);
    }

    ServerBoard board;
    board.serverTimeMs = 1000;
    // No previous price: the price itself; no time: never; seq 0: keep the stamp.
    ServerCell fresh = sentCell(0, 0);
    fresh.prevPrice = 0;
    fresh.updatedAtMs = 0;
    fresh.seq = 0;
    fresh.error = "ignored because lastOk";
    board.cells.push_back(fresh);
    // A failed cell without data keeps its stored price but takes the flags and the error.
    ServerCell failed = sentCell(1, 1);
    failed.hasData = false;
    failed.lastOk = false;
    failed.price = 1;
    failed.error = "시간 초과";
    failed.seq = 80;
    board.cells.push_back(failed);
    // Switched-off exchange and coin are ignored.
    board.cells.push_back(sentCell(2, 0));
    board.cells.push_back(sentCell(0, 2));

    BoardStats stats;

    KrwBoard krw;
    applyServerBoard(board, config, cells, stats, krw, 5000);

    EXPECT_EQ(100, cells[0][0].price);
    EXPECT_EQ(100, cells[0][0].prevPrice);
    EXPECT_EQ(0, cells[0][0].updatedAtMs);
    EXPECT_EQ(77u, cells[0][0].seq);
    EXPECT_EQ("", cells[0][0].error);

    EXPECT_FALSE(cells[1][1].hasData);
    EXPECT_FALSE(cells[1][1].lastOk);
    EXPECT_EQ(50, cells[1][1].price);
    EXPECT_EQ(123, cells[1][1].updatedAtMs);
    EXPECT_EQ("시간 초과", cells[1][1].error);
    EXPECT_EQ(80u, cells[1][1].seq);

    for (const auto& [e, c] : {std::pair{2, 0}, std::pair{0, 2}, std::pair{4, 1}}) {
        EXPECT_EQ(50, cells[e][c].price) << e << "/" << c;
        EXPECT_EQ("old", cells[e][c].error) << e << "/" << c;
        EXPECT_EQ(77u, cells[e][c].seq) << e << "/" << c;
    }
}

TEST(ApplyServerBoard, StatisticsAreTakenAsSent) {
    BoardStats stats;
    KrwBoard krw;
    for (ExchangeStats& s : stats.exchanges) {
        s = ExchangeStats{1, 1, 1, 1, 5, 5, 99};
    }
    stats.ticks = 42;
    ServerBoard board;
    ServerExchangeStats sent;
    sent.exchange = 3;
    sent.scheduled = 20;
    sent.ok = 18;
    sent.failed = 1;
    sent.overrun = 1;
    sent.avgLatencyMs = 40.5;
    board.stats.push_back(sent);
    CellGrid cells{};
    applyServerBoard(board, EngineConfig{}, cells, stats, krw, 777);

    const ExchangeStats& okx = stats.exchanges[3];
    EXPECT_EQ(20u, okx.scheduled);
    EXPECT_EQ(18u, okx.ok);
    EXPECT_EQ(1u, okx.failed);
    EXPECT_EQ(1u, okx.overrun);
    EXPECT_EQ(40.5, okx.lastLatencyMs);
    EXPECT_EQ(40.5, okx.avgLatencyMs);
    EXPECT_EQ(99, okx.maxLatencyMs);
    EXPECT_EQ(1u, stats.exchanges[0].ok);
    EXPECT_EQ(5, stats.exchanges[0].avgLatencyMs);
    EXPECT_EQ(42u, stats.ticks);
    EXPECT_EQ(777, stats.lastTickMs);
}

TEST(ServerErrorText, AFailureAlwaysSaysSomething) {
    // A status the request does not expect, without a body and without a parse error.
    EXPECT_EQ("서버 HTTP 201", serverErrorText(answer(201, ""), ""));
    EXPECT_EQ("서버 HTTP 200", serverErrorText(answer(200, ""), ""));
}

TEST(SessionIdCheck, OnlyShortPrintableAsciiIdsAreUsable) {
    struct Case {
        std::string id;
        bool usable;
    };
    const Case cases[] = {
        {"s1", true},
        {"0b0c9a3e-7f1d-4c4e-9a8e-1d2f3a4b5c6d", true},
        {"a b~!%/?", true},  // escaped on the way into the URL
        {std::string(128, 'x'), true},
        {"", false},
        {std::string(129, 'x'), false},
        {std::string(10 * 1024, 'x'), false},
        {"s\n1", false},
        {"s\x7f", false},
        {"\xec\x84\xb8\xec\x85\x98", false},  // UTF-8 Hangul
        {std::string("s\0"
                     "1",
                     3),
         false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.usable, isUsableSessionId(c.id)) << c.id.size() << " bytes";
    }
}

TEST(ServerNumbers, ACellWhosePriceIsNotAPriceKeepsItsOldPriceAndFails) {
    const char* const cells[] = {
        R"("price":"NaN","open24h":90)",
        R"("price":"Infinity","open24h":90)",
        R"("price":"-inf","open24h":90)",
        R"("price":-5,"open24h":90)",
        R"("price":0,"open24h":90)",
        R"("price":"0","open24h":90)",
        R"("open24h":90)",
        R"("price":101,"open24h":"NaN")",
        R"("price":101,"open24h":"-Infinity")",
    };
    const EngineConfig config =
        configWith(5000, {false, true, false, false, false}, {true, false, false});
    for (const char* fields : cells) {
        SCOPED_TRACE(fields);
        const std::string body = std::string(R"({"sessionId":"s1","seq":9,"serverTimeMs":1000,)") +
                                 R"("cells":[{"exchange":"Bitget","coin":"BTC","hasData":true,)" +
                                 R"("lastOk":true,"seq":9,"updatedAtMs":1000,)" + fields + "}]}";
        ServerBoard board;
        std::string error;
        ASSERT_TRUE(parseServerBoard(body, board, error));

        CellGrid grid{};
        PriceCell& cell = grid[1][0];
        cell.hasData = true;
        cell.lastOk = true;
        cell.price = 100;
        cell.prevPrice = 99;
        cell.open24h = 95;
        cell.updatedAtMs = 500;
        cell.seq = 3;
        BoardStats stats;
        KrwBoard krw;
        applyServerBoard(board, config, grid, stats, krw, 1000);
        EXPECT_TRUE(cell.hasData);
        EXPECT_FALSE(cell.lastOk);
        EXPECT_EQ("서버 응답 형식 오류", cell.error);
        EXPECT_EQ(100, cell.price);
        EXPECT_EQ(99, cell.prevPrice);
        EXPECT_EQ(95, cell.open24h);
        EXPECT_EQ(500, cell.updatedAtMs) << "the old price goes stale as it would";
        EXPECT_EQ(3u, cell.seq) << "no new price, no flash";
    }
}

TEST(ServerNumbers, AbsentOrUnreadableReferencesStillMeanUnknown) {
    for (const char* reference :
         {"", R"(,"open24h":null)", R"(,"open24h":"n/a")", R"(,"open24h":-3)"}) {
        SCOPED_TRACE(reference);
        const std::string body =
            std::string(R"({"sessionId":"s1","cells":[{"exchange":"Bitget","coin":"BTC",)") +
            R"("hasData":true,"lastOk":true,"price":101)" + reference + "}]}";
        ServerBoard board;
        std::string error;
        ASSERT_TRUE(parseServerBoard(body, board, error));
        CellGrid grid{};
        BoardStats stats;
        KrwBoard krw;
        applyServerBoard(board,
                         configWith(5000, {false, true, false, false, false}, {true, false, false}),
                         grid, stats, krw, 1000);
        EXPECT_TRUE(grid[1][0].lastOk);
        EXPECT_EQ(101, grid[1][0].price);
    }
}

}  // namespace
}  // namespace vindral
