#include "server/load/load_driver.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>

#include <sys/socket.h>

#include "core/board.h"
#include "net/server_protocol.h"
#include "tests/support/fake_exchange.h"

namespace vindral::load {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr std::uint32_t kBitget = 1;
constexpr double kFirstPrice = 1000;
constexpr std::size_t kReceiveChunk = 16 * 1024;
// A price served this shortly before the end may still be on its way; it is not expected.
constexpr std::chrono::milliseconds kSettleTime{300};

struct Shared {
    const UpstreamFake& upstream;
    std::string sessionBody;
    LoadReport report;
    bool stopping = false;
};

// One client: creates its session, then long-polls it again as soon as an answer arrives. Answers
// are received with recvmsg and SO_TIMESTAMPNS, so each carries the time the kernel put it into
// the socket, and parsed with Beast's parser.
class LoadSession : public std::enable_shared_from_this<LoadSession> {
  public:
    LoadSession(asio::io_context& io, Shared& shared) : socket_(io), shared_(shared) {}

    void start(const tcp::endpoint& server) {
        socket_.async_connect(server, [self = shared_from_this()](error_code ec) {
            if (ec)
                return self->fail();
            self->socket_.set_option(tcp::no_delay(true), ec);
            const int on = 1;
            if (setsockopt(self->socket_.native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &on,
                           sizeof on) != 0) {
                return self->fail();
            }
            self->send(http::verb::post, "/api/sessions", self->shared_.sessionBody);
        });
    }

    void close() {
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

    bool created() const { return !id_.empty(); }
    Clock::time_point createdAt() const { return createdAt_; }
    const std::set<double>& seen() const { return seen_; }

  private:
    void send(http::verb method, std::string target, std::string body) {
        request_ = {};
        request_.method(method);
        request_.target(target);
        request_.version(11);
        request_.set(http::field::host, "127.0.0.1");
        request_.keep_alive(true);
        if (!body.empty()) {
            request_.set(http::field::content_type, "application/json; charset=utf-8");
            request_.body() = std::move(body);
        }
        request_.prepare_payload();
        http::async_write(socket_, request_,
                          [self = shared_from_this()](error_code ec, std::size_t) {
                              if (ec)
                                  return self->fail();
                              self->parser_.emplace();
                              self->parser_->eager(true);
                              self->arrived_ = {};
                              self->receive();
                          });
    }

    void receive() {
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](error_code ec) {
            if (ec)
                return self->fail();
            self->receiveNow();
        });
    }

    void receiveNow() {
        const asio::mutable_buffer space = buffer_.prepare(kReceiveChunk);
        iovec vector{space.data(), space.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return receive();
        if (n <= 0)
            return fail();
        buffer_.commit(static_cast<std::size_t>(n));
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                arrived_ = std::chrono::system_clock::time_point(
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::seconds(stamp.tv_sec) +
                        std::chrono::nanoseconds(stamp.tv_nsec)));
            }
        }
        while (buffer_.size() > 0 && !parser_->is_done()) {
            error_code ec;
            const std::size_t used = parser_->put(buffer_.data(), ec);
            buffer_.consume(used);
            if (ec == http::error::need_more)
                break;
            if (ec)
                return fail();
        }
        if (!parser_->is_done())
            return receive();
        onResponse(parser_->release());
    }

    void onResponse(const http::response<http::string_body>& response) {
        const Clock::time_point now = Clock::now();
        const bool creating = id_.empty();
        ServerBoard board;
        std::string error;
        if (response.result_int() != (creating ? 201u : 200u) ||
            !parseServerBoard(response.body(), board, error) ||
            arrived_ == std::chrono::system_clock::time_point{}) {
            return fail();
        }
        if (creating) {
            id_ = board.sessionId;
            createdAt_ = now;
            ++shared_.report.sessionsCreated;
        } else if (board.seq != seq_) {
            ++shared_.report.boards;
        }
        seq_ = board.seq;
        for (const ServerCell& cell : board.cells) {
            if (!cell.hasData || !seen_.insert(cell.price).second || creating)
                continue;
            for (const UpstreamFake::Quote& quote : shared_.upstream.quotes()) {
                if (quote.price == cell.price && quote.servedAt > createdAt_) {
                    shared_.report.delaysMs.push_back(
                        std::chrono::duration<double, std::milli>(arrived_ - quote.servedAtWall)
                            .count());
                    shared_.report.handledDelaysMs.push_back(
                        std::chrono::duration<double, std::milli>(now - quote.servedAt).count());
                }
            }
        }
        send(http::verb::get,
             "/api/sessions/" + id_ + "/next?after=" + std::to_string(seq_) + "&timeoutMs=20000",
             {});
    }

    void fail() {
        if (!shared_.stopping)
            ++shared_.report.failures;
        close();
    }

    tcp::socket socket_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> request_;
    std::optional<http::response_parser<http::string_body>> parser_;
    std::chrono::system_clock::time_point arrived_{};
    Shared& shared_;
    std::string id_;
    std::uint64_t seq_ = 0;
    Clock::time_point createdAt_{};
    std::set<double> seen_;
};

