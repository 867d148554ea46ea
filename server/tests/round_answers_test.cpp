// One round of prices answers every held poll in the same turn of the loop, one write after
// another. Each client must get its own session's board, and its connection must then do what
// its request asked: stay open for the next poll, or close.
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <string>
#include <vector>

#include "json/json.h"
#include "server/price_server.h"
#include "tests/support/fake_exchange.h"

namespace vindral {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Response = http::response<http::string_body>;

constexpr std::uint32_t kBitget = 1;
constexpr std::uint32_t kBtc = 0;
// Sessions on one shared cell: each of its fetches answers all their polls in one turn.
constexpr std::size_t kClients = 96;

struct Board {
    std::string sessionId;
    std::uint64_t seq = 0;
};

std::optional<Board> boardOf(const Response& response) {
    const std::optional<JsonValue> json = parseJson(response.body());
    const JsonValue* id = json ? json->find("sessionId") : nullptr;
    const JsonValue* seq = json ? json->find("seq") : nullptr;
    if (id == nullptr || seq == nullptr)
        return std::nullopt;
    return Board{id->text, static_cast<std::uint64_t>(seq->number)};
}

std::optional<Response> exchange(tcp::socket& socket, boost::beast::flat_buffer& buffer,
                                 const std::string& request) {
    boost::system::error_code ec;
    asio::write(socket, asio::buffer(request), ec);
    Response response;
    if (!ec)
        http::read(socket, buffer, response, ec);
    if (ec)
        return std::nullopt;
    return response;
}

std::string pollRequest(const Board& board, bool http10) {
    return "GET /api/sessions/" + board.sessionId + "/next?after=" + std::to_string(board.seq) +
           "&timeoutMs=20000" + (http10 ? " HTTP/1.0\r\n\r\n" : " HTTP/1.1\r\nHost: x\r\n\r\n");
}

TEST(RoundAnswersTest, EveryHeldPollOfOneRoundGetsItsOwnBoardAndKeepsItsConnectionRules) {
    test::FakeExchange fake(VINDRAL_SHARED_DIR "/fixtures/exchanges");
    fake.setPrice(kBitget, kBtc, 101.5, 100);
    ServerOptions options;
    options.listenAddress = "127.0.0.1";
    options.port = 0;
    options.endpoints = fake.endpoints();
    options.hub.maxSessionsPerPeer = options.hub.maxSessions;
    options.connections.maxConnectionsPerPeer = options.connections.maxConnections;
    std::string error;
    const std::unique_ptr<PriceServer> server = PriceServer::start(options, error);
    ASSERT_TRUE(server) << error;

    asio::io_context io;
    std::vector<tcp::socket> sockets;
    std::vector<boost::beast::flat_buffer> buffers(kClients);
    std::vector<Board> boards;
    const std::string body =
        R"({"intervalMs":1000,"exchanges":["Bitget"],"coins":["BTC"],"client":"round"})";
    for (std::size_t i = 0; i < kClients; ++i) {
        sockets.emplace_back(io);
        sockets.back().connect({asio::ip::make_address("127.0.0.1"), server->port()});
        const std::optional<Response> created =
            exchange(sockets.back(), buffers[i],
                     "POST /api/sessions HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body);
        ASSERT_TRUE(created && created->result_int() == 201);
        const std::optional<Board> board = boardOf(*created);
        ASSERT_TRUE(board);
        boards.push_back(*board);
    }
    // Every poll waits on its current seq, so the next fetch of the one shared cell answers them
    // all in one turn. Every other client asks in HTTP/1.0, which ends its connection.
    for (std::size_t i = 0; i < kClients; ++i) {
        asio::write(sockets[i], asio::buffer(pollRequest(boards[i], i % 2 == 1)));
    }
    for (std::size_t i = 0; i < kClients; ++i) {
        Response response;
        boost::system::error_code ec;
        http::read(sockets[i], buffers[i], response, ec);
        ASSERT_FALSE(ec) << "client " << i << ": " << ec.message();
        ASSERT_EQ(response.result_int(), 200u);
        const std::optional<Board> board = boardOf(response);
        ASSERT_TRUE(board);
        EXPECT_EQ(board->sessionId, boards[i].sessionId);
        EXPECT_GT(board->seq, boards[i].seq);
        boards[i] = *board;
    }
    for (std::size_t i = 0; i < kClients; ++i) {
        if (i % 2 == 1) {
            char byte = 0;
            boost::system::error_code ec;
            sockets[i].read_some(asio::buffer(&byte, 1), ec);
            EXPECT_EQ(ec, asio::error::eof) << "client " << i;
        } else {
            // Kept alive: the same connection carries the next poll, answered at once.
            boards[i].seq -= 1;
            const std::optional<Response> again =
                exchange(sockets[i], buffers[i], pollRequest(boards[i], false));
            ASSERT_TRUE(again && again->result_int() == 200) << "client " << i;
            const std::optional<Board> board = boardOf(*again);
            ASSERT_TRUE(board);
            EXPECT_EQ(board->sessionId, boards[i].sessionId);
        }
    }
}

}  // namespace
}  // namespace vindral
