#include "net/krw_sources.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/test_server.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;
using test::TestRequest;
using test::TestResponse;
using test::TestServer;

const IndexList kAllCoins{0, 1, 2};

std::string readFixture(const std::string& name) {
    std::ifstream in(std::string(VINDRAL_SHARED_DIR) + "/fixtures/krw/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

HttpResponse answer(std::int32_t status, std::string body) {
    HttpResponse response;
    response.ok = true;
    response.status = status;
    response.body = std::move(body);
    return response;
}

HttpResponse transportFailure(std::string error) {
    HttpResponse response;
    response.error = std::move(error);
    return response;
}

// Per coin: the price, or the failure text when the price is 0.
struct Expected {
    std::array<double, kCoinCount> priceKrw;
    std::array<const char*, kCoinCount> error;
};

void expectReading(const Expected& expected, const UpbitReading& actual, const std::string& what) {
    SCOPED_TRACE(what);
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        EXPECT_DOUBLE_EQ(expected.priceKrw[c], actual.priceKrw[c]) << c;
        EXPECT_EQ(expected.error[c], actual.error[c]) << c;
    }
}

TEST(UpbitTicker, FixturesReadByMarket) {
    struct Case {
        const char* file;
        IndexList coins;
        Expected expected;
    };
    const Case cases[] = {
        {"upbit/rest-ticker-krw-btc-eth-sui-usdt.composed-wireformat.json",
         kAllCoins,
         {{108580000, 4276000, 3295}, {"", "", ""}}},
        {"upbit/rest-ticker-krw-btc-eth.doc-tutorial-2025-07-30.json",
         kAllCoins,
         {{162876000, 5252000, 0}, {"", "", "업비트 티커 데이터 없음"}}},
        {"upbit/rest-ticker-krw-btc.pycex-fixture-2026-08-30.json",
         {0},
         {{108580000, 0, 0}, {"", "", ""}}},
        {"upbit/rest-ticker-krw-btc-eth-sui-usdt.composed-wireformat.json",
         {2},
         {{0, 0, 3295}, {"", "", ""}}},
    };
    for (const Case& c : cases) {
        expectReading(c.expected, interpretUpbitResponse(answer(200, readFixture(c.file)), c.coins),
                      c.file);
    }
}

TEST(UpbitTicker, EveryNumberStyleOfThePrice) {
    struct Case {
        const char* price;
        double expected;
    };
    const Case cases[] = {
        {"108580000", 108580000},        {"108580000.00000000", 108580000},
        {"108580000.0", 108580000},      {"1.0858E8", 108580000},
        {"1.0858e+8", 108580000},        {"10858E4", 108580000},
        {"3295.0000000000000000", 3295}, {"0.00012345", 0.00012345},
        {"1.2345E-4", 0.00012345},       {"\"3295.5\"", 3295.5},
    };
    for (const Case& c : cases) {
        const std::string body =
            std::string(R"([{"market":"KRW-SUI","trade_price":)") + c.price + "}]";
        expectReading({{0, 0, c.expected}, {"", "", ""}}, parseUpbitTickerBody(body, {2}), c.price);
    }
}

TEST(UpbitTicker, RowsAndPricesThatGiveNoPrice) {
    struct Case {
        const char* what;
        const char* body;
        Expected expected;
    };
    const char* noTicker = "업비트 티커 데이터 없음";
    const char* noPrice = "업비트 가격 필드 없음";
    const Case cases[] = {
        {"order differs from the request",
         R"([{"market":"KRW-SUI","trade_price":3295},{"market":"KRW-ETH","trade_price":4276000},
             {"market":"KRW-BTC","trade_price":108580000}])",
         {{108580000, 4276000, 3295}, {"", "", ""}}},
        {"first of two rows for one market",
         R"([{"market":"KRW-BTC","trade_price":1},{"market":"KRW-BTC","trade_price":2}])",
         {{1, 0, 0}, {"", noTicker, noTicker}}},
        {"empty array", "[]", {{0, 0, 0}, {noTicker, noTicker, noTicker}}},
        {"object without error",
         R"({"market":"KRW-BTC","trade_price":1})",
         {{0, 0, 0}, {noTicker, noTicker, noTicker}}},
        {"market in other letter case",
         R"([{"market":"krw-btc","trade_price":1}])",
         {{0, 0, 0}, {noTicker, noTicker, noTicker}}},
        {"rows that are not objects",
         R"([["KRW-BTC",1],"KRW-ETH",null])",
         {{0, 0, 0}, {noTicker, noTicker, noTicker}}},
        {"bad prices",
         R"([{"market":"KRW-BTC","trade_price":0},{"market":"KRW-ETH","trade_price":-5},
             {"market":"KRW-SUI","trade_price":null}])",
         {{0, 0, 0}, {noPrice, noPrice, noPrice}}},
        {"missing and unreadable prices",
         R"([{"market":"KRW-BTC"},{"market":"KRW-ETH","trade_price":"1,000"},
             {"market":"KRW-SUI","trade_price":"nan"}])",
         {{0, 0, 0}, {noPrice, noPrice, noPrice}}},
    };
    for (const Case& c : cases) {
        expectReading(c.expected, parseUpbitTickerBody(c.body, kAllCoins), c.what);
    }
}

