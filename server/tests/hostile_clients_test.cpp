// What any host on the network can send: requests that never end, floods of connections and
// sessions from one address, selections toggled as fast as the network allows, names that would
// forge log lines, and exchanges (or what poses as one) that answer with a redirect.
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <fstream>
#include <thread>

#include "json/json.h"
#include "server/log_text.h"
#include "server/price_server.h"
#include "server/price_source.h"
#include "server/session_hub.h"
#include "tests/support/fake_exchange.h"

namespace vindral {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using Response = http::response<http::string_body>;

constexpr const char* kStatusRequest = "GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n";

// The process's resident set in KiB: the server runs in this process.
std::int64_t residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:"))
            return std::stoll(line.substr(6));
    }
    return -1;
}

std::string errorOf(const Response& response) {
    const std::optional<JsonValue> body = parseJson(response.body());
    const JsonValue* error = body ? body->find("error") : nullptr;
    return error ? error->text : "(no error member in " + response.body() + ")";
}

class HostileClientTest : public ::testing::Test {
  protected:
    void start(ServerOptions options = {}) {
        options.listenAddress = "127.0.0.1";
        options.port = 0;
        options.demo = true;
        options.requestTimeout = 3s;
        std::string error;
        server = PriceServer::start(options, error);
        ASSERT_TRUE(server) << error;
    }

    // A connection from `local`, one of the loopback addresses, so that tests can play several
    // hosts.
    tcp::socket connectFrom(const char* local) {
        tcp::socket socket(io);
        socket.open(tcp::v4());
        socket.bind({asio::ip::make_address(local), 0});
        socket.connect({asio::ip::make_address("127.0.0.1"), server->port()});
        return socket;
    }

    // The answer to `request`, or empty when the connection ended first.
    std::optional<Response> exchange(tcp::socket& socket, const std::string& request) {
        boost::system::error_code ec;
        asio::write(socket, asio::buffer(request), ec);
        return readResponse(socket);
    }

    std::optional<Response> readResponse(tcp::socket& socket) {
        boost::beast::flat_buffer buffer;
        Response response;
        boost::system::error_code ec;
        http::read(socket, buffer, response, ec);
        if (ec)
            return std::nullopt;
        return response;
    }

    // True when the server closes the connection rather than sending more.
    static bool closedByServer(tcp::socket& socket) {
        char byte = 0;
        boost::system::error_code ec;
        socket.read_some(asio::buffer(&byte, 1), ec);
        return ec == asio::error::eof || ec == asio::error::connection_reset;
    }

    static std::string post(const std::string& path, const std::string& body) {
        return "POST " + path +
               " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    }

    asio::io_context io;
    std::unique_ptr<PriceServer> server;
};

TEST_F(HostileClientTest, EndlessChunkExtensionOrTrailerIsRefusedWithoutBeingHeld) {
    start();
    constexpr std::size_t kPieceBytes = 64 * 1024;
    constexpr std::size_t kMostBytes = 48 * 1024 * 1024;
    // Far below what the endless line would cost if it were buffered.
    constexpr std::int64_t kMostGrowthKiB = 8 * 1024;
    const std::pair<const char*, const char*> shapes[] = {
        {"chunk extension", "1;"},
        {"trailer field", "0\r\nX-Pad: "},
    };
    const std::string piece(kPieceBytes, 'a');
    for (const auto& [shape, opening] : shapes) {
        tcp::socket socket = connectFrom("127.0.0.1");
        const std::int64_t before = residentKiB();
        std::int64_t most = before;
        std::thread writer([&] {
            boost::system::error_code ec;
            asio::write(socket,
                        asio::buffer(std::string("POST /api/sessions HTTP/1.1\r\nHost: x\r\n"
                                                 "Transfer-Encoding: chunked\r\n\r\n") +
                                     opening),
                        ec);
            for (std::size_t sent = 0; !ec && sent < kMostBytes; sent += kPieceBytes) {
                asio::write(socket, asio::buffer(piece), ec);
                most = std::max(most, residentKiB());
            }
        });
        const std::optional<Response> response = readResponse(socket);
        writer.join();
        ASSERT_TRUE(response.has_value()) << shape;
        EXPECT_GE(response->result_int(), 400u) << shape;
        EXPECT_LT(response->result_int(), 500u) << shape;
        EXPECT_FALSE(errorOf(*response).starts_with("(no error")) << shape;
        EXPECT_TRUE(closedByServer(socket)) << shape;
        EXPECT_LT(most - before, kMostGrowthKiB) << shape;
    }
}

TEST_F(HostileClientTest, OneAddressCannotTakeEverySession) {
    ServerOptions options;
    options.hub.maxSessionsPerPeer = 2;
    start(options);
    tcp::socket greedy = connectFrom("127.0.0.2");
    std::vector<std::string> ids;
    for (int i = 0; i < 2; ++i) {
        const std::optional<Response> r =
            exchange(greedy, post("/api/sessions", R"({"intervalMs":1000})"));
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(r->result_int(), 201u) << r->body();
        ids.push_back(r->body().substr(r->body().find(R"("sessionId":")") + 13, 32));
    }
    std::optional<Response> r = exchange(greedy, post("/api/sessions", R"({"intervalMs":1000})"));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 503u);
    EXPECT_EQ(errorOf(*r), "이 주소의 세션 수 한도(2개)에 도달했습니다");

    tcp::socket other = connectFrom("127.0.0.3");
    r = exchange(other, post("/api/sessions", R"({"intervalMs":1000})"));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 201u) << r->body();

    // A session that ends gives its place back.
    r = exchange(greedy, "DELETE /api/sessions/" + ids[0] + " HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 204u);
    r = exchange(greedy, post("/api/sessions", R"({"intervalMs":1000})"));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 201u) << r->body();
}

TEST_F(HostileClientTest, OneAddressCannotTakeEveryConnection) {
    ServerOptions options;
    options.connections.maxConnectionsPerPeer = 3;
    start(options);
    std::vector<tcp::socket> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(connectFrom("127.0.0.2"));
    tcp::socket extra = connectFrom("127.0.0.2");
    std::optional<Response> r = exchange(extra, kStatusRequest);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 503u);
    EXPECT_EQ(errorOf(*r), "이 주소의 연결 수 한도(3개)에 도달했습니다");
    EXPECT_FALSE(r->keep_alive());

