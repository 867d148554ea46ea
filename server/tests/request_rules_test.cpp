// The server's readings of what clients and operators send: the session body, the long poll's
// query and the command line.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>

#include "server/http_server.h"
#include "server/price_server.h"
#include "server/session_body.h"

namespace vindral {
namespace {

struct BodyCase {
    const char* body;
    std::int32_t intervalMs;
    std::array<bool, kExchangeCount> exchanges;
    std::array<bool, kCoinCount> coins;
};

TEST(SessionBodyTest, ReadsAndNormalizesLikeTheClient) {
    constexpr std::array<bool, kExchangeCount> kBitgetOnly{false, true, false, false, false};
    constexpr std::array<bool, kCoinCount> kBtcOnly{true, false, false};
    const BodyCase cases[] = {
        {R"({"intervalMs":5000,"exchanges":["Binance","Bitget","Bybit"],"coins":["BTC","SUI"],"client":"vindral-pc"})",
         5000,
         {true, true, true, false, false},
         {true, false, true}},
        {R"({"intervalMs":999,"exchanges":["Coinbase"],"coins":["ETH"]})",
         1000,
         {false, false, false, false, true},
         {false, true, false}},
        {R"({"intervalMs":300001,"exchanges":["OKX"],"coins":["SUI"]})",
         300000,
         {false, false, false, true, false},
         {false, false, true}},
        {R"({"intervalMs":-5,"exchanges":[],"coins":[]})", 1000, kBitgetOnly, kBtcOnly},
        {R"({"intervalMs":1e300})", 300000, kBitgetOnly, kBtcOnly},
        // A numeric string is a number to the client's reader, and so it is here.
        {R"({"intervalMs":"2000","exchanges":["Bitget","Bitget"],"coins":["ETH"]})",
         2000,
         kBitgetOnly,
         {false, true, false}},
    };
    for (const BodyCase& c : cases) {
        std::string error;
        const std::optional<SessionSettings> settings = parseSessionBody(c.body, error);
        ASSERT_TRUE(settings.has_value()) << c.body << ": " << error;
        EXPECT_EQ(settings->config.intervalMs, c.intervalMs) << c.body;
        EXPECT_EQ(settings->config.exchanges, c.exchanges) << c.body;
        EXPECT_EQ(settings->config.coins, c.coins) << c.body;
        EXPECT_TRUE(settings->config.serverUrl.empty());
    }
}

TEST(SessionBodyTest, RefusesWhatIsNotASessionBody) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "세션 본문이 JSON 객체가 아닙니다"},
        {"{", "세션 본문이 JSON 객체가 아닙니다"},
        {"[1]", "세션 본문이 JSON 객체가 아닙니다"},
        {R"({"exchanges":["Bitget"]})", "intervalMs가 없거나 숫자가 아닙니다"},
        {R"({"intervalMs":"fast"})", "intervalMs가 없거나 숫자가 아닙니다"},
        {R"({"intervalMs":null})", "intervalMs가 없거나 숫자가 아닙니다"},
        // Not finite: nothing to clamp, and no whole number of milliseconds.
        {R"({"intervalMs":"nan"})", "intervalMs가 없거나 숫자가 아닙니다"},
        {R"({"intervalMs":"-Infinity"})", "intervalMs가 없거나 숫자가 아닙니다"},
        {R"({"intervalMs":"inf"})", "intervalMs가 없거나 숫자가 아닙니다"},
        {R"({"intervalMs":1e999})", "세션 본문이 JSON 객체가 아닙니다"},
        {R"({"intervalMs":1000,"exchanges":["bitget"]})", "알 수 없는 거래소: bitget"},
        {R"({"intervalMs":1000,"exchanges":[1]})", "알 수 없는 거래소: 1"},
        {R"({"intervalMs":1000,"exchanges":"Bitget"})", "exchanges는 이름의 배열이어야 합니다"},
        {R"({"intervalMs":1000,"coins":["BTC","DOGE"]})", "알 수 없는 코인: DOGE"},
        {R"({"intervalMs":1000,"coins":{}})", "coins는 이름의 배열이어야 합니다"},
    };
    for (const auto& [body, expected] : cases) {
        std::string error;
        EXPECT_FALSE(parseSessionBody(body, error).has_value()) << body;
        EXPECT_EQ(error, expected) << body;
    }
}

TEST(SessionBodyTest, QuotesAtMostFortyBytesOfAnUnknownName) {
    std::string error;
    const std::string name(100, 'X');
    EXPECT_FALSE(parseSessionBody(R"({"intervalMs":1000,"coins":[")" + name + "\"]}", error));
    EXPECT_EQ(error, "알 수 없는 코인: " + std::string(40, 'X'));
}