TEST(UpbitTicker, FailuresOfTheWholeRequest) {
    struct Case {
        const char* what;
        HttpResponse response;
        const char* error;
    };
    const Case cases[] = {
        {"captured 404",
         answer(404, readFixture("upbit/rest-error-404-code-not-found.captured.json")),
         "업비트 HTTP 404 Code not found"},
        {"name is a string",
         answer(400, R"({"error":{"name":"validation_error","message":"Invalid parameter."}})"),
         "업비트 HTTP 400 Invalid parameter."},
        {"name is a string, no message",
         answer(401, R"({"error":{"name":"no_authorization_token"}})"),
         "업비트 HTTP 401 no_authorization_token"},
        {"name is a number, empty message", answer(400, R"({"error":{"name":400,"message":""}})"),
         "업비트 HTTP 400 400"},
        {"message cut to 60 bytes",
         answer(
             400,
             R"({"error":{"message":"Missing request parameter error. Check the required parameters!","name":400}})"),
         "업비트 HTTP 400 Missing request parameter error. Check the required paramete"},
        {"envelope with status 200",
         answer(200, R"({"error":{"name":404,"message":"Code not found"}})"),
         "업비트 Code not found"},
        {"empty envelope with status 200", answer(200, R"({"error":{}})"), "업비트 오류"},
        {"maintenance page with status 200", answer(200, "<!DOCTYPE html><html>점검 중</html>"),
         "업비트 응답 형식 오류"},
        {"maintenance page with status 503", answer(503, "<html><body>maintenance</body></html>"),
         "업비트 HTTP 503"},
        {"rate limit without a body", answer(429, ""), "업비트 HTTP 429 요청 한도 초과"},
        {"temporary block", answer(418, "blocked for 60s"), "업비트 HTTP 418 일시 차단"},
        {"transport failure", transportFailure("연결 실패"), "업비트 연결 실패"},
    };
    for (const Case& c : cases) {
        expectReading({{0, 0, 0}, {c.error, c.error, c.error}},
                      interpretUpbitResponse(c.response, kAllCoins), c.what);
    }
    expectReading({{0, 0, 0}, {"", "업비트 연결 실패", ""}},
                  interpretUpbitResponse(transportFailure("연결 실패"), {1}),
                  "coins not asked for stay empty");
}

