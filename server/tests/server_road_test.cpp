// The program's own engine on the server road against the real server on loopback, with the fake
// exchanges behind the server; and the server's failure answers as a client sees them.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "core/format.h"
#include "core/market_engine.h"
#include "json/json.h"
#include "net/http_client.h"
#include "server/price_server.h"
#include "tests/support/fake_exchange.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;
using test::FakeExchange;

constexpr std::uint32_t kBitget = 1, kOkx = 3;
constexpr std::uint32_t kBtc = 0, kEth = 1;

Settings serverSettings(const std::wstring& url, std::int32_t intervalMs, bool withEth) {
    Settings s;
    s.serverUrl = url;
    s.intervalMs = intervalMs;
    s.exchanges.fill(false);
    s.exchanges[kBitget] = true;
    s.coins = {true, withEth, false};
    return s;
}

class ServerRoadTest : public ::testing::Test {
  protected:
    void startServer(HubOptions hub = {}) {
        ServerOptions options;
        options.listenAddress = "127.0.0.1";
        options.port = 0;
        options.endpoints = fake.endpoints();
        options.hub = hub;
        options.log = [this](std::string_view line) {
            std::lock_guard lock(mutex);
            log.emplace_back(line);
        };
        std::string error;
        server = PriceServer::start(options, error);
        ASSERT_TRUE(server) << error;
        base = L"http://127.0.0.1:" + std::to_wstring(server->port());
    }

    void TearDown() override {
        fake.releaseDelays();
        engine.stop();
        if (server)
            server->stop();
    }

    std::function<void()> onChange() {
        return [this] {
            {
                std::lock_guard lock(mutex);
                ++changes;
            }
            changed.notify_all();
        };
    }

    // Waits, on the engine's change notices, until the board satisfies `ready`.
    bool waitForBoard(const std::function<bool(const PriceBoard&)>& ready,
                      std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex);
        for (;;) {
            lock.unlock();
            const bool done = ready(engine.snapshot());
            lock.lock();
            if (done)
                return true;
            const int seen = changes;
            if (!changed.wait_until(lock, deadline, [&] { return changes != seen; }))
                return false;
        }
    }

    // Ids of the sessions the server logged as created, oldest first.
    std::vector<std::string> createdSessions() {
        std::lock_guard lock(mutex);
        std::vector<std::string> ids;
        for (const std::string& line : log) {
            const std::string prefix = "session ";
            if (line.starts_with(prefix) && line.find(" created ") != std::string::npos) {
                ids.push_back(
                    line.substr(prefix.size(), line.find(' ', prefix.size()) - prefix.size()));
            }
        }
        return ids;
    }

    HttpResponse call(const wchar_t* method, const std::wstring& path, const std::string& body) {
        return client.request(method, base + path, body, 5000);
    }

    FakeExchange fake{VINDRAL_SHARED_DIR "/fixtures/exchanges"};
    std::unique_ptr<PriceServer> server;
    std::wstring base;
    HttpClient client;
    MarketEngine engine{fake.endpoints()};
    std::mutex mutex;
    std::condition_variable changed;
    int changes = 0;
    std::vector<std::string> log;
};

TEST_F(ServerRoadTest, MirrorsTheServerThroughSettingsRefreshAndALostSession) {
    startServer();
    fake.setPrice(kBitget, kBtc, 101.5, 100);
    fake.setPrice(kBitget, kEth, 3500, 3400);
    engine.start(serverSettings(base, 300000, false), onChange());
    ASSERT_TRUE(waitForBoard([](const PriceBoard& b) {
        const PriceCell& c = b.cells[kBitget][kBtc];
        return c.hasData && c.lastOk && c.price == 101.5 && c.open24h == 100;
    }));
    ASSERT_EQ(createdSessions().size(), 1u);

    // Settings change: the session is updated in place and ETH joins the board.
    engine.applySettings(serverSettings(base, 300000, true));
    ASSERT_TRUE(waitForBoard([](const PriceBoard& b) {
        return b.cells[kBitget][kEth].hasData && b.cells[kBitget][kEth].price == 3500;
    }));
    EXPECT_EQ(createdSessions().size(), 1u);

    // Refresh: with a five-minute interval only the refresh can bring the new price, and the
    // waiting long poll delivers it.
    fake.setPrice(kBitget, kBtc, 102.25, 100);
    const std::size_t before = fake.requestCount(kBitget, kBtc);
    // A refresh within a second of the previous fetch is not passed upstream.
    std::this_thread::sleep_for(1100ms);
    engine.refreshNow();
    // The refresh is a counted tick of the session, both coins.
    ASSERT_TRUE(waitForBoard([](const PriceBoard& b) {
        const PriceCell& c = b.cells[kBitget][kBtc];
        return c.price == 102.25 && c.prevPrice == 101.5 && b.stats.exchanges[kBitget].ok == 2;
    }));
    EXPECT_EQ(fake.requestCount(kBitget, kBtc), before + 1);
    EXPECT_EQ(engine.snapshot().stats.exchanges[kBitget].scheduled, 2u);

    // The server forgets the session (as after an expiry or a restart): the held long poll is
    // answered 404 and the engine creates a new session at once.
    const std::vector<std::string> ids = createdSessions();
    ASSERT_EQ(call(L"DELETE", L"/api/sessions/" + fromUtf8(ids[0]), "").status, 204);
    ASSERT_TRUE(waitForBoard([&](const PriceBoard&) { return createdSessions().size() == 2; }));
    fake.setPrice(kBitget, kEth, 3510, 3400);
    std::this_thread::sleep_for(1100ms);
    engine.refreshNow();
    ASSERT_TRUE(waitForBoard([](const PriceBoard& b) {
        return b.cells[kBitget][kEth].price == 3510 && b.cells[kBitget][kEth].lastOk;
    }));
}

