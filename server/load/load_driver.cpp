#include "server/load/load_driver.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>
#include <unordered_map>

#include <netinet/in.h>

#include <sys/socket.h>

#include "core/board.h"
#include "core/format.h"
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
constexpr std::uint32_t kBtc = 0;
constexpr double kFirstPrice = 1000;
// Pushed prices lie far from the REST fake's, so that neither is taken for the other.
constexpr double kFirstLivePrice = 50000;
constexpr std::size_t kReceiveChunk = 16 * 1024;
// A price served this shortly before the end may still be on its way; it is not expected.
constexpr std::chrono::milliseconds kSettleTime{300};

// A price as the upstream sent it: answered to a fetch, or pushed on a stream.
struct Served {
    double price = 0;
    std::uint32_t exchange = kBitget;
    Clock::time_point at{};
    std::chrono::system_clock::time_point atWall{};
};

struct Shared {
    // Everything the upstream has sent so far.
    std::function<std::vector<Served>()> served;
    // The same by price, read again when a price is not known yet.
    std::unordered_map<double, Served> known;
    LoadReport report;
    std::size_t settled = 0;  // sessions created, or failed before that
    bool stopping = false;
    Clock::time_point stoppedAt{};

    const Served* find(double price) {
        auto it = known.find(price);
        if (it == known.end()) {
            for (const Served& s : served())
                known.emplace(s.price, s);
            it = known.find(price);
        }
        return it == known.end() ? nullptr : &it->second;
    }
};

// One client: creates its session, then long-polls it again as soon as an answer arrives. Answers
// are received with recvmsg and SO_TIMESTAMPNS, so each carries the time the kernel put it into
// the socket, and parsed with Beast's parser.
class LoadSession : public std::enable_shared_from_this<LoadSession> {
  public:
    LoadSession(asio::io_context& io, Shared& shared, std::string body, std::uint32_t exchange)
        : socket_(io), shared_(shared), body_(std::move(body)), exchange_(exchange) {}

    void start(const tcp::endpoint& server, const asio::ip::address& source) {
        error_code ec;
        socket_.open(tcp::v4(), ec);
        // The port is chosen at connect time, per destination, instead of at bind time.
        const int on = 1;
        if (!ec)
            setsockopt(socket_.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on,
                       sizeof on);
        if (!ec)
            socket_.bind(tcp::endpoint(source, 0), ec);
        if (ec)
            return fail();
        socket_.async_connect(server, [self = shared_from_this()](error_code ec) {
            if (ec)
                return self->fail();
            self->socket_.set_option(tcp::no_delay(true), ec);
            const int on = 1;
            if (setsockopt(self->socket_.native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &on,
                           sizeof on) != 0) {
                return self->fail();
            }
            self->send("POST", "/api/sessions", self->body_);
        });
    }

    void close() {
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

    bool created() const { return !id_.empty(); }
    std::uint32_t exchange() const { return exchange_; }
    Clock::time_point createdAt() const { return createdAt_; }
    const std::set<double>& seen() const { return seen_; }

  private:
    // The request is composed into a buffer the client reuses, and written as one piece: the
    // driver plays every client on one thread, so its cost per board is kept small.
    void send(std::string_view method, std::string_view target, std::string_view body) {
        request_.clear();
        request_ += method;
        request_ += ' ';
        request_ += target;
        request_ += " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        if (!body.empty()) {
            request_ += "Content-Type: application/json; charset=utf-8\r\nContent-Length: ";
            request_ += std::to_string(body.size());
            request_ += "\r\n";
        }
        request_ += "\r\n";
        request_ += body;
        asio::async_write(socket_, asio::buffer(request_),
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
            ++shared_.settled;
        } else if (board.seq != seq_) {
            ++shared_.report.boards;
        }
        seq_ = board.seq;
        for (const ServerCell& cell : board.cells) {
            if (!cell.hasData || !seen_.insert(cell.price).second || creating)
                continue;
            const Served* quote = shared_.find(cell.price);
            if (quote != nullptr && quote->at > createdAt_) {
                shared_.report.delaysMs.push_back(
                    std::chrono::duration<double, std::milli>(arrived_ - quote->atWall).count());
                shared_.report.handledDelaysMs.push_back(
                    std::chrono::duration<double, std::milli>(now - quote->at).count());
            }
        }
        target_.assign("/api/sessions/").append(id_).append("/next?after=");
        target_ += std::to_string(seq_);
        target_ += "&timeoutMs=20000";
        send("GET", target_, {});
    }