TEST(KrwUrls, DefaultHostsAndTheEndpointSeam) {
    const KrwEndpoints defaults = defaultKrwEndpoints();
    EXPECT_EQ(L"https://api.upbit.com/v1/ticker?markets=KRW-BTC,KRW-ETH,KRW-SUI",
              upbitTickerUrl(kAllCoins, defaults));
    EXPECT_EQ(L"https://api.upbit.com/v1/ticker?markets=KRW-ETH", upbitTickerUrl({1}, defaults));
    EXPECT_EQ(L"https://api.upbit.com/v1/ticker?markets=KRW-BTC,KRW-SUI",
              upbitTickerUrl({0, 3, 2}, defaults));
    EXPECT_EQ(L"", upbitTickerUrl({}, defaults));
    EXPECT_EQ(L"", upbitTickerUrl({5}, defaults));
    EXPECT_EQ(L"https://quotation-api-cdn.dunamu.com/v1/forex/recent?codes=FRX.KRWUSD",
              dunamuFxUrl(defaults));
    EXPECT_EQ(L"https://api.frankfurter.dev/v1/latest?base=USD&symbols=KRW",
              frankfurterFxUrl(defaults));

    const KrwEndpoints local{L"http://127.0.0.1:1", L"http://127.0.0.1:2", L"http://127.0.0.1:3"};
    EXPECT_EQ(L"http://127.0.0.1:1/v1/ticker?markets=KRW-SUI", upbitTickerUrl({2}, local));
    EXPECT_EQ(L"http://127.0.0.1:2/v1/forex/recent?codes=FRX.KRWUSD", dunamuFxUrl(local));
    EXPECT_EQ(L"http://127.0.0.1:3/v1/latest?base=USD&symbols=KRW", frankfurterFxUrl(local));
}

// A reading of a rate: the quote, or the failure text when `ok` is false.
struct FxExpected {
    bool ok;
    double krwPerUsd;
    std::int64_t postedAtMs;
    FxSource source;
    const char* providerOrError;
};

FxExpected bank(double krwPerUsd, std::int64_t postedAtMs, const char* provider) {
    return {true, krwPerUsd, postedAtMs, FxSource::Bank, provider};
}
FxExpected ecb(double krwPerUsd, std::int64_t postedAtMs) {
    return {true, krwPerUsd, postedAtMs, FxSource::Ecb, "ECB"};
}
FxExpected fxFailure(const char* error) {
    return {false, 0, 0, FxSource::Bank, error};
}

void expectFx(const FxExpected& expected, bool ok, const FxQuote& quote, const std::string& error,
              const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(expected.ok, ok) << error;
    if (!ok) {
        EXPECT_EQ(expected.providerOrError, error);
        return;
    }
    EXPECT_DOUBLE_EQ(expected.krwPerUsd, quote.krwPerUsd);
    EXPECT_EQ(expected.postedAtMs, quote.postedAtMs);
    EXPECT_EQ(expected.source, quote.source);
    EXPECT_EQ(expected.providerOrError, quote.provider);
}

// Postings in KST, nine hours ahead of UTC.
constexpr std::int64_t k20210813At200149Kst = 1628852509000;
constexpr std::int64_t k20240220At153114Kst = 1708410674000;
constexpr std::int64_t k20260830At132942Kst = 1788064182000;
// The ECB's rate of a day counts from 14:00 UTC.
constexpr std::int64_t k20260828At1400Utc = 1787925600000;

