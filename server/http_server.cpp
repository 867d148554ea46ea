#include "server/http_server.h"

#include <algorithm>
#include <array>
#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <unordered_map>
#include <unordered_set>

#include "server/json_writer.h"

namespace vindral {

namespace {
class Connection;
}  // namespace

// Every open connection, for the time-out sweep and the connection counts.
struct HttpServer::Connections {
    std::unordered_set<Connection*> open;
    std::unordered_map<std::string, std::size_t> byPeer;  // by the client's address
};

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using Socket = asio::basic_stream_socket<tcp, asio::io_context::executor_type>;

constexpr std::chrono::milliseconds kMaxTimeoutSweepPeriod{1000};
constexpr std::chrono::milliseconds kMinTimeoutSweepPeriod{10};
// After an error answer that ends the connection, what the client is still sending is read and
// discarded for a moment, so that it sees the answer instead of a reset.
constexpr std::chrono::seconds kDrainTimeout{2};
constexpr std::size_t kDrainMaxBytes = 1024 * 1024;
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
// What a connection may hold of a request that the parser has not taken yet: the header, or one
// line of the chunked framing (a chunk header with its extensions, a trailer field). The parser
// takes body bytes as they come, so the body is bounded by its own limit.
constexpr std::size_t kMaxUnparsedBytes = 2 * kMaxHeaderBytes;
constexpr std::string_view kSessionsPath = "/api/sessions";
constexpr std::string_view kSessionPrefix = "/api/sessions/";
constexpr std::string_view kContinueResponse = "HTTP/1.1 100 Continue\r\n\r\n";

std::optional<std::uint64_t> parseWholeNumber(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The head of an answer. Every answer has the same few header fields, so it is composed directly
// into a buffer the connection reuses; the body follows in a second buffer of the same write.
void composeHead(std::string& head, unsigned version, int status, std::size_t bodyBytes,
                 std::string_view allow, bool close) {
    head.clear();
    head += version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
    head += std::to_string(status);
    head += ' ';
    const beast::string_view reason = http::obsolete_reason(http::int_to_status(status));
    head.append(reason.data(), reason.size());
    head += "\r\nServer: vindral-server/0.1\r\nCache-Control: no-store\r\n";
    if (!allow.empty()) {
        head += "Allow: ";
        head += allow;
        head += "\r\n";
    }
    if (status != 204) {
        head += "Content-Type: application/json; charset=utf-8\r\nContent-Length: ";
        head += std::to_string(bodyBytes);
        head += "\r\n";
    }
    if (close && version != 10) {
        head += "Connection: close\r\n";
    } else if (!close && version == 10) {
        head += "Connection: keep-alive\r\n";
    }
    head += "\r\n";
}

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(Socket socket, std::string peer, SessionHub& hub,
               std::shared_ptr<HttpServer::Connections> registry, std::chrono::milliseconds timeout)
        : socket_(std::move(socket)),
          hub_(hub),
          registry_(std::move(registry)),
          timeout_(timeout),
          peer_(std::move(peer)) {
        registry_->open.insert(this);
        ++registry_->byPeer[peer_];
        error_code ec;
        socket_.set_option(tcp::no_delay(true), ec);
    }
    ~Connection() {
        registry_->open.erase(this);
        if (const auto it = registry_->byPeer.find(peer_); it != registry_->byPeer.end()) {
            if (--it->second == 0)
                registry_->byPeer.erase(it);
        }
    }

    void start() { readHeader(); }

    // Answers `reply` instead of reading a request, and ends the connection. Until then it is
    // the first to make room on a full server.
    void refuse(HubReply reply) {
        waitingSince_ = Clock::time_point::min();
        respond(std::move(reply), {}, true);
    }

    // Ends the connection when its read or write has run past its deadline.
    void closeIfLate(Clock::time_point now) {
        if (now >= deadline_)
            closeNow();
    }

    // Waiting for a request (a new connection, a kept-alive one, or a request still arriving)
    // since this time; empty while a request is served or an answer written.
    std::optional<Clock::time_point> waitingSince() const { return waitingSince_; }

    void closeNow() {
        waitingSince_.reset();
        error_code ec;
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
    }

  private:
    void readHeader() {
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        parser_->body_limit(kMaxBodyBytes);
        deadline_ = Clock::now() + timeout_;
        waitingSince_ = Clock::now();
        http::async_read_header(
            socket_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onHeader(ec); });
    }

    void onHeader(error_code ec) {
        waitingSince_.reset();
        if (ec)
            return onReadError(ec);
        const auto& header = parser_->get();
        const auto expect = header.find(http::field::expect);
        if (expect != header.end() && beast::iequals(expect->value(), "100-continue")) {
            // The client waits for this before it sends the body.
            asio::async_write(socket_, asio::buffer(kContinueResponse),
                              [self = shared_from_this()](error_code writeEc, std::size_t) {
                                  if (writeEc)
                                      return self->closeNow();
                                  self->readBody();
                              });
            return;
        }
        readBody();
    }

