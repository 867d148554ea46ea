#include "server/http_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <chrono>

#include "server/json_writer.h"

namespace vindral {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr std::chrono::seconds kReadTimeout{15};
constexpr std::chrono::seconds kWriteTimeout{15};
// After an error answer that ends the connection, what the client is still sending is read and
// discarded for a moment, so that it sees the answer instead of a reset.
constexpr std::chrono::seconds kDrainTimeout{2};
constexpr std::size_t kDrainMaxBytes = 1024 * 1024;
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
constexpr std::string_view kSessionsPath = "/api/sessions";
constexpr std::string_view kSessionPrefix = "/api/sessions/";

std::optional<std::uint64_t> parseWholeNumber(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(tcp::socket socket, SessionHub& hub, std::shared_ptr<std::atomic<std::size_t>> count)
        : stream_(std::move(socket)), hub_(hub), count_(std::move(count)) {
        ++*count_;
        error_code ec;
        const tcp::endpoint remote = stream_.socket().remote_endpoint(ec);
        peer_ = ec ? "?" : remote.address().to_string() + ":" + std::to_string(remote.port());
        stream_.socket().set_option(tcp::no_delay(true), ec);
    }
    ~Connection() { --*count_; }

    void start() { readHeader(); }

  private:
    void readHeader() {
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        parser_->body_limit(kMaxBodyBytes);
        stream_.expires_after(kReadTimeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onHeader(ec); });
    }

    void onHeader(error_code ec) {
        if (ec)
            return onReadError(ec);
        const auto& header = parser_->get();
        const auto expect = header.find(http::field::expect);
        if (expect != header.end() && beast::iequals(expect->value(), "100-continue")) {
            // The client waits for this before it sends the body.
            continueResponse_ = {};
            continueResponse_.version(header.version());
            continueResponse_.result(http::status::continue_);
            http::async_write(stream_, continueResponse_,
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
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->onRequest(ec); });
    }

    void onReadError(error_code ec) {
        if (ec == http::error::body_limit) {
            return respond({413, jsonErrorBody("요청 본문이 64 KiB를 넘습니다")}, {}, true);
        }
        if (ec == http::error::header_limit) {
            return respond({431, jsonErrorBody("요청 헤더가 너무 큽니다")}, {}, true);
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
        stream_.expires_never();
        request_ = parser_->release();
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
            return callHub([body = std::move(request_.body()), peer = peer_](SessionHub& hub) {
                return hub.create(body, peer);
            });
        }
        if (path == "/api/status") {
            if (method != http::verb::get)
                return notAllowed("GET");
            return callHub([connections = count_->load()](SessionHub& hub) {
                return hub.status(connections);
            });
        }
        if (path.starts_with(kSessionPrefix)) {
            const std::string_view rest = path.substr(kSessionPrefix.size());
            const std::size_t slash = rest.find('/');
            const std::string id(rest.substr(0, slash));
            const std::string_view tail =
                slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
            if (!id.empty() && slash == std::string_view::npos) {
                if (method == http::verb::put) {
                    return callHub([id, body = std::move(request_.body())](SessionHub& hub) {
                        return hub.update(id, body);
                    });
                }
                if (method == http::verb::delete_) {
                    return callHub([id](SessionHub& hub) { return hub.remove(id); });
                }
                return notAllowed("PUT, DELETE");
            }
            if (!id.empty() && tail == "next") {
                if (method != http::verb::get)
                    return notAllowed("GET");
                std::string error;
                const std::optional<NextQuery> next = parseNextQuery(query, error);
                if (!next)
                    return respond({400, jsonErrorBody(error)});
                asio::post(hub_.executor(), [self = shared_from_this(), id, next = *next] {
                    self->hub_.next(id, next.after, next.holdMs, [self](HubReply reply) {
                        self->respondFromHub(std::move(reply));
                    });
                });
                return;
            }
            if (!id.empty() && tail == "refresh") {
                if (method != http::verb::post)
                    return notAllowed("POST");
                return callHub([id](SessionHub& hub) { return hub.refresh(id); });
            }
        }
        respond({404, jsonErrorBody("없는 경로입니다: " + std::string(path))});
    }

    // The hub runs on its own strand; its answer comes back to this connection's strand.
    void callHub(std::function<HubReply(SessionHub&)> call) {
        asio::post(hub_.executor(), [self = shared_from_this(), call = std::move(call)] {
            self->respondFromHub(call(self->hub_));
        });
    }

    void respondFromHub(HubReply reply) {
        asio::post(stream_.get_executor(),
                   [self = shared_from_this(), reply = std::move(reply)]() mutable {
                       self->respond(std::move(reply));
                   });
    }

    void notAllowed(std::string_view allow) {
        respond({405, jsonErrorBody("허용되지 않는 메서드입니다")}, allow);
    }

    void respond(HubReply reply, std::string_view allow = {}, bool broken = false) {
        const bool close = broken || !request_.keep_alive();
        response_ = {};
        response_.version(broken ? 11 : request_.version());
        response_.result(static_cast<unsigned>(reply.status));
        response_.set(http::field::server, "vindral-server/0.1");
        response_.set(http::field::cache_control, "no-store");
        if (!allow.empty())
            response_.set(http::field::allow, std::string(allow));
        if (reply.status != 204) {
            response_.set(http::field::content_type, "application/json; charset=utf-8");
            response_.body() = std::move(reply.body);
        }
        response_.keep_alive(!close);
        response_.prepare_payload();
        stream_.expires_after(kWriteTimeout);
        http::async_write(stream_, response_,
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
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.expires_after(kDrainTimeout);
        drainMore();
    }

    void drainMore() {
        stream_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    self->drained_ += n;
                                    if (ec || self->drained_ > kDrainMaxBytes) {
                                        return self->closeNow();
                                    }
                                    self->drainMore();
                                });
    }

    void closeNow() {
        error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.close();
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
    http::response<http::string_body> response_;
    http::response<http::empty_body> continueResponse_;
    std::array<char, 4096> scratch_{};
    std::size_t drained_ = 0;
    SessionHub& hub_;
    std::shared_ptr<std::atomic<std::size_t>> count_;
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

HttpServer::HttpServer(asio::io_context& io, SessionHub& hub, Log log)
    : io_(io),
      hub_(hub),
      log_(std::move(log)),
      acceptor_(io),
      retryTimer_(io),
      connections_(std::make_shared<std::atomic<std::size_t>>(0)) {}

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
    return true;
}

void HttpServer::close() {
    error_code ignored;
    acceptor_.close(ignored);
    retryTimer_.cancel();
}

void HttpServer::accept() {
    // Each connection gets a strand of its own: connections run on every thread of the loop,
    // the handlers of one connection never at once.
    acceptor_.async_accept(asio::make_strand(io_), [this](error_code ec, tcp::socket socket) {
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
        if (*connections_ >= kMaxConnections) {
            error_code ignored;
            socket.close(ignored);
        } else {
            std::make_shared<Connection>(std::move(socket), hub_, connections_)->start();
        }
        accept();
    });
}

}  // namespace vindral