TEST_F(ServerRoadTest, DeliversEachNewPriceWithTheEnginesStatistics) {
    startServer();
    fake.setPrice(kBitget, kBtc, 200, 190);
    engine.start(serverSettings(base, 1000, false), onChange());
    ASSERT_TRUE(
        waitForBoard([](const PriceBoard& b) { return b.cells[kBitget][kBtc].price == 200; }));
    fake.setPrice(kBitget, kBtc, 201, 190);
    ASSERT_TRUE(waitForBoard([](const PriceBoard& b) {
        const PriceCell& c = b.cells[kBitget][kBtc];
        const ExchangeStats& s = b.stats.exchanges[kBitget];
        return c.price == 201 && c.prevPrice == 200 && s.ok >= 1 && s.scheduled >= s.ok;
    }));
    const PriceBoard b = engine.snapshot();
    EXPECT_EQ(b.stats.exchanges[kBitget].failed, 0u);
    EXPECT_GT(b.stats.exchanges[kBitget].avgLatencyMs, 0);
    // Only the enabled exchange comes back; the others keep their empty cells.
    EXPECT_FALSE(b.cells[kOkx][kBtc].hasData);
}

TEST_F(ServerRoadTest, ShowsTheSessionLimitInTheCells) {
    startServer(HubOptions{.maxSessions = 1});
    ASSERT_EQ(call(L"POST", L"/api/sessions", R"({"intervalMs":1000})").status, 201);
    engine.start(serverSettings(base, 1000, false), onChange());
    ASSERT_TRUE(waitForBoard([](const PriceBoard& b) {
        return b.cells[kBitget][kBtc].error == "서버 HTTP 503 세션 수 한도(1개)에 도달했습니다";
    }));
}

std::string errorOf(const HttpResponse& response) {
    const std::optional<JsonValue> body = parseJson(response.body);
    const JsonValue* error = body ? body->find("error") : nullptr;
    return error ? error->text : "(no error member in " + response.body + ")";
}

TEST_F(ServerRoadTest, AnswersBadRequestsWithTheReason) {
    startServer();
    struct Case {
        const wchar_t* method;
        std::wstring path;
        std::string body;
        int status;
        std::string error;
    };
    const std::string padded = R"({"intervalMs":1000)" + std::string(kMaxBodyBytes - 19, ' ') + "}";
    ASSERT_EQ(padded.size(), kMaxBodyBytes);
    const Case cases[] = {
        {L"POST", L"/api/sessions", "not json", 400, "세션 본문이 JSON 객체가 아닙니다"},
        {L"POST", L"/api/sessions", R"({"intervalMs":1000,"exchanges":["Kraken"]})", 400,
         "알 수 없는 거래소: Kraken"},
        {L"POST", L"/api/sessions", R"({"exchanges":["Bitget"]})", 400,
         "intervalMs가 없거나 숫자가 아닙니다"},
        {L"POST", L"/api/sessions", std::string(kMaxBodyBytes + 1, ' '), 413,
         "요청 본문이 64 KiB를 넘습니다"},
        {L"POST", L"/api/sessions", padded, 201, "(no error member in "},
        {L"GET", L"/api/sessions/feed/next?after=1&timeoutMs=100", "", 404, "세션이 없습니다"},
        {L"PUT", L"/api/sessions/feed", R"({"intervalMs":1000})", 404, "세션이 없습니다"},
        {L"POST", L"/api/sessions/feed/refresh", "", 404, "세션이 없습니다"},
        {L"DELETE", L"/api/sessions/feed", "", 404, "세션이 없습니다"},
        {L"GET", L"/api/sessions", "", 405, "허용되지 않는 메서드입니다"},
        {L"GET", L"/api/sessions/feed/next?after=x", "", 400, "after는 0 이상의 정수여야 합니다"},
        {L"GET", L"/favicon.ico", "", 404, "없는 경로입니다: /favicon.ico"},
    };
    for (const Case& c : cases) {
        const HttpResponse response = call(c.method, c.path, c.body);
        ASSERT_TRUE(response.ok) << toUtf8(c.path) << ": " << response.error;
        EXPECT_EQ(response.status, c.status) << toUtf8(c.path) << " " << response.body;
        EXPECT_TRUE(errorOf(response).starts_with(c.error))
            << toUtf8(c.path) << " " << response.body;
    }
}

}  // namespace
}  // namespace vindral