    void readBody() {
        http::async_read(
            socket_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onRequest(ec); });
    }

    void onReadError(error_code ec) {
        if (ec == http::error::body_limit) {
            return respond({413, jsonErrorBody("요청 본문이 64 KiB를 넘습니다")}, {}, true);
        }
        if (ec == http::error::header_limit) {
            return respond({431, jsonErrorBody("요청 헤더가 너무 큽니다")}, {}, true);
        }
        if (ec == http::error::buffer_overflow) {
            return respond({400, jsonErrorBody("요청의 한 줄이 너무 깁니다")}, {}, true);
        }
        if (ec.category() == http::make_error_code(http::error::bad_target).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message) {
            return respond({400, jsonErrorBody("HTTP 요청 형식 오류")}, {}, true);
        }
        closeNow();
    }

    void onRequest(error_code ec) {
        if (ec)
            return onReadError(ec);
        // A held long poll has no deadline of its own here: the hub answers it in time.
        deadline_ = Clock::time_point::max();
        request_ = parser_->release();
        version_ = request_.version();
        keepAlive_ = request_.keep_alive();
        dispatch();
    }

    void dispatch() {
        const std::string_view target(request_.target().data(), request_.target().size());
        const std::size_t mark = target.find('?');
        const std::string_view path = target.substr(0, mark);
        const std::string_view query =
            mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
        const http::verb method = request_.method();

        if (path == kSessionsPath) {
            if (method != http::verb::post)
                return notAllowed("POST");
            return respond(hub_.create(request_.body(), peer_));
        }
        if (path == "/api/status") {
            if (method != http::verb::get)
                return notAllowed("GET");
            return respond(hub_.status(registry_->open.size()));
        }
        if (path.starts_with(kSessionPrefix)) {
            const std::string_view rest = path.substr(kSessionPrefix.size());
            const std::size_t slash = rest.find('/');
            const std::string_view id = rest.substr(0, slash);
            const std::string_view tail =
                slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
            if (!id.empty() && slash == std::string_view::npos) {
                if (method == http::verb::put)
                    return respond(hub_.update(id, request_.body()));
                if (method == http::verb::delete_)
                    return respond(hub_.remove(id));
                return notAllowed("PUT, DELETE");
            }
            if (!id.empty() && tail == "next") {
                if (method != http::verb::get)
                    return notAllowed("GET");
                std::string error;
                const std::optional<NextQuery> next = parseNextQuery(query, error);
                if (!next)
                    return respond({400, jsonErrorBody(error)});
                // The hub answers now or keeps the responder until the board changes.
                hub_.next(id, next->after, next->holdMs,
                          [self = shared_from_this()](HubReply reply) {
                              self->respond(std::move(reply));
                          });
                return;
            }
            if (!id.empty() && tail == "refresh") {
                if (method != http::verb::post)
                    return notAllowed("POST");
                return respond(hub_.refresh(id));
            }
        }
        respond({404, jsonErrorBody("없는 경로입니다: " + std::string(path))});
    }

    void notAllowed(std::string_view allow) {
        respond({405, jsonErrorBody("허용되지 않는 메서드입니다")}, allow);
    }

    void respond(HubReply reply, std::string_view allow = {}, bool broken = false) {
        const bool close = broken || !keepAlive_;
        body_ = reply.status == 204 ? std::string() : std::move(reply.body);
        composeHead(head_, broken ? 11 : version_, reply.status, body_.size(), allow, close);
        deadline_ = Clock::now() + timeout_;
        const std::array<asio::const_buffer, 2> buffers{asio::buffer(head_), asio::buffer(body_)};
        asio::async_write(socket_, buffers,
                          [self = shared_from_this(), close, broken](error_code ec, std::size_t) {
                              if (ec)
                                  return self->closeNow();
                              if (broken)
                                  return self->drain();
                              if (close)
                                  return self->closeNow();
                              self->readHeader();
                          });
    }

    void drain() {
        error_code ec;
        socket_.shutdown(tcp::socket::shutdown_send, ec);
        deadline_ = Clock::now() + kDrainTimeout;
        drainMore();
    }

    void drainMore() {
        socket_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    self->drained_ += n;
                                    if (ec || self->drained_ > kDrainMaxBytes) {
                                        return self->closeNow();
                                    }
                                    self->drainMore();
                                });
    }

    Socket socket_;
    beast::flat_buffer buffer_{kMaxUnparsedBytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
    unsigned version_ = 11;
    bool keepAlive_ = false;
    std::string head_;
    std::string body_;
    Clock::time_point deadline_ = Clock::time_point::max();
    std::optional<Clock::time_point> waitingSince_;
    std::array<char, 4096> scratch_{};
    std::size_t drained_ = 0;
    SessionHub& hub_;
    std::shared_ptr<HttpServer::Connections> registry_;
    const std::chrono::milliseconds timeout_;
    std::string peer_;
};

}  // namespace

