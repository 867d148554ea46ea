// The exchanges' stream messages, read from the sample messages of each exchange, and the
// messages the server sends them.
#include "server/ws_protocol.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "json/json.h"

namespace vindral {
namespace {

constexpr std::uint32_t kBinance = 0, kBitget = 1, kBybit = 2, kOkx = 3, kCoinbase = 4;
constexpr std::uint32_t kBtc = 0, kEth = 1, kSui = 2;

std::string sample(const std::string& name) {
    std::ifstream in(std::string(VINDRAL_SHARED_DIR) + "/fixtures/ws/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_FALSE(text.str().empty()) << name;
    return text.str();
}

struct SampleCase {
    std::uint32_t exchange;
    std::string file;
    WsEventKind kind;
    std::uint32_t coin;
    bool ok;
    double price;
    double open24h;
    std::int64_t eventTimeMs;
    std::string error;
};

TEST(WsProtocol, ReadsEveryExchangesSampleMessages) {
    using K = WsEventKind;
    const SampleCase cases[] = {
        {kBinance, "binance/combined-ticker-suiusdt.composed.json", K::Ticker, kSui, true, 2.3514,
         2.3102, 1788064200000, ""},
        // The documentation's sample is a BNB-BTC ticker: not one of ours.
        {kBinance, "binance/ticker-24hr.doc.json", K::Ignored, kAnyCoin, false, 0, 0, 0, ""},
        {kBinance, "binance/server-shutdown.doc.json", K::Shutdown, kAnyCoin, false, 0, 0, 0, ""},
        {kBinance, "binance/subscribe-ack.doc.json", K::Ignored, kAnyCoin, false, 0, 0, 0, ""},
        // It answers request 2, which the server sends for ETH.
        {kBinance, "binance/error-invalid-stream.captured.json", K::Refused, kEth, false, 0, 0, 0,
         "Invalid request: invalid stream"},
        {kBybit, "bybit/ticker-spot.doc.json", K::Ticker, kBtc, true, 21109.77, 20704.93,
         1673853746003, ""},
        {kBybit, "bybit/ticker-spot-suiusdt.composed.json", K::Ticker, kSui, true, 2.3512, 2.3104,
         1788064200000, ""},
        {kBybit, "bybit/pong-spot.doc.json", K::Ignored, kAnyCoin, false, 0, 0, 0, ""},
        {kBybit, "bybit/subscribe-ack-public-spot.doc.json", K::Ignored, kAnyCoin, false, 0, 0, 0,
         ""},
        {kBybit, "bybit/error-invalid-symbol.thirdparty-fixture.json", K::Refused, kAnyCoin, false,
         0, 0, 0, "Invalid symbol :[tickers.XUSDT]"},
        {kOkx, "okx/ticker-spot.captured-2022-06-02.json", K::Ticker, kBtc, true, 29934, 31588.3,
         1654166073135, ""},
        {kOkx, "okx/ticker-spot-sui-usdt.composed.json", K::Ticker, kSui, true, 2.3513, 2.3105,
         1788064200000, ""},
        {kOkx, "okx/subscribe-ack.composed.json", K::Ignored, kAnyCoin, false, 0, 0, 0, ""},
        {kOkx, "okx/error-60018-unknown-instid.composed-from-captures.json", K::Refused, kAnyCoin,
         false, 0, 0, 0, "Wrong URL or channel:tickers,instId:BTC-INEXISTANT doesn't e"},
        {kBitget, "bitget/ticker-spot-suiusdt.composed.json", K::Ticker, kSui, true, 2.3511, 2.3103,
         1788064200000, ""},
        // Its 24-hour open is "0.00": no reference, as on the REST road.
        {kBitget, "bitget/ticker-spot-push.doc.json", K::Ticker, kEth, true, 2200.10, 0,
         1695702438018, ""},
        {kBitget, "bitget/subscribe-ack.doc.json", K::Ignored, kAnyCoin, false, 0, 0, 0, ""},
        {kBitget, "bitget/error-30001.composed-from-captures.json", K::Refused, kAnyCoin, false, 0,
         0, 0, R"({"channel":"ticker","instType":"SPOT","instId":"NOPEUSDT"} d)"},
        {kCoinbase, "coinbase/ticker-sui-usd.composed.json", K::Ticker, kSui, true, 2.3509, 2.3107,
         1788064200014, ""},
        // ETH-USD is not the product the server follows (ETH-USDT is).
        {kCoinbase, "coinbase/ticker.doc.json", K::Ignored, kAnyCoin, false, 0, 0, 0, ""},
        {kCoinbase, "coinbase/heartbeat.doc.json", K::Ignored, kAnyCoin, false, 0, 0, 0, ""},
        {kCoinbase, "coinbase/subscriptions-ack.composed.json", K::Ignored, kAnyCoin, false, 0, 0,
         0, ""},
        {kCoinbase, "coinbase/error-invalid-product.thirdparty-doccomment.json", K::Refused,
         kAnyCoin, false, 0, 0, 0, "GIBBERISH-USD is not a valid product"},
    };
    for (const SampleCase& c : cases) {
        const WsEvent event = parseWsMessage(c.exchange, sample(c.file));
        EXPECT_EQ(event.kind, c.kind) << c.file;
        EXPECT_EQ(event.coin, c.coin) << c.file;
        EXPECT_EQ(event.ok, c.ok) << c.file;
        EXPECT_DOUBLE_EQ(event.price, c.price) << c.file;
        EXPECT_DOUBLE_EQ(event.open24h, c.open24h) << c.file;
        EXPECT_EQ(event.eventTimeMs, c.eventTimeMs) << c.file;
        EXPECT_EQ(event.error, c.error) << c.file;
    }
}

TEST(WsProtocol, CoinbaseTimesAreReadToTheMillisecondOrNotAtAll) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"2026-08-30T04:30:00.014223Z", 1788064200014},
        {"2026-08-30T04:30:00Z", 1788064200000},
        {"2026-08-30T04:30:00.5Z", 1788064200500},
        {"2024-02-29T23:59:59.999999999Z", 1709251199999},
        {"1970-01-01T00:00:00Z", 0},
        {"2023-02-29T00:00:00Z", 0},
        {"2026-13-01T00:00:00Z", 0},
        {"2026-08-30T24:00:00Z", 0},
        {"2026-08-30T04:30:00.Z", 0},
        {"2026-08-30T04:30:00+09:00", 0},
        {"2026-08-30 04:30:00Z", 0},
        {"2026-8-30T04:30:00Z", 0},
        {"1788064200014", 0},
        {"", 0},
    };
    for (const auto& [text, ms] : cases)
        EXPECT_EQ(isoUtcMs(text), ms) << text;
}