TEST(NextQueryTest, ReadsAfterAndHoldTime) {
    struct Case {
        const char* query;
        std::optional<std::uint64_t> after;
        std::int64_t holdMs;
    };
    const Case cases[] = {
        {"after=7&timeoutMs=20000", 7, 20000},
        {"timeoutMs=0&after=18446744073709551615", 18446744073709551615u, 0},
        {"after=3", 3, kDefaultHoldMs},
        {"", std::nullopt, kDefaultHoldMs},
        {"after=1&timeoutMs=999999999999", 1, kMaxHoldMs},
        {"x=y&after=2&flag", 2, kDefaultHoldMs},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::optional<NextQuery> next = parseNextQuery(c.query, error);
        ASSERT_TRUE(next.has_value()) << c.query << ": " << error;
        EXPECT_EQ(next->after, c.after) << c.query;
        EXPECT_EQ(next->holdMs, c.holdMs) << c.query;
    }
    for (const char* bad : {"after=-1", "after=", "after=1x", "timeoutMs=abc", "after"}) {
        std::string error;
        EXPECT_FALSE(parseNextQuery(bad, error).has_value()) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(SessionBodyTest, OnlyATrueKrwAsksForTheKoreanMarket) {
    struct Case {
        const char* body;
        bool krw;
    };
    const Case cases[] = {
        {R"({"intervalMs":1000,"coins":["BTC"],"krw":true,"client":"vindral-pc"})", true},
        {R"({"intervalMs":1000,"coins":["BTC"],"client":"vindral-pc"})", false},
        {R"({"intervalMs":1000,"krw":false})", false},
        {R"({"intervalMs":1000,"krw":"true"})", false},
        {R"({"intervalMs":1000,"krw":1})", false},
        {R"({"intervalMs":1000,"krw":null})", false},
        {R"({"intervalMs":1000,"krw":[true]})", false},
        {R"({"intervalMs":1000,"krw":{"on":true}})", false},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::optional<SessionSettings> settings = parseSessionBody(c.body, error);
        ASSERT_TRUE(settings.has_value()) << c.body << ": " << error;
        EXPECT_EQ(settings->config.kimchiPremium, c.krw) << c.body;
    }
}

TEST(ServerArgsTest, ReadsOptions) {
    std::string error;
    std::optional<ServerOptions> defaults = parseServerArgs({}, error);
    ASSERT_TRUE(defaults.has_value());
    EXPECT_EQ(defaults->listenAddress, "0.0.0.0");
    EXPECT_EQ(defaults->port, 12500);
    EXPECT_FALSE(defaults->demo);
    EXPECT_EQ(defaults->hub.sessionExpiryMs, 60000);
    EXPECT_EQ(defaults->hub.maxSessions, 1000u);
    EXPECT_EQ(defaults->hub.maxSessionsPerPeer, 64u);
    EXPECT_EQ(defaults->connections.maxConnections, 4096u);
    EXPECT_EQ(defaults->connections.maxConnectionsPerPeer, 256u);

    std::optional<ServerOptions> options =
        parseServerArgs({"--listen", "127.0.0.1:0", "--demo", "--exchange-base", "127.0.0.1:9000/",
                         "--session-expiry-ms", "500", "--max-sessions", "3",
                         "--max-sessions-per-peer", "2", "--max-connections", "100",
                         "--max-connections-per-peer", "7", "--krw-base", "127.0.0.1:9001"},
                        error);
    ASSERT_TRUE(options.has_value()) << error;
    EXPECT_EQ(options->listenAddress, "127.0.0.1");
    EXPECT_EQ(options->port, 0);
    EXPECT_TRUE(options->demo);
    for (const std::wstring& base : options->endpoints.baseUrls) {
        EXPECT_EQ(base, L"http://127.0.0.1:9000");
    }
    EXPECT_EQ(options->krwEndpoints.upbit, L"http://127.0.0.1:9001");
    EXPECT_EQ(options->krwEndpoints.dunamu, L"http://127.0.0.1:9001");
    EXPECT_EQ(options->krwEndpoints.frankfurter, L"http://127.0.0.1:9001");
    EXPECT_EQ(options->hub.sessionExpiryMs, 500);
    EXPECT_EQ(options->hub.maxSessions, 3u);
    EXPECT_EQ(options->hub.maxSessionsPerPeer, 2u);
    EXPECT_EQ(options->connections.maxConnections, 100u);
    EXPECT_EQ(options->connections.maxConnectionsPerPeer, 7u);

    options = parseServerArgs({"--listen", "[::1]:8080"}, error);
    ASSERT_TRUE(options.has_value()) << error;
    EXPECT_EQ(options->listenAddress, "::1");
    EXPECT_EQ(options->port, 8080);
    options = parseServerArgs({"--listen", ":13000"}, error);
    ASSERT_TRUE(options.has_value()) << error;
    EXPECT_EQ(options->listenAddress, "0.0.0.0");
    EXPECT_EQ(options->port, 13000);

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--listen"},
                                               {"--listen", "host:70000"},
                                               {"--listen", "host:"},
                                               {"--max-sessions", "0"},
                                               {"--max-connections-per-peer", "-1"},
                                               {"--threads", "2"},
                                               {"--session-expiry-ms", "soon"},
                                               {"--exchange-base", " / "},
                                               {"--krw-base", ""},
                                               {"--krw-base"},
                                               {"--verbose"}}) {
        EXPECT_FALSE(parseServerArgs(bad, error).has_value()) << bad[0];
        EXPECT_FALSE(error.empty()) << bad[0];
    }
    EXPECT_FALSE(parseServerArgs({"--help"}, error).has_value());
    EXPECT_TRUE(error.empty());
}

