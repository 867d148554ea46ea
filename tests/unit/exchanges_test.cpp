#include "net/exchanges.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>

namespace vindral {
namespace {

constexpr std::uint32_t kBinance = 0;
constexpr std::uint32_t kBitget = 1;
constexpr std::uint32_t kBybit = 2;
constexpr std::uint32_t kOkx = 3;
constexpr std::uint32_t kCoinbase = 4;

std::string readFixture(const std::string& name) {
    std::ifstream in(std::string(VINDRAL_SHARED_DIR) + "/fixtures/exchanges/" + name,
                     std::ios::binary);
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

// A reading is either a quote (error empty) or a failure text.
struct Reading {
    bool ok;
    double price;
    double open24h;
    std::string error;
};

Reading quoteOf(double price, double open24h) {
    return {true, price, open24h, {}};
}
Reading failureOf(std::string error) {
    return {false, 0, 0, std::move(error)};
}

Reading interpret(std::uint32_t exchange, const HttpResponse& response) {
    TickerQuote quote;
    std::string error;
    const bool ok = interpretTickerResponse(exchange, response, quote, error);
    return ok ? quoteOf(quote.price, quote.open24h) : failureOf(error);
}

void expectReading(const Reading& expected, const Reading& actual, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(expected.ok, actual.ok) << actual.error;
    if (expected.ok) {
        EXPECT_DOUBLE_EQ(expected.price, actual.price);
        EXPECT_DOUBLE_EQ(expected.open24h, actual.open24h);
    } else {
        EXPECT_EQ(expected.error, actual.error);
    }
}

struct FixtureCase {
    const char* file;
    std::uint32_t exchange;
    std::int32_t status;
    Reading expected;
};

TEST(ExchangeFixtures, EveryCapturedBodyReadsAsDocumented) {
    const FixtureCase cases[] = {
        {"binance-ticker-24hr-ok-1.json", kBinance, 200, quoteOf(60755.18, 62636.13)},
        {"binance-ticker-24hr-ok-2.json", kBinance, 200, quoteOf(73369.84, 72181.09)},
        {"binance-ticker-24hr-doc-example.json", kBinance, 200, quoteOf(4.000002, 99.0)},
        {"binance-ticker-24hr-error-451-restricted-location.json", kBinance, 451,
         failureOf("HTTP 451 Service unavailable from a restricted location according to ")},
        {"binance-error-invalid-symbol-doc.json", kBinance, 400,
         failureOf("HTTP 400 Invalid symbol.")},
        {"bitget-tickers-doc-example.json", kBitget, 200, quoteOf(34413.1, 35134.2)},
        {"bitget-error-40034-parameter-does-not-exist.json", kBitget, 400,
         failureOf("HTTP 400 Parameter ADAUSDT_UMCBL does not exist")},
        {"bitget-error-40019-symbol-empty.json", kBitget, 400,
         failureOf("HTTP 400 Parameter symbol cannot be empty")},
        {"bybit-tickers-doc-example.json", kBybit, 200, quoteOf(20533.13, 20393.48)},
        {"bybit-tickers-ok-1.json", kBybit, 200, quoteOf(25838, 25571.23)},
        {"bybit-tickers-ok-2-list-btc-eth-ethbtc.json", kBybit, 200, quoteOf(25741.97, 25750.21)},
        {"bybit-tickers-error-invalid-symbol.json", kBybit, 200,
         failureOf("Not supported symbols")},
        {"bybit-tickers-error-invalid-symbol-2.json", kBybit, 200,
         failureOf("Not supported symbols")},
        {"okx-ticker-doc-example.json", kOkx, 200, quoteOf(9999.99, 9000)},
        {"okx-ticker-ok-1-btc-data-item.json", kOkx, 200, failureOf("티커 데이터 없음")},
        {"okx-ticker-ok-1-btc-wrapped.json", kOkx, 200, quoteOf(36653, 36599)},
        {"okx-ticker-ok-2-ethbtc-data-item.json", kOkx, 200, failureOf("티커 데이터 없음")},
        {"okx-ticker-ok-2-ethbtc-wrapped.json", kOkx, 200, quoteOf(0.07319, 0.07801)},
        {"okx-ticker-error-429-rate-limit.json", kOkx, 429,
         failureOf("HTTP 429 Too Many Requests")},
        {"okx-error-404-unknown-path.json", kOkx, 404, failureOf("HTTP 404 Not Found")},
        {"coinbase-stats-ok-1-btc-usd.json", kCoinbase, 200, quoteOf(80516.15, 76925.09)},
        {"coinbase-stats-ok-legacy-no-last.json", kCoinbase, 200, failureOf("가격 필드 없음")},
        {"coinbase-stats-error-400-user-agent-required.json", kCoinbase, 400,
         failureOf("HTTP 400 User-Agent header is required.")},
        {"coinbase-stats-error-404-notfound.json", kCoinbase, 404, failureOf("HTTP 404 NotFound")},
        {"cloudfront-403-country-block.html", kBinance, 403, failureOf("HTTP 403 지역 제한")},
    };
    for (const FixtureCase& c : cases) {
        expectReading(c.expected, interpret(c.exchange, answer(c.status, readFixture(c.file))),
                      c.file);
    }
}

TEST(ExchangeFixtures, BinanceGeoBlockMessageIsCutToSixtyBytes) {
    TickerQuote quote;
    std::string error;
    ASSERT_FALSE(parseTickerBody(
        kBinance, readFixture("binance-ticker-24hr-error-451-restricted-location.json"), quote,
        error));
    EXPECT_EQ(kExchangeMessageMaxBytes, error.size());
}

struct BodyCase {
    const char* what;
    std::uint32_t exchange;
    const char* body;
    Reading expected;
};

TEST(ParseTickerBody, ErrorTestsTickerObjectsAndFields) {
    const BodyCase cases[] = {
        {"not JSON", kBinance, "<html>", failureOf("응답 형식 오류")},
        {"empty body", kOkx, "", failureOf("응답 형식 오류")},
        {"unknown exchange, valid JSON", 5, "{}", failureOf("알 수 없는 거래소")},
        {"unknown exchange, not JSON", 7, "x", failureOf("응답 형식 오류")},
        {"binance code without msg is a ticker", kBinance,
         R"({"code":-1,"lastPrice":"65000.5","openPrice":"64000"})", quoteOf(65000.5, 64000)},
        {"binance code with msg", kBinance, R"({"code":-1121,"msg":"Invalid symbol."})",
         failureOf("Invalid symbol.")},
        {"binance numeric prices", kBinance, R"({"lastPrice":12.5,"openPrice":10})",
         quoteOf(12.5, 10)},
        {"binance root is an array", kBinance, R"([{"lastPrice":"1"}])",
         failureOf("티커 데이터 없음")},
        {"bitget empty data", kBitget, R"({"code":"00000","data":[]})",
         failureOf("티커 데이터 없음")},
        {"bitget data is an object", kBitget, R"({"code":"00000","data":{"lastPr":"1"}})",
         failureOf("티커 데이터 없음")},
        {"bitget numeric code 0 fires", kBitget, R"({"code":0,"msg":"zero","data":[]})",
         failureOf("zero")},
        {"bitget error without msg", kBitget, R"({"code":"40001"})", failureOf("")},
        {"bitget no code at all", kBitget, R"({"data":[{"lastPr":"2","open":"1"}]})",
         quoteOf(2, 1)},
        {"bybit retCode string 0 passes", kBybit,
         R"({"retCode":"0","result":{"list":[{"lastPrice":"3","prevPrice24h":"2"}]}})",
         quoteOf(3, 2)},
        {"bybit non-zero retCode", kBybit, R"({"retCode":10001,"retMsg":"bad"})", failureOf("bad")},
        {"bybit non-numeric retCode fires", kBybit, R"({"retCode":"ok","retMsg":"odd"})",
         failureOf("odd")},
        {"bybit null retCode fires", kBybit, R"({"retCode":null})", failureOf("")},
        {"bybit missing list", kBybit, R"({"retCode":0,"result":{}})",
         failureOf("티커 데이터 없음")},
        {"bybit element is not an object", kBybit, R"({"retCode":0,"result":{"list":["x"]}})",
         failureOf("티커 데이터 없음")},
        {"okx numeric code 0 passes", kOkx, R"({"code":0,"data":[{"last":"5","open24h":"4"}]})",
         quoteOf(5, 4)},
        {"okx price 0", kOkx, R"({"code":"0","data":[{"last":"0","open24h":"4"}]})",
         failureOf("가격 필드 없음")},
        {"okx code 51001", kOkx, R"({"code":"51001","msg":"Instrument ID does not exist"})",
         failureOf("Instrument ID does not exist")},
        {"coinbase message", kCoinbase, R"({"message":"NotFound"})", failureOf("NotFound")},
        {"coinbase numeric message", kCoinbase, R"({"message":42})", failureOf("42")},
        {"negative price", kCoinbase, R"({"last":"-1","open":"1"})", failureOf("가격 필드 없음")},
        {"price is not numeric", kCoinbase, R"({"last":"1,000"})", failureOf("가격 필드 없음")},
        {"price is a boolean", kCoinbase, R"({"last":true})", failureOf("가격 필드 없음")},
        {"missing reference", kCoinbase, R"({"last":"7"})", quoteOf(7, 0)},
        {"zero reference", kCoinbase, R"({"last":"7","open":"0"})", quoteOf(7, 0)},
        {"negative reference", kCoinbase, R"({"last":"7","open":-3})", quoteOf(7, 0)},
        {"infinite price", kCoinbase, R"({"last":"inf","open":"1"})", failureOf("가격 필드 없음")},
        {"NaN price", kOkx, R"({"code":"0","data":[{"last":"nan"}]})", failureOf("가격 필드 없음")},
        {"infinite reference", kBybit,
         R"({"retCode":0,"result":{"list":[{"lastPrice":"3","prevPrice24h":"Infinity"}]}})",
         quoteOf(3, 0)},
    };
    for (const BodyCase& c : cases) {
        TickerQuote quote;
        std::string error = "untouched";
        const bool ok = parseTickerBody(c.exchange, c.body, quote, error);
        expectReading(c.expected, ok ? quoteOf(quote.price, quote.open24h) : failureOf(error),
                      c.what);
        if (ok) {
            EXPECT_EQ("untouched", error) << c.what;
        }
    }
}

TEST(ParseTickerBody, ExchangeMessageIsCutToSixtyBytesWithoutSplittingACharacter) {
    const std::string ascii(70, 'x');
    // "가" is three bytes in UTF-8.
    std::string twentyKorean;
    for (int i = 0; i < 20; ++i) {
        twentyKorean += "가";
    }
    const std::string smiley = "\xF0\x9F\x98\x80";
    struct Case {
        std::string message;
        std::string expected;
    };
    const Case cases[] = {
        {ascii, std::string(60, 'x')},
        {std::string(60, 'y'), std::string(60, 'y')},
        {twentyKorean, twentyKorean},
        {twentyKorean + "z", twentyKorean},
        {"a" + twentyKorean, "a" + twentyKorean.substr(0, 57)},
        {"ab" + twentyKorean, "ab" + twentyKorean.substr(0, 57)},
        {std::string(57, 'q') + smiley, std::string(57, 'q')},
        {std::string(56, 'q') + smiley + "r", std::string(56, 'q') + smiley},
    };
    for (const Case& c : cases) {
        TickerQuote quote;
        std::string error;
        const std::string body = R"({"message":")" + c.message + R"("})";
        ASSERT_FALSE(parseTickerBody(kCoinbase, body, quote, error));
        EXPECT_EQ(c.expected, error) << c.message;
    }
}

TEST(InterpretTickerResponse, StatusesAndTransportFailures) {
    struct Case {
        const char* what;
        std::uint32_t exchange;
        HttpResponse response;
        Reading expected;
    };
    HttpResponse refused;
    refused.ok = false;
    refused.status = 0;
    refused.error = "연결 실패";
    refused.body = R"({"lastPrice":"1"})";
    const Case cases[] = {
        {"transport failure", kBinance, refused, failureOf("연결 실패")},
        {"200 empty body", kBinance, answer(200, ""), failureOf("응답 형식 오류")},
        {"200 bitget error without msg", kBitget, answer(200, R"({"code":"1"})"), failureOf("")},
        {"200 good ticker", kBinance, answer(200, R"({"lastPrice":"2","openPrice":"1"})"),
         quoteOf(2, 1)},
        {"400 binance message", kBinance, answer(400, R"({"code":-1100,"msg":"Bad"})"),
         failureOf("HTTP 400 Bad")},
        {"404 coinbase message", kCoinbase, answer(404, R"({"message":"NotFound"})"),
         failureOf("HTTP 404 NotFound")},
        {"451 not JSON", kBinance, answer(451, "blocked"), failureOf("HTTP 451 지역 제한")},
        {"403 not JSON", kBybit, answer(403, "<html/>"), failureOf("HTTP 403 지역 제한")},
        {"429 empty body", kOkx, answer(429, ""), failureOf("HTTP 429 요청 한도 초과")},
        {"502 not JSON", kBitget, answer(502, "Bad Gateway"), failureOf("HTTP 502")},
        {"500 with a usable ticker", kBinance, answer(500, R"({"lastPrice":"2"})"),
         failureOf("HTTP 500")},
        {"500 without a ticker object", kBitget, answer(500, R"({"code":"00000"})"),
         failureOf("HTTP 500 티커 데이터 없음")},
        {"403 error without message", kBitget, answer(403, R"({"code":"1"})"),
         failureOf("HTTP 403 지역 제한")},
        {"status 0", kBinance, answer(0, ""), failureOf("HTTP 0")},
        {"negative status", kBinance, answer(-5, ""), failureOf("HTTP -5")},
        {"unknown exchange on 503", 9, answer(503, "{}"), failureOf("HTTP 503 알 수 없는 거래소")},
    };
    for (const Case& c : cases) {
        expectReading(c.expected, interpret(c.exchange, c.response), c.what);
    }
}

TEST(InterpretTickerResponse, NonOkStatusLeavesTheQuoteAlone) {
    TickerQuote quote{11, 12};
    std::string error;
    EXPECT_FALSE(
        interpretTickerResponse(kBinance, answer(500, R"({"lastPrice":"2"})"), quote, error));
    EXPECT_EQ(11, quote.price);
    EXPECT_EQ(12, quote.open24h);
}

TEST(TickerUrl, EveryExchangeAndCoinOnTheDefaultHosts) {
    const std::wstring expected[5][3] = {
        {L"https://api.binance.com/api/v3/ticker/24hr?symbol=BTCUSDT",
         L"https://api.binance.com/api/v3/ticker/24hr?symbol=ETHUSDT",
         L"https://api.binance.com/api/v3/ticker/24hr?symbol=SUIUSDT"},
        {L"https://api.bitget.com/api/v2/spot/market/tickers?symbol=BTCUSDT",
         L"https://api.bitget.com/api/v2/spot/market/tickers?symbol=ETHUSDT",
         L"https://api.bitget.com/api/v2/spot/market/tickers?symbol=SUIUSDT"},
        {L"https://api.bybit.com/v5/market/tickers?category=spot&symbol=BTCUSDT",
         L"https://api.bybit.com/v5/market/tickers?category=spot&symbol=ETHUSDT",
         L"https://api.bybit.com/v5/market/tickers?category=spot&symbol=SUIUSDT"},
        {L"https://www.okx.com/api/v5/market/ticker?instId=BTC-USDT",
         L"https://www.okx.com/api/v5/market/ticker?instId=ETH-USDT",
         L"https://www.okx.com/api/v5/market/ticker?instId=SUI-USDT"},
        {L"https://api.exchange.coinbase.com/products/BTC-USDT/stats",
         L"https://api.exchange.coinbase.com/products/ETH-USDT/stats",
         L"https://api.exchange.coinbase.com/products/SUI-USD/stats"},
    };
    for (std::uint32_t e = 0; e < 5; ++e) {
        for (std::uint32_t c = 0; c < 3; ++c) {
            EXPECT_EQ(expected[e][c], tickerUrl(e, c)) << e << "/" << c;
            EXPECT_EQ(expected[e][c], tickerUrl(e, c, defaultExchangeEndpoints()));
        }
    }
    EXPECT_EQ(L"", tickerUrl(5, 0));
    EXPECT_EQ(L"https://api.binance.com/api/v3/ticker/24hr?symbol=?USDT", tickerUrl(kBinance, 3));
    EXPECT_EQ(L"https://api.exchange.coinbase.com/products/?-USD/stats", tickerUrl(kCoinbase, 7));
}

TEST(TickerUrl, EndpointsSeamReplacesOnlyTheHost) {
    ExchangeEndpoints local;
    for (std::uint32_t e = 0; e < 5; ++e) {
        local.baseUrls[e] = L"http://127.0.0.1:" + std::to_wstring(40000 + e);
    }
    EXPECT_EQ(L"http://127.0.0.1:40000/api/v3/ticker/24hr?symbol=ETHUSDT",
              tickerUrl(kBinance, 1, local));
    EXPECT_EQ(L"http://127.0.0.1:40001/api/v2/spot/market/tickers?symbol=SUIUSDT",
              tickerUrl(kBitget, 2, local));
    EXPECT_EQ(L"http://127.0.0.1:40002/v5/market/tickers?category=spot&symbol=BTCUSDT",
              tickerUrl(kBybit, 0, local));
    EXPECT_EQ(L"http://127.0.0.1:40003/api/v5/market/ticker?instId=BTC-USDT",
              tickerUrl(kOkx, 0, local));
    EXPECT_EQ(L"http://127.0.0.1:40004/products/SUI-USD/stats", tickerUrl(kCoinbase, 2, local));
    EXPECT_EQ(L"http://127.0.0.1:40004/products/USDT-USD/stats", usdtRateUrl(kCoinbase, 2, local));
    EXPECT_EQ(L"", tickerUrl(5, 0, local));
}

TEST(UsdtRateUrl, OnlyCoinbaseWithUsdQuotedCoins) {
    const std::wstring rate = L"https://api.exchange.coinbase.com/products/USDT-USD/stats";
    for (std::uint32_t e = 0; e < 6; ++e) {
        for (std::uint32_t c = 0; c < 4; ++c) {
            const bool needsRate = e == kCoinbase && c >= 2;
            EXPECT_EQ(needsRate ? rate : L"", usdtRateUrl(e, c)) << e << "/" << c;
        }
    }
}

TEST(ConvertUsdQuote, DividesByTheRate) {
    struct Case {
        TickerQuote quote;
        TickerQuote rate;
        TickerQuote expected;
    };
    const Case cases[] = {
        {{3.0, 2.0}, {0.0, 1.0}, {0.0, 0.0}}, {{3.0, 2.0}, {-1.0, 1.0}, {0.0, 0.0}},
        {{3.0, 2.0}, {2.0, 4.0}, {1.5, 0.5}}, {{3.0, 2.0}, {2.0, 0.0}, {1.5, 1.0}},
        {{3.0, 0.0}, {2.0, 4.0}, {1.5, 0.0}},
    };
    for (const Case& c : cases) {
        const TickerQuote result = convertUsdQuote(c.quote, c.rate);
        EXPECT_DOUBLE_EQ(c.expected.price, result.price);
        EXPECT_DOUBLE_EQ(c.expected.open24h, result.open24h);
    }
}

}  // namespace
}  // namespace vindral