double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty())
        return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * sorted.size()));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

UpstreamFake::UpstreamFake() : server_([this](const test::TestRequest&) { return answer(); }) {}

ExchangeEndpoints UpstreamFake::endpoints() const {
    ExchangeEndpoints endpoints;
    endpoints.baseUrls.fill(server_.baseUrlW());
    return endpoints;
}

std::vector<UpstreamFake::Quote> UpstreamFake::quotes() const {
    std::lock_guard lock(mutex_);
    return quotes_;
}

test::TestResponse UpstreamFake::answer() {
    std::lock_guard lock(mutex_);
    const double price = kFirstPrice + static_cast<double>(quotes_.size() + 1);
    quotes_.push_back({price, Clock::now(), std::chrono::system_clock::now()});
    return test::TestResponse::json(200, test::composeTickerBody(kBitget, price, kFirstPrice));
}

LoadReport runLoad(const LoadOptions& options, const UpstreamFake& upstream) {
    asio::io_context io{1};
    Shared shared{upstream, {}, {}, false};
    shared.sessionBody = R"({"intervalMs":)" + std::to_string(options.intervalMs) +
                         R"(,"exchanges":["Bitget"],"coins":["BTC"],"client":"vindral-load"})";
    const tcp::endpoint server(asio::ip::make_address("127.0.0.1"), options.serverPort);
    const std::size_t quotesBefore = upstream.quotes().size();

    std::vector<std::shared_ptr<LoadSession>> sessions;
    for (std::size_t i = 0; i < options.sessions; ++i) {
        sessions.push_back(std::make_shared<LoadSession>(io, shared));
        sessions.back()->start(server);
    }
    const Clock::time_point start = Clock::now();
    asio::steady_timer end(io);
    end.expires_after(options.duration);
    end.async_wait([&](error_code) {
        shared.stopping = true;
        for (const auto& session : sessions)
            session->close();
    });
    io.run();
    const Clock::time_point finish = Clock::now();

    LoadReport report = std::move(shared.report);
    const std::vector<UpstreamFake::Quote> quotes = upstream.quotes();
    report.upstreamFetches = quotes.size() - quotesBefore;
    report.singleSessionFetches =
        1 +
        static_cast<std::size_t>((finish - start) / std::chrono::milliseconds(options.intervalMs));
    for (std::size_t q = quotesBefore; q < quotes.size(); ++q) {
        if (quotes[q].servedAt < finish - kSettleTime)
            ++report.prices;
    }
    for (const auto& session : sessions) {
        if (!session->created())
            continue;
        for (std::size_t q = quotesBefore; q < quotes.size(); ++q) {
            const UpstreamFake::Quote& quote = quotes[q];
            if (quote.servedAt <= session->createdAt() || quote.servedAt >= finish - kSettleTime) {
                continue;
            }
            ++report.expectedDeliveries;
            if (session->seen().count(quote.price) == 0)
                ++report.missedDeliveries;
        }
    }
    std::sort(report.delaysMs.begin(), report.delaysMs.end());
    report.p50Ms = percentile(report.delaysMs, 0.50);
    report.p99Ms = percentile(report.delaysMs, 0.99);
    report.maxMs = report.delaysMs.empty() ? 0 : report.delaysMs.back();
    std::sort(report.handledDelaysMs.begin(), report.handledDelaysMs.end());
    report.handledP50Ms = percentile(report.handledDelaysMs, 0.50);
    report.handledP99Ms = percentile(report.handledDelaysMs, 0.99);
    report.handledMaxMs = report.handledDelaysMs.empty() ? 0 : report.handledDelaysMs.back();
    return report;
}

}  // namespace vindral::load