    tcp::socket other = connectFrom("127.0.0.3");
    r = exchange(other, kStatusRequest);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 200u);

    // A connection that ends gives its place back, once the server has seen it go.
    extra.close();
    held.pop_back();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (r && r->body().find(R"("connections":3,)") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        r = exchange(other, kStatusRequest);
    }
    tcp::socket again = connectFrom("127.0.0.2");
    r = exchange(again, kStatusRequest);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 200u);
}

TEST_F(HostileClientTest, AFullServerClosesTheLongestIdleConnectionFirst) {
    ServerOptions options;
    options.connections.maxConnections = 4;
    start(options);
    // A held long poll is in use, however long it waits.
    tcp::socket polling = connectFrom("127.0.0.2");
    std::optional<Response> r = exchange(polling, post("/api/sessions", R"({"intervalMs":1000})"));
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->result_int(), 201u);
    const std::string id = r->body().substr(r->body().find(R"("sessionId":")") + 13, 32);
    boost::system::error_code ec;
    asio::write(polling,
                asio::buffer("GET /api/sessions/" + id +
                             "/next?after=999999&timeoutMs=60000 HTTP/1.1\r\nHost: x\r\n\r\n"),
                ec);
    ASSERT_FALSE(ec);
    // The first time the board's seq is not 999999: that answer comes at once; wait on the next.
    r = readResponse(polling);
    ASSERT_TRUE(r.has_value());
    const std::size_t seqAt = r->body().find(R"("seq":)") + 6;
    const std::string seq = r->body().substr(seqAt, r->body().find(',', seqAt) - seqAt);
    asio::write(polling,
                asio::buffer("GET /api/sessions/" + id + "/next?after=" + seq +
                             "&timeoutMs=60000 HTTP/1.1\r\nHost: x\r\n\r\n"),
                ec);
    ASSERT_FALSE(ec);

    std::vector<tcp::socket> idle;
    for (const char* address : {"127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        idle.push_back(connectFrom(address));
        // In arrival order at the server, so that the first is the longest idle.
        ASSERT_TRUE(exchange(idle.back(), kStatusRequest).has_value());
    }
    tcp::socket late = connectFrom("127.0.0.6");
    r = exchange(late, kStatusRequest);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 200u);
    EXPECT_TRUE(closedByServer(idle[0]));
    EXPECT_TRUE(exchange(idle[1], kStatusRequest).has_value());

    // The long poll is still there: ending its session answers it.
    r = exchange(late, "DELETE /api/sessions/" + id + " HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 204u);
    r = readResponse(polling);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->result_int(), 404u);
}

// The hub on its own, its fetches finished by the test as soon as they start.
class ChurnTest : public ::testing::Test {
  protected:
    ChurnTest()
        : hub(
              io.get_executor(), {}, [this](std::uint32_t cell) { started.push_back(cell); },
              [this](std::string_view line) { log.emplace_back(line); }) {}

    // Runs `step` over and over for `duration`, the hub's timers and fetches keeping up.
    void churn(std::chrono::milliseconds duration, const std::function<void()>& step) {
        const auto end = std::chrono::steady_clock::now() + duration;
        std::size_t finished = 0;
        while (std::chrono::steady_clock::now() < end) {
            step();
            for (; finished < started.size(); ++finished) {
                hub.fetchDone(started[finished],
                              {.ok = true, .price = 1, .open24h = 1, .latencyMs = 1, .error = {}});
            }
            io.restart();
            io.poll();
        }
    }

