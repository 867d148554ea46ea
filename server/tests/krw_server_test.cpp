// The Korean market through the whole server: fake Upbit, Dunamu and Frankfurter on loopback
// behind the server, the program's own engine (or plain requests) in front of it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>

#include "core/format.h"
#include "core/market_engine.h"
#include "json/json.h"
#include "net/http_client.h"
#include "net/server_protocol.h"
#include "server/price_server.h"
#include "tests/support/fake_exchange.h"
#include "tests/support/test_server.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kBitget = 1;
constexpr std::uint32_t kBtc = 0, kEth = 1;

std::string readFixture(const std::string& name) {
    std::ifstream in(std::string(VINDRAL_SHARED_DIR) + "/fixtures/krw/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The three Korean sources on one loopback port, told apart by path.
class FakeKrwSources {
  public:
    FakeKrwSources()
        : server_([this](const test::TestRequest& request) { return answer(request); }) {}

    KrwEndpoints endpoints() const {
        return {server_.baseUrlW(), server_.baseUrlW(), server_.baseUrlW()};
    }
    std::size_t upbitRequests() const { return upbit_; }
    std::size_t dunamuRequests() const { return dunamu_; }
    std::size_t frankfurterRequests() const { return frankfurter_; }
    void failDunamu() { dunamuFails_ = true; }
    std::vector<test::TestRequest> requests() const { return server_.requests(); }

  private:
    test::TestResponse answer(const test::TestRequest& request) {
        if (request.path == "/v1/ticker") {
            ++upbit_;
            return test::TestResponse::json(
                200,
                readFixture("upbit/rest-ticker-krw-btc-eth-sui-usdt.composed-wireformat.json"));
        }
        if (request.path == "/v1/forex/recent") {
            ++dunamu_;
            if (dunamuFails_)
                return test::TestResponse::text(500, "Internal Server Error");
            return test::TestResponse::json(200,
                                            readFixture("fx/dunamu-forex-krwusd.composed.json"));
        }
        if (request.path == "/v1/latest") {
            ++frankfurter_;
            return test::TestResponse::json(
                200, readFixture("fx/frankfurter-v1-latest-usd-krw.composed.json"));
        }
        return test::TestResponse::text(404, "not found");
    }

    std::atomic<std::size_t> upbit_{0};
    std::atomic<std::size_t> dunamu_{0};
    std::atomic<std::size_t> frankfurter_{0};
    std::atomic<bool> dunamuFails_{false};
    test::TestServer server_;
};

class KrwServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ServerOptions options;
        options.listenAddress = "127.0.0.1";
        options.port = 0;
        options.endpoints = exchanges.endpoints();
        options.krwEndpoints = krw.endpoints();
        std::string error;
        server = PriceServer::start(options, error);
        ASSERT_TRUE(server) << error;
        base = L"http://127.0.0.1:" + std::to_wstring(server->port());
        exchanges.setPrice(kBitget, kBtc, 77400, 77000);
        exchanges.setPrice(kBitget, kEth, 2500, 2400);
    }

    void TearDown() override {
        engine.stop();
        if (server)
            server->stop();
    }

    // A session of five minutes' interval: within a test only its first fetches happen.
    std::string createSession(bool krwWanted, const char* coins = R"(["BTC","ETH"])") {
        const std::string body = std::string(R"({"intervalMs":300000,"exchanges":["Bitget"],)") +
                                 R"("coins":)" + coins + (krwWanted ? R"(,"krw":true)" : "") + "}";
        const HttpResponse response = client.request(L"POST", base + L"/api/sessions", body, 5000);
        EXPECT_EQ(response.status, 201) << response.body;
        ServerBoard board;
        std::string error;
        EXPECT_TRUE(parseServerBoard(response.body, board, error)) << error;
        return board.sessionId;
    }

    // Long-polls the session until `ready` holds for its board.
    bool pollUntil(const std::string& id, const std::function<bool(const ServerBoard&)>& ready) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::uint64_t after = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::wstring url = base + L"/api/sessions/" + fromUtf8(id) + L"/next?after=" +
                                     std::to_wstring(after) + L"&timeoutMs=2000";
            const HttpResponse response = client.request(L"GET", url, "", 5000);
            ServerBoard board;
            std::string error;
            if (!parseServerBoard(response.body, board, error))
                return false;
            if (ready(board)) {
                last = board;
                return true;
            }
            after = board.seq;
        }
        return false;
    }

    test::FakeExchange exchanges{VINDRAL_SHARED_DIR "/fixtures/exchanges"};
    FakeKrwSources krw;
    std::unique_ptr<PriceServer> server;
    std::wstring base;
    HttpClient client;
    MarketEngine engine{exchanges.endpoints()};
    // The engine's change notices; they outlive the engine, which TearDown stops.
    std::mutex mutex;
    std::condition_variable changed;
    int changes = 0;
    ServerBoard last;
};

