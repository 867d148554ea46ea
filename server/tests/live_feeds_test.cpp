// The server following the exchanges' streams: the fake WebSocket exchange on loopback for the
// streams, the fake REST exchange for the polling it falls back to, sessions over HTTP.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <mutex>

#include "core/format.h"
#include "json/json.h"
#include "net/http_client.h"
#include "server/load/fake_ws_exchange.h"
#include "server/price_server.h"
#include "tests/support/fake_exchange.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;
using test::FakeExchange;
using test::FakeWsExchange;

constexpr std::uint32_t kBinance = 0, kBitget = 1, kBybit = 2, kOkx = 3, kCoinbase = 4;
constexpr std::uint32_t kBtc = 0, kEth = 1, kSui = 2;
// The REST fake's Bitget body for every coin.
constexpr double kBitgetRestPrice = 34413.1;

struct Cell {
    bool found = false;
    bool lastOk = false;
    double price = 0;
    double open24h = 0;
    std::string error;
};

class LiveFeedsTest : public ::testing::Test {
  protected:
    void start(const std::function<void(ServerOptions&)>& tweak = {}) {
        ServerOptions options;
        options.listenAddress = "127.0.0.1";
        options.port = 0;
        options.endpoints = rest.endpoints();
        options.feeds = FeedMode::Live;
        options.live.urls = ws->urls();
        options.live.firstMessageTimeout = 3s;
        options.live.silenceTimeout = 600ms;
        options.live.pingInterval = 100ms;
        options.live.retryStart = 20ms;
        options.live.retryMax = 100ms;
        options.log = [this](std::string_view line) {
            std::lock_guard lock(mutex);
            log.emplace_back(line);
        };
        if (tweak)
            tweak(options);
        std::string error;
        server = PriceServer::start(options, error);
        ASSERT_TRUE(server) << error;
        base = L"http://127.0.0.1:" + std::to_wstring(server->port());
    }

    void TearDown() override {
        if (HasFailure()) {
            std::lock_guard lock(mutex);
            for (const std::string& line : log)
                std::cerr << "server: " << line << "\n";
        }
        rest.releaseDelays();
        if (server)
            server->stop();
    }

    std::string create(const std::string& exchanges, const std::string& coins) {
        const HttpResponse response = client.request(
            L"POST", base + L"/api/sessions",
            R"({"intervalMs":1000,"exchanges":[)" + exchanges + R"(],"coins":[)" + coins + "]}",
            5000);
        EXPECT_EQ(response.status, 201) << response.body;
        const std::optional<JsonValue> board = parseJson(response.body);
        return board && board->find("sessionId") ? board->find("sessionId")->asText() : "";
    }

    std::optional<JsonValue> next(const std::string& id, std::uint64_t after) {
        const HttpResponse response =
            client.request(L"GET",
                           base + L"/api/sessions/" + fromUtf8(id) + L"/next?after=" +
                               std::to_wstring(after) + L"&timeoutMs=300",
                           "", 5000);
        return response.status == 200 ? parseJson(response.body) : std::nullopt;
    }

    static Cell cellOf(const JsonValue& board, const std::string& exchange,
                       const std::string& coin) {
        Cell cell;
        const JsonValue* cells = board.find("cells");
        for (std::size_t i = 0; cells && cells->at(i); ++i) {
            const JsonValue& c = *cells->at(i);
            if (c.find("exchange")->asText() != exchange || c.find("coin")->asText() != coin)
                continue;
            cell.found = true;
            cell.lastOk = c.find("lastOk")->kind == JsonKind::Bool && c.find("lastOk")->boolean;
            cell.price = c.find("price")->asNumber().value_or(0);
            cell.open24h = c.find("open24h")->asNumber().value_or(0);
            cell.error = c.find("error")->asText();
        }
        return cell;
    }

