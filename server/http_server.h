// The HTTP side of the server, on Boost.Beast over Boost.Asio: the event loop's threads hold every
// connection, so a thousand long polls waiting at once cost a few kilobytes each and no thread.
// Routes:
//   POST   /api/sessions                  create a session            201 + board
//   GET    /api/sessions/{id}/next?after=SEQ&timeoutMs=N   long poll  200 + board
//   PUT    /api/sessions/{id}             change its settings         200 + board
//   POST   /api/sessions/{id}/refresh     fetch its cells now         202
//   DELETE /api/sessions/{id}             end it                      204
//   GET    /api/status                    counts for operators        200
// Requests are bounded: headers to 8 KiB, bodies to 64 KiB (413 beyond), a request must arrive
// within 15 s of the connection or of the previous answer, an answer must be taken within 15 s.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
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
// Each session needs two (long poll and control); beyond this new connections are closed at once.
inline constexpr std::size_t kMaxConnections = 4096;

struct NextQuery {
    std::optional<std::uint64_t> after;    // empty: answer at once
    std::int64_t holdMs = kDefaultHoldMs;  // capped at kMaxHoldMs
};

// Reads "after=SEQ&timeoutMs=N" (either may be missing, other names are ignored). Empty with a
// Korean reason when a value is not a whole number.
std::optional<NextQuery> parseNextQuery(std::string_view query, std::string& error);

class HttpServer {
  public:
    using Log = std::function<void(std::string_view line)>;

    HttpServer(boost::asio::io_context& io, SessionHub& hub, Log log);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds, listens and starts accepting. False with a reason when the address cannot be used.
    bool listen(const std::string& address, std::uint16_t port, std::string& error);
    std::uint16_t port() const { return port_; }
    // Stops accepting; connections end when the event loop stops.
    void close();

  private:
    void accept();

    boost::asio::io_context& io_;
    SessionHub& hub_;
    Log log_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    std::shared_ptr<std::atomic<std::size_t>> connections_;
    std::uint16_t port_ = 0;
};

}  // namespace vindral
