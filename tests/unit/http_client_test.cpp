#include "net/http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_server.h"
#include "tests/support/tls_test_server.h"

namespace vindral {
namespace {

using namespace std::chrono_literals;
using test::TestRequest;
using test::TestResponse;
using test::TestServer;
using Clock = std::chrono::steady_clock;

#ifdef _WIN32
// Under Wine closing a request handle does not wake the blocked call: it ends with its own
// receive time-out, so the cancel tests use a short one there.
constexpr bool kCancelWakesAtOnce = false;
#else
constexpr bool kCancelWakesAtOnce = true;
#endif

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(DescribeWinHttpError, MapsEachKindOfFailureToItsText) {
    const struct {
        std::uint32_t code;
        const char* text;
    } cases[] = {
        {12002, "시간 초과"},   {10060, "시간 초과"},
        {12030, "연결 끊김"},   {10054, "연결 끊김"},
        {12029, "연결 실패"},   {10061, "연결 실패"},
        {12175, "TLS 오류"},    {12157, "TLS 오류"},
        {12037, "TLS 오류"},    {12038, "TLS 오류"},
        {12044, "TLS 오류"},    {12045, "TLS 오류"},
        {12169, "TLS 오류"},    {12007, "DNS 실패"},
        {12017, "취소됨"},      {12152, "네트워크 오류 12152"},
        {0, "네트워크 오류 0"}, {4294967295u, "네트워크 오류 4294967295"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describeWinHttpError(c.code), c.text) << c.code;
    }
}

TEST(HttpClient, ReadsStatusAndBodyWhateverTheStatus) {
    TestServer server([](const TestRequest& request) {
        if (request.path == "/missing") {
            return TestResponse::text(404, "no such ticker");
        }
        return TestResponse::json(200, R"({"price":"1.5"})");
    });
    HttpClient client;

    const HttpResponse found = client.request(L"GET", server.baseUrlW() + L"/ticker?s=BTC", "", 0);
    EXPECT_TRUE(found.ok);
    EXPECT_EQ(found.status, 200);
    EXPECT_EQ(found.body, R"({"price":"1.5"})");
    EXPECT_EQ(found.error, "");
    EXPECT_GT(found.elapsedMs, 0.0);

    const HttpResponse missing = client.request(L"GET", server.baseUrlW() + L"/missing", "", 0);
    EXPECT_TRUE(missing.ok);
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body, "no such ticker");
    EXPECT_EQ(missing.error, "");

    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(server.requests()[0].path, "/ticker");
    EXPECT_EQ(server.requests()[0].query, "s=BTC");
}

TEST(HttpClient, AcceptsExactlyFourMebibytes) {
    TestServer server([](const TestRequest& request) {
        const std::size_t size = kMaxResponseBytes + (request.path == "/over" ? 1 : 0);
        return TestResponse::text(200, std::string(size, 'x'));
    });
    HttpClient client;

    const HttpResponse atLimit = client.request(L"GET", server.baseUrlW() + L"/limit", "", 0);
    EXPECT_TRUE(atLimit.ok);
    EXPECT_EQ(atLimit.body.size(), 4'194'304u);

    const HttpResponse over = client.request(L"GET", server.baseUrlW() + L"/over", "", 0);
    EXPECT_FALSE(over.ok);
    EXPECT_EQ(over.error, "응답이 너무 큼");
    EXPECT_GT(over.elapsedMs, 0.0);
}

TEST(HttpClient, DecodesGzipWhenItAsksForIt) {
    const std::string plain = R"({"price":"97000.5","coin":"BTC"})";
    const unsigned char gzipped[] = {
        0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0xab, 0x56, 0x2a,
        0x28, 0xca, 0x4c, 0x4e, 0x55, 0xb2, 0x52, 0xb2, 0x34, 0x37, 0x30, 0x30, 0xd0,
        0x33, 0x55, 0xd2, 0x51, 0x4a, 0xce, 0xcf, 0xcc, 0x03, 0x0a, 0x38, 0x85, 0x38,
        0x2b, 0xd5, 0x02, 0x00, 0xbf, 0xc9, 0x6b, 0x18, 0x20, 0x00, 0x00, 0x00};
    const std::string compressed(reinterpret_cast<const char*>(gzipped), sizeof(gzipped));
    TestServer server([&](const TestRequest& request) {
        const auto encodings = request.header("Accept-Encoding");
        if (encodings && encodings->find("gzip") != std::string::npos) {
            return TestResponse{200, {{"Content-Encoding", "gzip"}}, compressed};
        }
        return TestResponse::json(200, plain);
    });
    HttpClient client;

    const HttpResponse response = client.request(L"GET", server.baseUrlW() + L"/z", "", 0);
    EXPECT_TRUE(response.ok);
    EXPECT_EQ(response.body, plain);
    ASSERT_EQ(server.requestCount(), 1u);
    const auto encodings = server.requests()[0].header("Accept-Encoding");
#ifdef _WIN32
    // Wine has no WinHTTP decompression and then must not ask for compressed bodies; Windows
    // asks and decodes.
    if (encodings) {
        EXPECT_NE(encodings->find("gzip"), std::string::npos);
    }
#else
    ASSERT_TRUE(encodings.has_value());
    EXPECT_NE(encodings->find("gzip"), std::string::npos);
    EXPECT_NE(encodings->find("deflate"), std::string::npos);
#endif
}

TEST(HttpClient, SendsItsHeadersAndTheBodyBytes) {
    TestServer server([](const TestRequest&) { return TestResponse::json(200, "{}"); });
    HttpClient client;
    const std::string json = R"({"interval":1000,"coins":["BTC","한글"]})";
    const struct {
        const wchar_t* method;
        std::string body;
    } cases[] = {{L"GET", ""}, {L"POST", json}, {L"PUT", json}, {L"DELETE", ""}, {L"POST", ""}};

    for (const auto& c : cases) {
        const HttpResponse response =
            client.request(c.method, server.baseUrlW() + L"/s/1", c.body, 0);
        EXPECT_TRUE(response.ok) << response.error;
    }
    const std::vector<TestRequest> seen = server.requests();
    ASSERT_EQ(seen.size(), std::size(cases));
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const TestRequest& request = seen[i];
        SCOPED_TRACE(request.method + " #" + std::to_string(i));
        EXPECT_EQ(std::wstring(request.method.begin(), request.method.end()), cases[i].method);
        EXPECT_EQ(request.target, "/s/1");
        EXPECT_EQ(request.header("User-Agent"), "Vindral/0.1 (+price-ticker)");
        EXPECT_EQ(request.header("Accept"), "application/json");
        EXPECT_EQ(request.body, cases[i].body);
        if (cases[i].body.empty()) {
            EXPECT_FALSE(request.hasHeader("Content-Type"));
        } else {
            EXPECT_EQ(request.header("Content-Type"), "application/json; charset=utf-8");
            EXPECT_EQ(request.header("Content-Length"), std::to_string(cases[i].body.size()));
        }
    }
}