    // Long-polls the session until its cell satisfies `ready`; every board seen goes to `seen`.
    bool waitForCell(const std::string& id, const std::string& exchange, const std::string& coin,
                     const std::function<bool(const Cell&)>& ready,
                     std::chrono::milliseconds timeout = 5s,
                     const std::function<void(const JsonValue&)>& seen = {}) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::uint64_t after = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::optional<JsonValue> board = next(id, after);
            if (!board)
                return false;
            if (seen)
                seen(*board);
            if (ready(cellOf(*board, exchange, coin)))
                return true;
            after = saturatingToUint64(board->find("seq")->asNumber().value_or(0));
        }
        return false;
    }

    std::optional<JsonValue> status() {
        return parseJson(client.request(L"GET", base + L"/api/status", "", 5000).body);
    }

    std::string source(const std::string& exchange, const std::string& coin) {
        const std::optional<JsonValue> s = status();
        const JsonValue* cells = s ? s->find("cells") : nullptr;
        for (std::size_t i = 0; cells && cells->at(i); ++i) {
            const JsonValue& c = *cells->at(i);
            if (c.find("exchange")->asText() == exchange && c.find("coin")->asText() == coin)
                return c.find("source")->asText();
        }
        return "";
    }

    bool eventually(const std::function<bool()>& ready, std::chrono::milliseconds timeout = 5s) {
        return ws->waitFor(ready, timeout);
    }

    bool logged(const std::string& part) {
        std::lock_guard lock(mutex);
        for (const std::string& line : log) {
            if (line.find(part) != std::string::npos)
                return true;
        }
        return false;
    }

    // Pushes `price` once the product is subscribed, again until the session's cell shows it.
    bool pushUntilSeen(const std::string& id, std::uint32_t exchange, std::uint32_t coin,
                       double price, double open24h = 0) {
        const std::string exchangeText = toUtf8(exchangeName(exchange));
        const std::string coinText = toUtf8(coinSymbol(coin));
        if (!eventually([&] { return ws->subscribed(exchange, coin); }))
            return false;
        return eventually([&] {
            ws->push(exchange, coin, price, open24h);
            return waitForCell(
                id, exchangeText, coinText, [&](const Cell& c) { return c.price == price; }, 400ms);
        });
    }

    FakeExchange rest{VINDRAL_SHARED_DIR "/fixtures/exchanges"};
    std::unique_ptr<FakeWsExchange> ws = std::make_unique<FakeWsExchange>();
    std::unique_ptr<PriceServer> server;
    std::wstring base;
    HttpClient client;
    std::mutex mutex;
    std::vector<std::string> log;
};

TEST_F(LiveFeedsTest, EverySessionSeesAPushedPriceOverOneConnectionPerExchange) {
    start();
    std::vector<std::string> ids;
    for (int i = 0; i < 3; ++i)
        ids.push_back(create(R"("Bybit","OKX")", R"("BTC")"));
    ASSERT_TRUE(pushUntilSeen(ids[0], kBybit, kBtc, 101.5, 99));
    ASSERT_TRUE(pushUntilSeen(ids[0], kOkx, kBtc, 202.25, 200));
    for (const std::string& id : ids) {
        EXPECT_TRUE(waitForCell(id, "Bybit", "BTC", [](const Cell& c) {
            return c.lastOk && c.price == 101.5 && c.open24h == 99;
        }));
        EXPECT_TRUE(waitForCell(id, "OKX", "BTC", [](const Cell& c) { return c.price == 202.25; }));
    }
    EXPECT_EQ(source("Bybit", "BTC"), "live");
    EXPECT_EQ(ws->acceptedConnections(kBybit), 1u);
    EXPECT_EQ(ws->acceptedConnections(kOkx), 1u);
    EXPECT_EQ(ws->acceptedConnections(kBinance), 0u);
    EXPECT_EQ(status()->find("upstreamStreams")->asNumber(), 2);
    EXPECT_TRUE(logged("Bybit BTC live"));

    // A live cell is not polled: the REST count stands still while pushes go on.
    const std::size_t polled = rest.requestCount(kBybit, kBtc);
    ASSERT_TRUE(pushUntilSeen(ids[1], kBybit, kBtc, 103));
    EXPECT_LE(rest.requestCount(kBybit, kBtc), polled + 1);

    // The last session to leave a cell ends its subscription; the last cell ends the connection.
    for (const std::string& id : ids)
        client.request(L"DELETE", base + L"/api/sessions/" + fromUtf8(id), "", 5000);
    EXPECT_TRUE(eventually([&] { return ws->openConnections(kBybit) == 0; }));
}