TEST(DunamuFx, FixturesAndBodies) {
    struct Case {
        const char* what;
        HttpResponse response;
        FxExpected expected;
    };
    const Case cases[] = {
        {"capture 2021",
         answer(200, readFixture("fx/dunamu-forex-krwusd.captured-2021-08-13.json")),
         bank(1169.0, k20210813At200149Kst, "하나은행")},
        {"capture 2024",
         answer(200, readFixture("fx/dunamu-forex-krwusd.captured-2024-02-20.json")),
         bank(1338.0, k20240220At153114Kst, "하나은행")},
        {"composed", answer(200, readFixture("fx/dunamu-forex-krwusd.composed.json")),
         bank(1391.5, k20260830At132942Kst, "하나은행")},
        {"row matched by code among others",
         answer(200, R"([{"code":"FRX.KRWJPY","basePrice":930,"currencyUnit":100},
                         {"code":"FRX.KRWUSD","basePrice":1391.5,"date":"2026-08-30",
                          "time":"13:29:42","provider":"하나은행"}])"),
         bank(1391.5, k20260830At132942Kst, "하나은행")},
        {"rate per several units",
         answer(200, R"([{"code":"FRX.KRWUSD","basePrice":139150,"currencyUnit":100,
                          "date":"2026-08-30","time":"13:29:42","provider":"하나은행"}])"),
         bank(1391.5, k20260830At132942Kst, "하나은행")},
        {"no provider",
         answer(200, R"([{"code":"FRX.KRWUSD","basePrice":1.3915E3,"date":"2026-08-30",
                          "time":"13:29:42"}])"),
         bank(1391.5, k20260830At132942Kst, "두나무")},
        {"not JSON", answer(200, "<html>"), fxFailure("응답 형식 오류")},
        {"empty array", answer(200, "[]"), fxFailure("환율 데이터 없음")},
        {"object keyed by code",
         answer(200, R"({"FRX.KRWUSD":{"code":"FRX.KRWUSD","closePrice":1391.5}})"),
         fxFailure("환율 데이터 없음")},
        {"only another code", answer(200, R"([{"code":"FRX.KRWJPY","basePrice":930}])"),
         fxFailure("환율 데이터 없음")},
        {"base price null",
         answer(200, R"([{"code":"FRX.KRWUSD","basePrice":null,"date":"2026-08-30",
                          "time":"13:29:42"}])"),
         fxFailure("환율 필드 없음")},
        {"base price 0", answer(200, R"([{"code":"FRX.KRWUSD","basePrice":0,"date":"2026-08-30",
                          "time":"13:29:42"}])"),
         fxFailure("환율 필드 없음")},
        {"impossible date",
         answer(200, R"([{"code":"FRX.KRWUSD","basePrice":1391.5,"date":"2026-02-30",
                          "time":"13:29:42"}])"),
         fxFailure("환율 시각 없음")},
        {"hour 24", answer(200, R"([{"code":"FRX.KRWUSD","basePrice":1391.5,"date":"2026-08-30",
                          "time":"24:00:00"}])"),
         fxFailure("환율 시각 없음")},
        {"time without seconds",
         answer(200, R"([{"code":"FRX.KRWUSD","basePrice":1391.5,"date":"2026-08-30",
                          "time":"13:29"}])"),
         fxFailure("환율 시각 없음")},
        {"status 500 with a page", answer(500, "<html>error</html>"), fxFailure("HTTP 500")},
        {"status 200 only counts", answer(204, ""), fxFailure("HTTP 204")},
        {"transport failure", transportFailure("시간 초과"), fxFailure("시간 초과")},
    };
    for (const Case& c : cases) {
        FxQuote quote;
        std::string error;
        const bool ok = interpretDunamuFxResponse(c.response, quote, error);
        expectFx(c.expected, ok, quote, error, c.what);
    }
}

TEST(FrankfurterFx, FixtureAndBodies) {
    struct Case {
        const char* what;
        HttpResponse response;
        FxExpected expected;
    };
    const Case cases[] = {
        {"composed", answer(200, readFixture("fx/frankfurter-v1-latest-usd-krw.composed.json")),
         ecb(1390.87, k20260828At1400Utc)},
        {"rate for an amount of 100",
         answer(200, R"({"amount":100,"base":"USD","date":"2026-08-28","rates":{"KRW":139087}})"),
         ecb(1390.87, k20260828At1400Utc)},
        {"another base",
         answer(200, R"({"amount":1,"base":"EUR","date":"2026-08-28","rates":{"KRW":1620.5}})"),
         fxFailure("환율 데이터 없음")},
        {"no KRW", answer(200, R"({"amount":1,"base":"USD","date":"2026-08-28","rates":{}})"),
         fxFailure("환율 필드 없음")},
        {"no date", answer(200, R"({"amount":1,"base":"USD","rates":{"KRW":1390.87}})"),
         fxFailure("환율 시각 없음")},
        {"array root", answer(200, "[]"), fxFailure("환율 데이터 없음")},
        {"message with status 200", answer(200, R"({"message":"not found"})"),
         fxFailure("not found")},
        {"message with status 404", answer(404, R"({"message":"not found"})"),
         fxFailure("HTTP 404 not found")},
        {"not JSON", answer(200, "Bad Gateway"), fxFailure("응답 형식 오류")},
        {"transport failure", transportFailure("연결 실패"), fxFailure("연결 실패")},
    };
    for (const Case& c : cases) {
        FxQuote quote;
        std::string error;
        const bool ok = interpretFrankfurterFxResponse(c.response, quote, error);
        expectFx(c.expected, ok, quote, error, c.what);
    }
}