TEST(HttpClient, CancelAllEndsAHeldRequestAndRefusesNewOnesUntilReset) {
    TestServer server([](const TestRequest& request) {
        if (request.path == "/poll") {
            return TestResponse::hold();
        }
        return TestResponse::json(200, "{}");
    });
    HttpClient client;
    const int receiveTimeoutMs = kCancelWakesAtOnce ? 30000 : 1500;

    auto poll = std::async(std::launch::async, [&] {
        return client.request(L"GET", server.baseUrlW() + L"/poll", "", receiveTimeoutMs);
    });
    ASSERT_TRUE(server.waitForRequests(1, 5s));
    const auto cancelledAt = Clock::now();
    client.cancelAll();
    const HttpResponse held = poll.get();
    const double cancelMs = msSince(cancelledAt);
    EXPECT_FALSE(held.ok);
    EXPECT_EQ(held.error, "취소됨");
    EXPECT_EQ(held.status, 0);
    EXPECT_LT(cancelMs, kCancelWakesAtOnce ? 100.0 : receiveTimeoutMs + 1000.0);

    const HttpResponse refused = client.request(L"POST", server.baseUrlW() + L"/refresh", "", 0);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, "취소됨");
    EXPECT_EQ(server.requestCount(), 1u);

    client.resetCancel();
    const HttpResponse again = client.request(L"POST", server.baseUrlW() + L"/refresh", "", 0);
    EXPECT_TRUE(again.ok) << again.error;
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST(HttpClient, ReceiveTimeoutOfTheCallerOrOfTheSession) {
    TestServer server([&server](const TestRequest& request) {
        if (request.path == "/silent") {
            return TestResponse::hold();
        }
        // Answers after two seconds, unless the server is going away.
        server.waitFor(2000ms, [] { return false; });
        return TestResponse::json(200, "late");
    });
    HttpClient client;

    // Both at once: the test takes as long as the slower one.
    auto silent = std::async(std::launch::async, [&] {
        const auto start = Clock::now();
        HttpResponse response = client.request(L"GET", server.baseUrlW() + L"/silent", "", 1500);
        return std::make_pair(response, msSince(start));
    });
    auto late = std::async(std::launch::async, [&] {
        return client.request(L"GET", server.baseUrlW() + L"/late", "", 0);
    });

    const auto [timedOut, waitedMs] = silent.get();
    EXPECT_FALSE(timedOut.ok);
    EXPECT_EQ(timedOut.error, "시간 초과");
    EXPECT_GE(waitedMs, 1400.0);
    EXPECT_LT(waitedMs, 3000.0);

    const HttpResponse slow = late.get();
    EXPECT_TRUE(slow.ok) << slow.error;
    EXPECT_EQ(slow.body, "late");
    EXPECT_GE(slow.elapsedMs, 1900.0);
}