TEST_F(LiveFeedsTest, FallsBackToPollingWhenTheStreamDropsAndReturnsAfterResubscribing) {
    start();
    const std::string id = create(R"("Bitget")", R"("BTC","ETH")");
    ASSERT_TRUE(pushUntilSeen(id, kBitget, kBtc, 50000));
    ASSERT_TRUE(pushUntilSeen(id, kBitget, kEth, 3000));
    ASSERT_EQ(source("Bitget", "BTC"), "live");

    ws->refuseConnections(kBitget, true);
    ws->drop(kBitget);
    // Polled at once, not a whole interval later.
    EXPECT_TRUE(waitForCell(
        id, "Bitget", "BTC", [](const Cell& c) { return c.price == kBitgetRestPrice; }, 900ms));
    EXPECT_EQ(source("Bitget", "BTC"), "polled");
    EXPECT_TRUE(logged("Bitget stream lost"));

    ws->refuseConnections(kBitget, false);
    EXPECT_TRUE(
        eventually([&] { return ws->subscribed(kBitget, kBtc) && ws->subscribed(kBitget, kEth); }));
    ASSERT_TRUE(pushUntilSeen(id, kBitget, kEth, 3100));
    EXPECT_EQ(source("Bitget", "ETH"), "live");
    EXPECT_GE(ws->acceptedConnections(kBitget), 2u);
}

TEST_F(LiveFeedsTest, RefusedAndSilentProductsStayPolled) {
    ws->refuse(kOkx, kEth);
    ws->mute(kBinance, kBtc);
    start([](ServerOptions& options) { options.live.firstMessageTimeout = 400ms; });
    const std::string id = create(R"("Binance","OKX")", R"("BTC","ETH")");
    ASSERT_TRUE(pushUntilSeen(id, kOkx, kBtc, 111));
    ASSERT_TRUE(pushUntilSeen(id, kBinance, kEth, 222));
    EXPECT_TRUE(eventually([&] { return logged("OKX ETH stays polled: refused"); }));
    EXPECT_TRUE(eventually([&] { return logged("Binance BTC stays polled: no first message"); }));
    EXPECT_EQ(source("OKX", "ETH"), "polled");
    EXPECT_EQ(source("Binance", "BTC"), "polled");
    EXPECT_EQ(source("OKX", "BTC"), "live");
    // Polled as today: the REST price keeps coming.
    const std::size_t before = rest.requestCount(kBinance, kBtc);
    EXPECT_TRUE(rest.waitForRequests(kBinance, kBtc, before + 1, 3s));
    EXPECT_TRUE(waitForCell(id, "OKX", "ETH", [](const Cell& c) { return c.price == 36653; }));
}

TEST_F(LiveFeedsTest, GarbageNeverBecomesAPriceAndAnOversizeFrameCostsTheConnection) {
    start();
    const std::string id = create(R"("Bybit")", R"("BTC")");
    ASSERT_TRUE(pushUntilSeen(id, kBybit, kBtc, 100));
    for (const char* garbage :
         {"not json", "[]", "{}", R"({"topic":"tickers.BTCUSDT","data":{"lastPrice":"nan"}})",
          R"({"topic":"tickers.BTCUSDT","data":{"lastPrice":"-1"}})",
          R"({"topic":"tickers.BTCUSDT","data":{"lastPrice":"1e999"}})"}) {
        ws->pushRaw(kBybit, garbage);
    }
    ws->pushRaw(kBybit, "\x01\x02", true);
    EXPECT_TRUE(waitForCell(id, "Bybit", "BTC", [](const Cell& c) {
        return !c.lastOk && c.error == "가격 필드 없음";
    }));
    ASSERT_TRUE(pushUntilSeen(id, kBybit, kBtc, 101));
    EXPECT_EQ(ws->acceptedConnections(kBybit), 1u);

    bool sawBadPrice = false;
    ws->pushRaw(kBybit, std::string((1 << 20) + 16, 'x'));
    EXPECT_TRUE(eventually([&] { return ws->acceptedConnections(kBybit) == 2; }));
    ASSERT_TRUE(pushUntilSeen(id, kBybit, kBtc, 102));
    waitForCell(
        id, "Bybit", "BTC", [](const Cell&) { return true; }, 1s,
        [&](const JsonValue& board) {
            const Cell c = cellOf(board, "Bybit", "BTC");
            sawBadPrice = sawBadPrice || !(c.price > 0);
        });
    EXPECT_FALSE(sawBadPrice);
}