bool hasKrwAndRate(const ServerBoard& b) {
    return b.fx && b.fx->hasData && !b.krw.empty() &&
           std::all_of(b.krw.begin(), b.krw.end(), [](const ServerCell& c) { return c.hasData; });
}

TEST_F(KrwServerTest, TheEngineOnTheServerRoadGetsUpbitAndTheBankRate) {
    Settings settings;
    settings.serverUrl = base;
    settings.intervalMs = 300000;
    settings.exchanges.fill(false);
    settings.exchanges[kBitget] = true;
    settings.coins = {true, true, false};
    settings.kimchiPremium = true;
    engine.start(settings, [&] {
        {
            std::lock_guard lock(mutex);
            ++changes;
        }
        changed.notify_all();
    });
    std::unique_lock lock(mutex);
    const bool arrived = changed.wait_for(lock, 10s, [&] {
        const PriceBoard b = engine.snapshot();
        return b.krw.upbit[kBtc].hasData && b.krw.upbit[kEth].hasData && b.krw.fx.hasData &&
               b.cells[kBitget][kBtc].hasData;
    });
    ASSERT_TRUE(arrived);
    const PriceBoard b = engine.snapshot();
    EXPECT_EQ(b.krw.upbit[kBtc].price, 108580000);
    EXPECT_TRUE(b.krw.upbit[kBtc].lastOk);
    EXPECT_FALSE(b.krw.upbit[2].hasData);  // SUI is not shown
    EXPECT_EQ(b.krw.fx.quote.krwPerUsd, 1391.5);
    EXPECT_EQ(b.krw.fx.quote.source, FxSource::Bank);
    EXPECT_EQ(b.krw.fx.quote.provider, "하나은행");
    EXPECT_EQ(krw.frankfurterRequests(), 0u);
    // Only the shown coins are asked for, and never with an Origin header.
    const std::vector<test::TestRequest> requests = krw.requests();
    const auto upbit = std::find_if(requests.begin(), requests.end(),
                                    [](const auto& r) { return r.path == "/v1/ticker"; });
    ASSERT_NE(upbit, requests.end());
    EXPECT_EQ(upbit->query, "markets=KRW-BTC,KRW-ETH");
    EXPECT_FALSE(upbit->hasHeader("Origin"));
}

TEST_F(KrwServerTest, OneUpbitRequestForSeveralAskingSessionsAndNoneForOthers) {
    const std::string plain = createSession(false);
    ASSERT_TRUE(pollUntil(
        plain, [](const ServerBoard& b) { return !b.cells.empty() && b.cells[0].hasData; }));
    EXPECT_EQ(krw.upbitRequests(), 0u);
    EXPECT_EQ(krw.dunamuRequests(), 0u);

    const std::string first = createSession(true);
    const std::string second = createSession(true);
    const std::string third = createSession(true, R"(["BTC"])");
    for (const std::string& id : {first, second, third})
        ASSERT_TRUE(pollUntil(id, hasKrwAndRate)) << id;
    EXPECT_EQ(krw.upbitRequests(), 1u);
    EXPECT_EQ(krw.dunamuRequests(), 1u);
    ASSERT_EQ(last.krw.size(), 1u);
    EXPECT_EQ(last.krw[0].price, 108580000);
    EXPECT_EQ(last.fx->quote.krwPerUsd, 1391.5);

    // The session that did not ask still gets today's document.
    const HttpResponse response =
        client.request(L"GET", base + L"/api/sessions/" + fromUtf8(plain) + L"/next", "", 5000);
    const std::optional<JsonValue> root = parseJson(response.body);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->find("krw"), nullptr);
    EXPECT_EQ(root->find("krwStats"), nullptr);
    EXPECT_EQ(root->find("fx"), nullptr);

    const std::optional<JsonValue> status =
        parseJson(client.request(L"GET", base + L"/api/status", "", 5000).body);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->find("krwSessions")->number, 3);
    EXPECT_EQ(status->find("krw")->items.size(), 2u);
}

TEST_F(KrwServerTest, TheEcbRateStandsInWhenTheBankFeedFails) {
    krw.failDunamu();
    const std::string id = createSession(true);
    ASSERT_TRUE(pollUntil(id, hasKrwAndRate));
    EXPECT_EQ(last.fx->quote.source, FxSource::Ecb);
    EXPECT_EQ(last.fx->quote.krwPerUsd, 1390.87);
    EXPECT_TRUE(last.fx->lastOk);
    EXPECT_EQ(krw.dunamuRequests(), 1u);
    EXPECT_EQ(krw.frankfurterRequests(), 1u);
}

}  // namespace
}  // namespace vindral