TEST(WsProtocol, RefusalsNameTheProductWhereTheExchangeDoes) {
    struct Case {
        std::uint32_t exchange;
        std::string text;
        std::uint32_t coin;
    } cases[] = {
        {kBybit,
         R"({"success":false,"ret_msg":"Invalid symbol :[tickers.SUIUSDT]","op":"subscribe"})",
         kSui},
        {kBybit, R"({"success":false,"ret_msg":"x","req_id":"vindral-1","op":"subscribe"})", kEth},
        {kOkx, R"({"event":"error","msg":"instId:ETH-USDT doesn't exist","code":"60018"})", kEth},
        {kBitget, R"({"event":"error","arg":{"instId":"SUIUSDT"},"code":30001,"msg":"x"})", kSui},
        {kCoinbase, R"({"type":"error","reason":"SUI-USD is delisted"})", kSui},
        // "BTC-USD" is not the BTC-USDT product, whose name it starts.
        {kCoinbase, R"({"type":"error","reason":"BTC-USD is not a valid product"})", kAnyCoin},
        {kCoinbase, R"({"type":"error","reason":"USDT-USD is delisted"})", kRateCoin},
        {kBinance, R"({"code":2,"msg":"Invalid request","id":3})", kSui},
    };
    for (const Case& c : cases) {
        const WsEvent event = parseWsMessage(c.exchange, c.text);
        EXPECT_EQ(event.kind, WsEventKind::Refused) << c.text;
        EXPECT_EQ(event.coin, c.coin) << c.text;
    }
}

TEST(WsProtocol, NothingButAFinitePositivePriceIsAPrice) {
    struct Case {
        std::uint32_t exchange;
        std::string text;
        WsEventKind kind;
        std::string error;
    } cases[] = {
        {kBybit, "not json", WsEventKind::Malformed, ""},
        {kBybit, "[1,2]", WsEventKind::Malformed, ""},
        {kBybit, "", WsEventKind::Malformed, ""},
        {kBybit, R"({"topic":"tickers.BTCUSDT","data":{"lastPrice":"nan"}})", WsEventKind::Ticker,
         "가격 필드 없음"},
        {kBybit, R"({"topic":"tickers.BTCUSDT","data":{"lastPrice":"inf"}})", WsEventKind::Ticker,
         "가격 필드 없음"},
        {kBybit, R"({"topic":"tickers.BTCUSDT","data":{"lastPrice":"-3"}})", WsEventKind::Ticker,
         "가격 필드 없음"},
        {kBybit, R"({"topic":"tickers.BTCUSDT","data":{"lastPrice":"0"}})", WsEventKind::Ticker,
         "가격 필드 없음"},
        {kBybit, R"({"topic":"tickers.BTCUSDT","data":[]})", WsEventKind::Ticker,
         "티커 데이터 없음"},
        {kOkx, R"({"arg":{"instId":"BTC-USDT"},"data":[]})", WsEventKind::Ticker,
         "티커 데이터 없음"},
        {kBitget, R"({"arg":{"instId":"BTCUSDT"},"data":[{"lastPr":"1e999"}]})",
         WsEventKind::Ticker, "가격 필드 없음"},
        {kBinance, R"({"e":"24hrTicker","s":"BTCUSDT","c":true})", WsEventKind::Ticker,
         "가격 필드 없음"},
        {kCoinbase, R"({"type":"ticker","product_id":"BTC-USDT"})", WsEventKind::Ticker,
         "가격 필드 없음"},
        {kOkx, "pong", WsEventKind::Ignored, ""},
        {kBybit, "pong", WsEventKind::Malformed, ""},
        {kOkx, R"({"event":"notice","code":"64008","msg":"reconnect"})", WsEventKind::Shutdown, ""},
    };
    for (const Case& c : cases) {
        const WsEvent event = parseWsMessage(c.exchange, c.text);
        EXPECT_EQ(event.kind, c.kind) << c.text;
        EXPECT_FALSE(event.ok) << c.text;
        EXPECT_EQ(event.error, c.error) << c.text;
    }
}

// The requests as the exchanges document them (the samples), one per product where the answer
// to a refusal does not say which product it means.
TEST(WsProtocol, SubscribeMessagesHaveTheDocumentedShape) {
    const std::vector<std::uint32_t> all{kBtc, kEth, kSui};
    const auto args = [](const std::string& text, const char* member) {
        std::vector<std::string> found;
        const std::optional<JsonValue> root = parseJson(text);
        EXPECT_TRUE(root) << text;
        const JsonValue* list = root ? root->find(member) : nullptr;
        for (std::size_t i = 0; list && list->at(i); ++i) {
            const JsonValue* item = list->at(i);
            found.push_back(item->kind == JsonKind::Object ? item->find("instId")->asText() + "/" +
                                                                 item->find("channel")->asText()
                                                           : item->asText());
        }
        return found;
    };

    for (std::uint32_t exchange : {kOkx, kBitget}) {
        const std::vector<std::string> sent = wsSubscribeMessages(exchange, all, true);
        ASSERT_EQ(sent.size(), 1u);
        const std::string file = exchange == kOkx ? "okx/subscribe-btc-eth-sui.composed.json"
                                                  : "bitget/subscribe-btc-eth-sui.composed.json";
        EXPECT_EQ(args(sent[0], "args"), args(sample(file), "args")) << sent[0];
        EXPECT_EQ(parseJson(sent[0])->find("op")->asText(), "subscribe");
    }

    const std::vector<std::string> binance = wsSubscribeMessages(kBinance, all, true);
    const std::vector<std::string> documented =
        args(sample("binance/subscribe-btc-eth-sui.composed.json"), "params");
    ASSERT_EQ(binance.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(args(binance[i], "params"), std::vector<std::string>{documented[i]});
        EXPECT_EQ(parseJson(binance[i])->find("id")->asText(), std::to_string(i + 1));
    }
    EXPECT_EQ(parseJson(wsSubscribeMessages(kBinance, {kEth}, false)[0])->find("method")->asText(),
              "UNSUBSCRIBE");

    const std::vector<std::string> bybit = wsSubscribeMessages(kBybit, all, true);
    ASSERT_EQ(bybit.size(), 3u);
    const std::vector<std::string> topics =
        args(sample("bybit/subscribe-btc-eth-sui.composed.json"), "args");
    for (std::size_t i = 0; i < 3; ++i) {
        // At most 10 arguments per request on the spot stream.
        EXPECT_EQ(args(bybit[i], "args"), std::vector<std::string>{topics[i]});
        EXPECT_EQ(parseJson(bybit[i])->find("req_id")->asText(), "vindral-" + std::to_string(i));
    }

    const std::vector<std::string> coinbase =
        wsSubscribeMessages(kCoinbase, {kBtc, kSui, kRateCoin}, true);
    ASSERT_EQ(coinbase.size(), 3u);
    EXPECT_EQ(args(coinbase[0], "product_ids"), std::vector<std::string>{"BTC-USDT"});
    EXPECT_EQ(args(coinbase[1], "product_ids"), std::vector<std::string>{"SUI-USD"});
    EXPECT_EQ(args(coinbase[2], "product_ids"), std::vector<std::string>{"USDT-USD"});
    EXPECT_EQ(args(coinbase[0], "channels"), (std::vector<std::string>{"ticker", "heartbeat"}));

    EXPECT_TRUE(wsSubscribeMessages(kBybit, {}, true).empty());
    EXPECT_EQ(wsPingText(kBybit), R"({"req_id":"ping","op":"ping"})");
    EXPECT_EQ(wsPingText(kOkx), "ping");
    EXPECT_EQ(wsPingText(kBitget), "ping");
    EXPECT_EQ(wsPingText(kBinance), "");
    EXPECT_EQ(wsPingText(kCoinbase), "");
}

TEST(WsProtocol, UrlsAreTakenApartAndMovedOntoAnotherBase) {
    struct Case {
        std::string url;
        bool secure;
        std::string host, port, target;
    } cases[] = {
        {"wss://stream.binance.com:9443/ws", true, "stream.binance.com", "9443", "/ws"},
        {"wss://ws-feed.exchange.coinbase.com", true, "ws-feed.exchange.coinbase.com", "443", "/"},
        {"ws://127.0.0.1:8080/v5/public/spot", false, "127.0.0.1", "8080", "/v5/public/spot"},
        {"ws://[::1]:81/x", false, "::1", "81", "/x"},
        {"http://example.com/", true, "", "", "/"},
        {"wss://host:12ab/", true, "", "", "/"},
    };
    for (const Case& c : cases) {
        const WsUrl url = parseWsUrl(c.url);
        EXPECT_EQ(url.host, c.host) << c.url;
        if (url.host.empty())
            continue;
        EXPECT_EQ(url.secure, c.secure) << c.url;
        EXPECT_EQ(url.port, c.port) << c.url;
        EXPECT_EQ(url.target, c.target) << c.url;
    }
    const WsUrl moved =
        rebaseWsUrl(parseWsUrl(wsDefaultUrl(kOkx)), parseWsUrl("ws://127.0.0.1:5000/ignored"));
    EXPECT_FALSE(moved.secure);
    EXPECT_EQ(moved.host, "127.0.0.1");
    EXPECT_EQ(moved.port, "5000");
    EXPECT_EQ(moved.target, "/ws/v5/public");
    EXPECT_TRUE(isLoopbackHost("127.0.0.2"));
    EXPECT_TRUE(isLoopbackHost("localhost"));
    EXPECT_FALSE(isLoopbackHost("10.0.0.1"));
    EXPECT_TRUE(isLoopbackHost("::1"));
    EXPECT_FALSE(isLoopbackHost("127.example.com"));
}

}  // namespace
}  // namespace vindral