TEST(KrwLoopback, UpbitTickerThroughTheHttpClient) {
    const std::string body =
        readFixture("upbit/rest-ticker-krw-btc-eth-sui-usdt.composed-wireformat.json");
    TestServer server([&](const TestRequest& request) {
        return request.path == "/v1/ticker" ? TestResponse::json(200, body)
                                            : TestResponse{404, {}, "not found"};
    });
    KrwEndpoints endpoints = defaultKrwEndpoints();
    endpoints.upbit = server.baseUrlW();

    HttpClient client;
    const UpbitReading reading = interpretUpbitResponse(
        client.request(L"GET", upbitTickerUrl(kAllCoins, endpoints), "", 0), kAllCoins);
    expectReading({{108580000, 4276000, 3295}, {"", "", ""}}, reading, "loopback");

    ASSERT_EQ(1u, server.requestCount());
    const TestRequest request = server.requests()[0];
    EXPECT_EQ("markets=KRW-BTC,KRW-ETH,KRW-SUI", request.query);
    // Upbit limits requests that carry an Origin to one per ten seconds.
    EXPECT_FALSE(request.hasHeader("Origin"));
    EXPECT_EQ(std::string(kHttpUserAgent), request.header("User-Agent").value_or(""));
}

TEST(KrwLoopback, RateFallsBackToTheEcbOnlyWhenTheBankFeedFails) {
    struct Case {
        const char* what;
        int dunamuStatus;
        std::string dunamuBody;
        int frankfurterStatus;
        std::string frankfurterBody;
        FxExpected expected;
        std::size_t requests;
    };
    const std::string bankBody = readFixture("fx/dunamu-forex-krwusd.composed.json");
    const std::string ecbBody = readFixture("fx/frankfurter-v1-latest-usd-krw.composed.json");
    const Case cases[] = {
        {"bank answers", 200, bankBody, 200, ecbBody,
         bank(1391.5, k20260830At132942Kst, "하나은행"), 1},
        {"bank fails", 500, "<html/>", 200, ecbBody, ecb(1390.87, k20260828At1400Utc), 2},
        {"bank answers something else", 200, R"({"FRX.KRWUSD":{}})", 200, ecbBody,
         ecb(1390.87, k20260828At1400Utc), 2},
        {"both fail", 500, "", 404, R"({"message":"not found"})",
         fxFailure("환율 조회 실패 (두나무 HTTP 500 · ECB HTTP 404 not found)"), 2},
    };
    for (const Case& c : cases) {
        TestServer server([&](const TestRequest& request) {
            if (request.path == "/v1/forex/recent" && request.query == "codes=FRX.KRWUSD") {
                return TestResponse::json(c.dunamuStatus, c.dunamuBody);
            }
            if (request.path == "/v1/latest" && request.query == "base=USD&symbols=KRW") {
                return TestResponse::json(c.frankfurterStatus, c.frankfurterBody);
            }
            return TestResponse{400, {}, "unexpected request"};
        });
        const KrwEndpoints endpoints{server.baseUrlW(), server.baseUrlW(), server.baseUrlW()};
        HttpClient client;
        const FxFetch fetch = fetchUsdKrwRate(client, endpoints);
        expectFx(c.expected, fetch.quote.has_value(), fetch.quote.value_or(FxQuote{}), fetch.error,
                 c.what);
        EXPECT_EQ(c.requests, server.requestCount()) << c.what;
    }
}

}  // namespace
}  // namespace vindral