TEST_F(LiveFeedsTest, HeartbeatsAreSentAndAnsweredAndSilenceCostsTheConnection) {
    start();
    const std::string id = create(R"("Binance","Bybit","OKX","Bitget")", R"("BTC")");
    ASSERT_TRUE(pushUntilSeen(id, kOkx, kBtc, 10));
    EXPECT_TRUE(eventually([&] {
        return ws->textPings(kBybit) >= 3 && ws->textPings(kOkx) >= 3 &&
               ws->textPings(kBitget) >= 3;
    }));
    ws->pingFrame(kBinance);
    EXPECT_TRUE(eventually([&] { return ws->pongFrames(kBinance) >= 1; }));

    // Unanswered pings and no data: the stream is replaced after the silence time.
    ws->answerPings(kOkx, false);
    EXPECT_TRUE(eventually([&] { return logged("OKX stream lost (silent"); }));
    EXPECT_TRUE(eventually([&] { return ws->acceptedConnections(kOkx) >= 2; }));
}

TEST_F(LiveFeedsTest, CoinbaseUsdProductsAreConvertedWithThePushedRate) {
    start();
    const std::string id = create(R"("Coinbase")", R"("SUI")");
    EXPECT_TRUE(eventually([&] { return ws->subscribed(kCoinbase, kRateCoin); }));
    ws->push(kCoinbase, kRateCoin, 0.5, 0.5);
    ASSERT_TRUE(eventually([&] {
        ws->push(kCoinbase, kSui, 2, 1);
        return waitForCell(
            id, "Coinbase", "SUI", [](const Cell& c) { return c.price == 4 && c.open24h == 2; },
            400ms);
    }));
    EXPECT_EQ(source("Coinbase", "SUI"), "live");
}

// A pushed cell's statistics: every tick of the session is scheduled; it is ok when the stream
// holds a good price for the cell, failed when the latest push carried none; never an overrun.
TEST_F(LiveFeedsTest, StatisticsCountTheSessionsTicksOnALiveCell) {
    start();
    const std::string id = create(R"("Bybit")", R"("BTC")");
    ASSERT_TRUE(pushUntilSeen(id, kBybit, kBtc, 100));
    const auto stats = [&](const JsonValue& board) {
        const JsonValue* s = board.find("stats")->at(0);
        return std::array<std::uint64_t, 4>{saturatingToUint64(*s->find("scheduled")->asNumber()),
                                            saturatingToUint64(*s->find("ok")->asNumber()),
                                            saturatingToUint64(*s->find("failed")->asNumber()),
                                            saturatingToUint64(*s->find("overrun")->asNumber())};
    };
    std::array<std::uint64_t, 4> seen{};
    ASSERT_TRUE(eventually([&] {
        ws->push(kBybit, kBtc, 100, 0);
        const std::optional<JsonValue> board = next(id, 0);
        seen = stats(*board);
        return seen[0] >= 2;
    }));
    EXPECT_EQ(seen[3], 0u);
    EXPECT_EQ(seen[2], 0u);
    EXPECT_GE(seen[1] + 1, seen[0]);  // the tick before the first push may have been polled

    ws->pushRaw(kBybit, R"({"topic":"tickers.BTCUSDT","data":{"lastPrice":"0"}})");
    ASSERT_TRUE(eventually([&] { return stats(*next(id, 0))[2] >= 1; }));
    EXPECT_EQ(stats(*next(id, 0))[3], 0u);
}