TEST(HttpClient, RefusedConnectionFailsToConnect) {
    const std::uint16_t port = test::closedLoopbackPort();
    ASSERT_NE(port, 0);
    HttpClient client;
    const HttpResponse response =
        client.request(L"GET", L"http://127.0.0.1:" + std::to_wstring(port) + L"/x", "", 0);
    EXPECT_FALSE(response.ok);
    EXPECT_EQ(response.error, "연결 실패");
    EXPECT_GT(response.elapsedMs, 0.0);
}

TEST(HttpClient, ResetConnectionIsBroken) {
    TestServer server([](const TestRequest&) { return TestResponse::reset(); });
    HttpClient client;
    const HttpResponse response = client.request(L"GET", server.baseUrlW() + L"/reset", "", 0);
    EXPECT_FALSE(response.ok);
    EXPECT_EQ(response.error, "연결 끊김");
    EXPECT_EQ(response.status, 0);
}

TEST(HttpClient, UrlWithoutHttpSchemeIsInvalid) {
    HttpClient client;
    for (const wchar_t* url : {L"", L"example.com/path", L"ftp://127.0.0.1/file"}) {
        const HttpResponse response = client.request(L"GET", url, "", 0);
        EXPECT_FALSE(response.ok);
        EXPECT_EQ(response.error, "잘못된 URL");
        EXPECT_EQ(response.elapsedMs, 0.0);
    }
}

TEST(HttpClient, HttpsRefusesASelfSignedCertificate) {
    test::TlsTestServer tls(VINDRAL_SOURCE_DIR);
    if (!tls.running()) {
        GTEST_SKIP() << "python3 with the TLS test server could not be started";
    }
    HttpClient client;
    const HttpResponse response = client.request(L"GET", tls.baseUrlW() + L"/ticker", "", 0);
    EXPECT_FALSE(response.ok);
    EXPECT_EQ(response.error, "TLS 오류");
    EXPECT_EQ(response.status, 0);
}

TEST(HttpClient, FifteenThreadsShareOneClient) {
    TestServer server(
        [](const TestRequest& request) { return TestResponse::json(200, request.query); });
    HttpClient client;
    constexpr int kThreads = 15;
    constexpr int kRequestsPerThread = 4;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequestsPerThread; ++i) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(i);
                const HttpResponse response = client.request(
                    L"GET", server.baseUrlW() + L"/t?" + std::wstring(tag.begin(), tag.end()), "",
                    0);
                if (response.ok && response.body == tag) {
                    ++good;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good.load(), kThreads * kRequestsPerThread);
}

// The loopback server itself: handlers that wait are released by notify() and by destruction.
TEST(TestServer, WaitForEndsOnNotifyOrWhenTheServerGoes) {
    std::atomic<bool> released{false};
    std::atomic<int> stoppedWaits{0};
    auto server = std::make_unique<TestServer>();
    // unique_ptr::reset clears the pointer before the destructor runs: handlers use this one.
    TestServer* const self = server.get();
    server->setHandler([&, self](const TestRequest& request) {
        if (request.path == "/wait") {
            const bool got = self->waitFor(10s, [&] { return released.load(); });
            return TestResponse::text(200, got ? "released" : "stopped");
        }
        if (!self->waitFor(10s, [] { return false; })) {
            ++stoppedWaits;
        }
        return TestResponse::text(200, "late");
    });
    HttpClient client;

    auto waiting = std::async(std::launch::async, [&] {
        return client.request(L"GET", server->baseUrlW() + L"/wait", "", 10000);
    });
    ASSERT_TRUE(server->waitForRequests(1, 5s));
    const auto releasedAt = Clock::now();
    released = true;
    server->notify();
    const HttpResponse response = waiting.get();
    EXPECT_EQ(response.body, "released");
    EXPECT_LT(msSince(releasedAt), 1000.0);

    auto abandoned = std::async(std::launch::async, [&, url = server->baseUrlW()] {
        return client.request(L"GET", url + L"/forever", "", 10000);
    });
    ASSERT_TRUE(server->waitForRequests(2, 5s));
    const auto destroyedAt = Clock::now();
    server.reset();
    EXPECT_LT(msSince(destroyedAt), 1000.0);
    EXPECT_EQ(stoppedWaits.load(), 1);
    abandoned.get();
}

}  // namespace
}  // namespace vindral
