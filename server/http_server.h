// The HTTP side of the server, on Boost.Beast over Boost.Asio: the event loop's thread holds every
// connection, so a thousand long polls waiting at once cost a few kilobytes each and no thread.
// Routes:
//   POST   /api/sessions                  create a session            201 + board
//   GET    /api/sessions/{id}/next?after=SEQ&timeoutMs=N   long poll  200 + board
//   PUT    /api/sessions/{id}             change its settings         200 + board
//   POST   /api/sessions/{id}/refresh     fetch its cells now         202
//   DELETE /api/sessions/{id}             end it                      204
//   GET    /api/status                    counts for operators        200
// Requests are bounded: headers to 8 KiB, bodies to 64 KiB (413 beyond), any one line of the
// chunked framing to what is left of 16 KiB; a request must arrive within 15 s of the connection
// or of the previous answer, an answer must be taken within 15 s. The time limits are checked by a
// sweep over the connections (once a second at 15 s) rather than by a timer per read and write,
// which would cost a timer start and cancel for every answer.
#pragma once

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/session_hub.h"

namespace vindral {

inline constexpr std::size_t kMaxBodyBytes = 64 * 1024;
inline constexpr std::size_t kMaxHeaderBytes = 8 * 1024;
// Each session needs two (long poll and control).
inline constexpr std::size_t kDefaultMaxConnections = 4096;
// Enough for every session one address may hold, with room for retries.
inline constexpr std::size_t kDefaultMaxConnectionsPerPeer = 256;
inline constexpr std::chrono::milliseconds kDefaultRequestTimeout{15000};

struct NextQuery {
    std::optional<std::uint64_t> after;    // empty: answer at once
    std::int64_t holdMs = kDefaultHoldMs;  // capped at kMaxHoldMs
};

// Reads "after=SEQ&timeoutMs=N" (either may be missing, other names are ignored). Empty with a
// Korean reason when a value is not a whole number.
std::optional<NextQuery> parseNextQuery(std::string_view query, std::string& error);

// At the limit a new connection first takes the place of the connection that has waited longest
// for a request; when none waits, it is closed at once. Beyond the limit of its address it is
// answered 503.
struct ConnectionLimits {
    std::size_t maxConnections = kDefaultMaxConnections;
    std::size_t maxConnectionsPerPeer = kDefaultMaxConnectionsPerPeer;
};

class HttpServer {
  public:
    using Log = std::function<void(std::string_view line)>;

    // `requestTimeout` bounds the wait for a request and for the client to take an answer.
    HttpServer(boost::asio::io_context& io, SessionHub& hub, Log log,
               std::chrono::milliseconds requestTimeout = kDefaultRequestTimeout,
               ConnectionLimits limits = {});
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    ~HttpServer();

    // Binds, listens and starts accepting. False with a reason when the address cannot be used.
    bool listen(const std::string& address, std::uint16_t port, std::string& error);
    std::uint16_t port() const { return port_; }
    // Stops accepting; connections end when the event loop stops.
    void close();

    struct Connections;

  private:
    using Executor = boost::asio::io_context::executor_type;
    using Timer = boost::asio::basic_waitable_timer<
        std::chrono::steady_clock, boost::asio::wait_traits<std::chrono::steady_clock>, Executor>;

    void accept();
    // Starts serving a new connection, or refuses it at the limits.
    void admit(boost::asio::basic_stream_socket<boost::asio::ip::tcp, Executor> socket);
    // Makes room for a new connection; false when every connection is in use.
    bool closeLongestWaiting();
    void scheduleTimeoutSweep();

    SessionHub& hub_;
    Log log_;
    std::chrono::milliseconds requestTimeout_;
    ConnectionLimits limits_;
    boost::asio::basic_socket_acceptor<boost::asio::ip::tcp, Executor> acceptor_;
    Timer retryTimer_;
    Timer timeoutTimer_;
    // Shared with the connections, which may outlive the server while the loop winds down.
    std::shared_ptr<Connections> connections_;
    std::uint16_t port_ = 0;
};

}  // namespace vindral