// Raw HTTP on one connection, read back with Beast's parser.
class RawConnectionTest : public ::testing::Test {
  protected:
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    void SetUp() override {
        ServerOptions options;
        options.listenAddress = "127.0.0.1";
        options.port = 0;
        options.demo = true;
        options.requestTimeout = std::chrono::milliseconds(300);
        std::string error;
        server = PriceServer::start(options, error);
        ASSERT_TRUE(server) << error;
    }

    boost::asio::ip::tcp::socket connect() {
        boost::asio::ip::tcp::socket socket(io);
        socket.connect({boost::asio::ip::make_address("127.0.0.1"), server->port()});
        return socket;
    }

    Response exchange(boost::asio::ip::tcp::socket& socket, const std::string& request) {
        boost::asio::write(socket, boost::asio::buffer(request));
        Response response;
        boost::beast::http::read(socket, buffer, response);
        return response;
    }

    // True when the server closes the connection (end of stream) rather than sending more.
    bool closedByServer(boost::asio::ip::tcp::socket& socket) {
        char byte = 0;
        boost::system::error_code ec;
        socket.read_some(boost::asio::buffer(&byte, 1), ec);
        return ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
    }

    boost::asio::io_context io;
    boost::beast::flat_buffer buffer;
    std::unique_ptr<PriceServer> server;
};

TEST_F(RawConnectionTest, AnswersInTheRequestsVersionAndKeepsOrClosesAsAsked) {
    namespace http = boost::beast::http;
    auto socket = connect();
    Response r = exchange(socket, "GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(r.version(), 11u);
    EXPECT_EQ(r.result_int(), 200u);
    EXPECT_EQ(r[http::field::content_type], "application/json; charset=utf-8");
    EXPECT_EQ(r[http::field::cache_control], "no-store");
    EXPECT_TRUE(r.keep_alive());
    EXPECT_NE(r.body().find(R"("connections":1)"), std::string::npos) << r.body();

    // Several answers in turn on one connection, among them one without a body.
    const std::string body = R"({"intervalMs":0})";
    r = exchange(socket, "POST /api/sessions HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body);
    ASSERT_EQ(r.result_int(), 201u) << r.body();
    const std::string id = r.body().substr(r.body().find(R"("sessionId":")") + 13, 32);
    r = exchange(socket, "DELETE /api/sessions/" + id + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(r.result_int(), 204u);
    EXPECT_EQ(r.find(http::field::content_length), r.end());
    EXPECT_TRUE(r.body().empty());
    r = exchange(socket, "DELETE /api/sessions HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(r.result_int(), 405u);
    EXPECT_EQ(r[http::field::allow], "POST");
    r = exchange(socket, "GET /api/status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_FALSE(r.keep_alive());
    EXPECT_TRUE(closedByServer(socket));

    auto old = connect();
    r = exchange(old, "GET /api/status HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(r.version(), 10u);
    EXPECT_TRUE(r.keep_alive());
    r = exchange(old, "GET /api/status HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.version(), 10u);
    EXPECT_FALSE(r.keep_alive());
    EXPECT_TRUE(closedByServer(old));
}

TEST_F(RawConnectionTest, EndsConnectionsThatStallOrStayIdle) {
    using Clock = std::chrono::steady_clock;
    auto stalled = connect();
    auto idle = connect();
    const Clock::time_point start = Clock::now();
    boost::asio::write(stalled, boost::asio::buffer(std::string("GET /api/sta")));
    EXPECT_TRUE(closedByServer(stalled));
    EXPECT_TRUE(closedByServer(idle));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));

    // The time allowed runs again for each request on a connection that is in use.
    auto busy = connect();
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(exchange(busy, "GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n").result_int(), 200u);
    }
}

}  // namespace
}  // namespace vindral