    void fail() {
        if (!shared_.stopping)
            ++shared_.report.failures;
        if (id_.empty() && !failed_)
            ++shared_.settled;
        failed_ = true;
        close();
    }

    tcp::socket socket_;
    beast::flat_buffer buffer_;
    std::string request_;
    std::string target_;
    std::optional<http::response_parser<http::string_body>> parser_;
    std::chrono::system_clock::time_point arrived_{};
    Shared& shared_;
    const std::string body_;
    const std::uint32_t exchange_;
    bool failed_ = false;
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

namespace {

std::string sessionBody(std::int32_t intervalMs, std::uint32_t exchange) {
    return R"({"intervalMs":)" + std::to_string(intervalMs) + R"(,"exchanges":[")" +
           toUtf8(exchangeName(exchange)) + R"("],"coins":["BTC"],"client":"vindral-load"})";
}

asio::ip::address sourceAddress(std::size_t client, std::size_t addresses) {
    return asio::ip::make_address_v4(
        0x7F000001u + static_cast<std::uint32_t>(client % std::max<std::size_t>(addresses, 1)));
}

// Expected and missed deliveries, and the delay figures; `finish` is when the clients closed.
void summarize(LoadReport& report, const std::vector<std::shared_ptr<LoadSession>>& sessions,
               const std::vector<Served>& served, Clock::time_point finish) {
    for (const Served& s : served) {
        if (s.at < finish - kSettleTime)
            ++report.prices;
    }
    for (const auto& session : sessions) {
        if (!session->created())
            continue;
        for (const Served& s : served) {
            if (s.exchange != session->exchange() || s.at <= session->createdAt() ||
                s.at >= finish - kSettleTime) {
                continue;
            }
            ++report.expectedDeliveries;
            if (session->seen().count(s.price) == 0)
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
}

void closeAll(Shared& shared, const std::vector<std::shared_ptr<LoadSession>>& sessions) {
    shared.stopping = true;
    shared.stoppedAt = Clock::now();
    for (const auto& session : sessions)
        session->close();
}

}  // namespace

LoadReport runLoad(const LoadOptions& options, const UpstreamFake& upstream) {
    asio::io_context io{1};
    const std::size_t quotesBefore = upstream.quotes().size();
    const auto servedSince = [&upstream, quotesBefore] {
        const std::vector<UpstreamFake::Quote> quotes = upstream.quotes();
        std::vector<Served> served;
        for (std::size_t q = quotesBefore; q < quotes.size(); ++q)
            served.push_back(
                {quotes[q].price, kBitget, quotes[q].servedAt, quotes[q].servedAtWall});
        return served;
    };
    Shared shared;
    shared.served = servedSince;
    const tcp::endpoint server(asio::ip::make_address("127.0.0.1"), options.serverPort);

    std::vector<std::shared_ptr<LoadSession>> sessions;
    for (std::size_t i = 0; i < options.sessions; ++i) {
        sessions.push_back(std::make_shared<LoadSession>(
            io, shared, sessionBody(options.intervalMs, kBitget), kBitget));
        sessions.back()->start(server, sourceAddress(i, options.sourceAddresses));
    }
    const Clock::time_point start = Clock::now();
    if (options.measuring)
        options.measuring();
    asio::steady_timer end(io);
    end.expires_after(options.duration);
    end.async_wait([&](error_code) { closeAll(shared, sessions); });
    io.run();
    const Clock::time_point finish = shared.stoppedAt;

    LoadReport report = std::move(shared.report);
    const std::vector<Served> served = servedSince();
    report.upstreamFetches = served.size();
    report.singleSessionFetches =
        1 + static_cast<std::size_t>((Clock::now() - start) /
                                     std::chrono::milliseconds(options.intervalMs));
    summarize(report, sessions, served, finish);
    return report;
}

LoadReport runLiveLoad(const LoadOptions& options, const LiveLoadOptions& live,
                       test::FakeWsExchange& exchange, const test::FakeExchange& rest) {
    asio::io_context io{1};
    // Pushes from this one on are measured; set at the first push after the warm-up.
    std::size_t measuredFrom = SIZE_MAX;
    const auto servedSince = [&exchange, &measuredFrom] {
        const std::vector<test::FakeWsExchange::Written> written = exchange.written();
        std::vector<Served> served;
        for (std::size_t w = measuredFrom; w < written.size(); ++w) {
            served.push_back(
                {written[w].price, written[w].exchange, written[w].at, written[w].atWall});
        }
        return served;
    };
    const auto restFetches = [&rest] {
        std::size_t fetches = 0;
        for (std::uint32_t e = 0; e < kExchangeCount; ++e)
            fetches += rest.requestCount(e, kBtc);
        return fetches;
    };
    const std::set<std::uint32_t> streams(live.exchanges.begin(), live.exchanges.end());
    std::array<std::size_t, kExchangeCount> acceptedBefore{};
    for (std::uint32_t e = 0; e < kExchangeCount; ++e)
        acceptedBefore[e] = exchange.acceptedConnections(e);

    Shared shared;
    shared.served = servedSince;
    const tcp::endpoint server(asio::ip::make_address("127.0.0.1"), options.serverPort);
    std::vector<std::shared_ptr<LoadSession>> sessions;
    for (std::size_t i = 0; i < options.sessions; ++i) {
        const std::uint32_t e = live.exchanges[i % live.exchanges.size()];
        sessions.push_back(
            std::make_shared<LoadSession>(io, shared, sessionBody(options.intervalMs, e), e));
        sessions.back()->start(server, sourceAddress(i, options.sourceAddresses));
    }

    // Pushes start once every session exists and every stream is subscribed; the prices of
    // one round go out together, so that every session gets its board at the same moment. The
    // first round only makes the cells live: it follows the sessions' first boards closer than
    // the delivery spacing, so it is not measured.
    const Clock::time_point setupDeadline = Clock::now() + live.setupTimeout;
    asio::steady_timer pusher(io);
    asio::steady_timer end(io);
    double nextPrice = kFirstLivePrice;
    bool warmedUp = false;
    std::size_t restBefore = 0;
    const auto pushRound = [&] {
        for (const std::uint32_t e : streams) {
            exchange.push(e, kBtc, nextPrice, kFirstLivePrice);
            nextPrice += 1;
        }
    };
    std::function<void(error_code)> round = [&](error_code ec) {
        if (ec || shared.stopping)
            return;
        if (!warmedUp) {
            const bool ready = shared.settled == options.sessions &&
                               std::all_of(streams.begin(), streams.end(), [&](std::uint32_t e) {
                                   return exchange.subscribed(e, kBtc);
                               });
            if (ready) {
                pushRound();
                warmedUp = true;
                pusher.expires_after(live.pushEvery);
            } else if (Clock::now() >= setupDeadline) {
                shared.report.setupTimedOut = true;
                return closeAll(shared, sessions);
            } else {
                pusher.expires_after(std::chrono::milliseconds(20));
            }
            return pusher.async_wait(round);
        }
        if (shared.report.pushRounds == 0) {
            if (options.measuring)
                options.measuring();
            measuredFrom = exchange.written().size();
            restBefore = restFetches();
            end.expires_at(Clock::now() + options.duration);
            end.async_wait([&](error_code) { closeAll(shared, sessions); });
        }
        pushRound();
        ++shared.report.pushRounds;
        pusher.expires_at(pusher.expiry() + live.pushEvery);
        pusher.async_wait(round);
    };
    asio::post(io, [&] { round({}); });
    io.run();
    const Clock::time_point finish = shared.stoppedAt;

    LoadReport report = std::move(shared.report);
    const std::vector<Served> served = servedSince();
    report.upstreamFetches = report.pushRounds == 0 ? 0 : restFetches() - restBefore;
    report.pushes = report.pushRounds * streams.size();
    for (std::uint32_t e = 0; e < kExchangeCount; ++e)
        report.streamConnections[e] = exchange.acceptedConnections(e) - acceptedBefore[e];
    summarize(report, sessions, served, finish);
    return report;
}

}  // namespace vindral::load