std::optional<NextQuery> parseNextQuery(std::string_view query, std::string& error) {
    NextQuery next;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        const std::string_view name = pair.substr(0, eq);
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        if (name != "after" && name != "timeoutMs")
            continue;
        const std::optional<std::uint64_t> number = parseWholeNumber(value);
        if (!number) {
            error = std::string(name) + "는 0 이상의 정수여야 합니다";
            return std::nullopt;
        }
        if (name == "after") {
            next.after = *number;
        } else {
            next.holdMs = static_cast<std::int64_t>(
                std::min<std::uint64_t>(*number, static_cast<std::uint64_t>(kMaxHoldMs)));
        }
    }
    return next;
}

HttpServer::HttpServer(asio::io_context& io, SessionHub& hub, Log log,
                       std::chrono::milliseconds requestTimeout, ConnectionLimits limits)
    : hub_(hub),
      log_(std::move(log)),
      requestTimeout_(requestTimeout),
      limits_(limits),
      acceptor_(io.get_executor()),
      retryTimer_(io.get_executor()),
      timeoutTimer_(io.get_executor()),
      connections_(std::make_shared<Connections>()) {}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const std::string& address, std::uint16_t port, std::string& error) {
    error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
        error = "invalid listen address " + address;
        return false;
    }
    const tcp::endpoint endpoint(ip, port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(endpoint, ec);
    if (!ec)
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
        error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    port_ = acceptor_.local_endpoint().port();
    accept();
    scheduleTimeoutSweep();
    return true;
}

void HttpServer::close() {
    error_code ignored;
    acceptor_.close(ignored);
    retryTimer_.cancel();
    timeoutTimer_.cancel();
}

void HttpServer::accept() {
    acceptor_.async_accept([this](error_code ec, Socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open())
            return;
        if (ec) {
            // Out of descriptors or a similar passing trouble: try again shortly, without spinning.
            log_("accept failed: " + ec.message());
            retryTimer_.expires_after(kAcceptRetryDelay);
            retryTimer_.async_wait([this](error_code timerEc) {
                if (!timerEc)
                    accept();
            });
            return;
        }
        admit(std::move(socket));
        accept();
    });
}

void HttpServer::admit(Socket socket) {
    error_code ec;
    const tcp::endpoint remote = socket.remote_endpoint(ec);
    std::string peer = ec ? std::string("?") : remote.address().to_string();
    const auto sameAddress = connections_->byPeer.find(peer);
    const bool peerFull = sameAddress != connections_->byPeer.end() &&
                          sameAddress->second >= limits_.maxConnectionsPerPeer;
    // An address over its limit never takes another client's place.
    if (connections_->open.size() >= limits_.maxConnections &&
        (peerFull || !closeLongestWaiting())) {
        socket.close(ec);
        return;
    }
    auto connection = std::make_shared<Connection>(std::move(socket), std::move(peer), hub_,
                                                   connections_, requestTimeout_);
    if (peerFull) {
        connection->refuse({503, jsonErrorBody("이 주소의 연결 수 한도(" +
                                               std::to_string(limits_.maxConnectionsPerPeer) +
                                               "개)에 도달했습니다")});
    } else {
        connection->start();
    }
}

bool HttpServer::closeLongestWaiting() {
    Connection* longest = nullptr;
    Clock::time_point since = Clock::time_point::max();
    for (Connection* connection : connections_->open) {
        const std::optional<Clock::time_point> waiting = connection->waitingSince();
        if (waiting && *waiting < since) {
            since = *waiting;
            longest = connection;
        }
    }
    if (longest == nullptr)
        return false;
    longest->closeNow();
    return true;
}

void HttpServer::scheduleTimeoutSweep() {
    timeoutTimer_.expires_after(
        std::clamp(requestTimeout_ / 4, kMinTimeoutSweepPeriod, kMaxTimeoutSweepPeriod));
    timeoutTimer_.async_wait([this](error_code ec) {
        if (ec || !acceptor_.is_open())
            return;
        const Clock::time_point now = Clock::now();
        // Closing only cancels the connection's operations; it leaves the set as it is.
        for (Connection* connection : connections_->open)
            connection->closeIfLate(now);
        scheduleTimeoutSweep();
    });
}

}  // namespace vindral