    std::string idOf(const HubReply& reply) {
        const std::optional<JsonValue> board = parseJson(reply.body);
        const JsonValue* id = board ? board->find("sessionId") : nullptr;
        return id ? id->text : std::string();
    }

    asio::io_context io;
    std::vector<std::uint32_t> started;
    std::vector<std::string> log;
    SessionHub hub;
};

constexpr const char* kEveryBtc =
    R"({"intervalMs":1000,"exchanges":["Binance","Bitget","Bybit","OKX","Coinbase"],"coins":["BTC"]})";
constexpr const char* kEveryEthSui =
    R"({"intervalMs":1000,"exchanges":["Binance","Bitget","Bybit","OKX","Coinbase"],"coins":["ETH","SUI"]})";
constexpr const char* kEveryCell =
    R"({"intervalMs":1000,"exchanges":["Binance","Bitget","Bybit","OKX","Coinbase"],"coins":["BTC","ETH","SUI"]})";
constexpr std::size_t kCells = static_cast<std::size_t>(kExchangeCount) * kCoinCount;
constexpr auto kChurnTime = 2s;
// Each cell at most once a second, counting the fetch at the start, and a little slack.
constexpr std::size_t kMostFetches = kCells * (2 + 1) + 5;

TEST_F(ChurnTest, ToggledSelectionsFetchNoFasterThanTheSchedule) {
    const std::string id = idOf(hub.create(kEveryBtc, "127.0.0.2"));
    ASSERT_FALSE(id.empty());
    bool toEthSui = true;
    churn(kChurnTime, [&] {
        ASSERT_EQ(hub.update(id, toEthSui ? kEveryEthSui : kEveryBtc).status, 200);
        toEthSui = !toEthSui;
    });
    EXPECT_LE(started.size(), kMostFetches);
    // Still polled, only not faster.
    for (std::uint32_t cell = 0; cell < kCells; ++cell)
        EXPECT_NE(std::count(started.begin(), started.end(), cell), 0) << cell;
}

TEST_F(ChurnTest, SessionsCreatedAndDeletedFetchNoFasterThanTheSchedule) {
    churn(kChurnTime, [&] {
        const std::string id = idOf(hub.create(kEveryCell, "127.0.0.2"));
        ASSERT_FALSE(id.empty());
        ASSERT_EQ(hub.remove(id).status, 204);
    });
    EXPECT_LE(started.size(), kMostFetches);
    EXPECT_GE(started.size(), kCells);
}

TEST_F(ChurnTest, ClientNamesCannotForgeLogLines) {
    ASSERT_EQ(
        hub.create(R"({"intervalMs":1000,"client":"pc\nsession 0 created by admin\u001b[2J"})",
                   "127.0.0.2")
            .status,
        201);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().find('\n'), std::string::npos) << log.back();
    EXPECT_EQ(log.back().find('\x1b'), std::string::npos) << log.back();
    EXPECT_NE(log.back().find(R"(created by pc\x0asession 0 created by admin\x1b[2J at)"),
              std::string::npos)
        << log.back();
}

TEST(LogTextTest, EscapesControlCharactersOnly) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"vindral-pc", "vindral-pc"},
        {"한글 이름", "한글 이름"},
        {"a\nb\r\tc", R"(a\x0ab\x0d\x09c)"},
        {"\x1b[31mred", R"(\x1b[31mred)"},
        {std::string_view("nul\0x", 5), R"(nul\x00x)"},
        {"del\x7f", R"(del\x7f)"},
        // C1 controls in UTF-8 (U+009B is a terminal's CSI).
        {"\xc2\x9b"
         "2J",
         R"(\xc2\x9b2J)"},
        {"\xc2\xa0nbsp", "\xc2\xa0nbsp"},
        {R"(back\slash)", R"(back\\slash)"},
        {"", ""},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(escapeForLog(text), expected) << text;
}

TEST(ExchangeSourceRedirectTest, ARedirectIsAFailureWithItsStatusAndIsNotFollowed) {
    test::TestServer elsewhere([](const test::TestRequest&) {
        return test::TestResponse::json(200, test::composeTickerBody(1, 101.5, 100));
    });
    test::TestServer exchange([&](const test::TestRequest& request) {
        test::TestResponse moved = test::TestResponse::text(302, "");
        moved.headers.emplace_back("Location", elsewhere.baseUrl() + request.target);
        return moved;
    });
    ExchangeEndpoints endpoints;
    endpoints.baseUrls.fill(exchange.baseUrlW());
    const std::wstring base = exchange.baseUrlW();
    const std::unique_ptr<PriceSource> source = makeExchangeSource(endpoints, {base, base, base});
    const FetchOutcome outcome = source->fetch(1, 0);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, "HTTP 302");
    EXPECT_EQ(exchange.requestCount(), 1u);
    EXPECT_EQ(elsewhere.requestCount(), 0u);
}

}  // namespace
}  // namespace vindral