TEST_F(LiveFeedsTest, ASessionGetsAtMostOneBoardPer250Ms) {
    start();
    const std::string id = create(R"("Bybit")", R"("BTC")");
    ASSERT_TRUE(pushUntilSeen(id, kBybit, kBtc, 1));
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    std::uint64_t after = saturatingToUint64(*next(id, 0)->find("seq")->asNumber());
    for (int i = 2; i <= 40; ++i)
        ws->push(kBybit, kBtc, i, 0);
    double last = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (last != 40 && std::chrono::steady_clock::now() < deadline) {
        const std::optional<JsonValue> board = next(id, after);
        ASSERT_TRUE(board);
        const std::uint64_t seq = saturatingToUint64(*board->find("seq")->asNumber());
        if (seq != after)
            arrivals.push_back(std::chrono::steady_clock::now());
        after = seq;
        last = cellOf(*board, "Bybit", "BTC").price;
    }
    EXPECT_EQ(last, 40);
    // Forty pushes in a burst reach the session as a few boards, the last one with the last price.
    EXPECT_LE(arrivals.size(), 4u);
    for (std::size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 240ms);
}

TEST_F(LiveFeedsTest, AStreamWithAnUntrustedCertificateIsRefusedAndATrustedOneAccepted) {
    const std::string dir = std::string(VINDRAL_SOURCE_DIR) + "/tests/support/tls/";
    const test::FakeWsTls tls{dir + "self-signed-cert.pem", dir + "self-signed-key.pem"};
    ws = std::make_unique<FakeWsExchange>(&tls);
    start();
    std::string id = create(R"("Bybit")", R"("BTC")");
    EXPECT_TRUE(eventually([&] { return logged("Bybit stream lost (TLS"); }));
    EXPECT_FALSE(ws->subscribed(kBybit, kBtc));
    EXPECT_TRUE(waitForCell(id, "Bybit", "BTC", [](const Cell& c) { return c.price == 25838; }));
    server->stop();
    server.reset();

    start([&](ServerOptions& options) { options.live.extraCaFile = tls.certificateFile; });
    id = create(R"("Bybit")", R"("BTC")");
    EXPECT_TRUE(pushUntilSeen(id, kBybit, kBtc, 123));
    EXPECT_EQ(source("Bybit", "BTC"), "live");
}

TEST(LiveFeedOptions, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        FeedMode feeds;
        std::string bybitUrl;
    } cases[] = {
        {{}, true, FeedMode::Live, "wss://stream.bybit.com/v5/public/spot"},
        {{"--feeds", "poll"}, true, FeedMode::Poll, "wss://stream.bybit.com/v5/public/spot"},
        {{"--feeds", "push"}, false, FeedMode::Live, ""},
        {{"--exchange-ws-base", "ws://127.0.0.1:9000"},
         true,
         FeedMode::Live,
         "ws://127.0.0.1:9000/v5/public/spot"},
        {{"--exchange-ws-base", "wss://10.1.2.3:9443/x"},
         true,
         FeedMode::Live,
         "wss://10.1.2.3:9443/v5/public/spot"},
        {{"--exchange-ws-base", "ws://10.1.2.3:9000"}, false, FeedMode::Live, ""},
        {{"--exchange-ws-base", "http://127.0.0.1:9000"}, false, FeedMode::Live, ""},
        // REST at a fake and the streams at the exchanges would mix two markets.
        {{"--exchange-base", "http://127.0.0.1:9000"},
         true,
         FeedMode::Poll,
         "wss://stream.bybit.com/v5/public/spot"},
        {{"--exchange-base", "http://127.0.0.1:9000", "--exchange-ws-base", "ws://127.0.0.1:1"},
         true,
         FeedMode::Live,
         "ws://127.0.0.1:1/v5/public/spot"},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::optional<ServerOptions> options = parseServerArgs(c.args, error);
        ASSERT_EQ(options.has_value(), c.ok) << (c.args.empty() ? "" : c.args.back()) << error;
        if (!options)
            continue;
        EXPECT_EQ(options->feeds, c.feeds);
        EXPECT_EQ(options->live.urls[kBybit], c.bybitUrl);
    }
}

}  // namespace
}  // namespace vindral
