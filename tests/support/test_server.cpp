#include "tests/support/test_server.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/support/test_socket.h"

namespace vindral::test {

namespace {

constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kReceiveChunk = 16 * 1024;

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// Parses the head (request line and headers, without the blank line) into `request`.
bool parseHead(std::string_view head, TestRequest& request) {
    const std::size_t lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const std::size_t firstSpace = line.find(' ');
    const std::size_t secondSpace = line.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos) {
        return false;
    }
    request.method = std::string(line.substr(0, firstSpace));
    request.target = std::string(line.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    const std::size_t question = request.target.find('?');
    request.path = request.target.substr(0, question);
    request.query = question == std::string::npos ? "" : request.target.substr(question + 1);

    std::string_view rest = lineEnd == std::string_view::npos ? "" : head.substr(lineEnd + 2);
    while (!rest.empty()) {
        const std::size_t end = rest.find("\r\n");
        const std::string_view header = rest.substr(0, end);
        rest = end == std::string_view::npos ? "" : rest.substr(end + 2);
        const std::size_t colon = header.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        request.headers.emplace_back(std::string(trim(header.substr(0, colon))),
                                     std::string(trim(header.substr(colon + 1))));
    }
    return true;
}

bool hasHeader(const std::vector<std::pair<std::string, std::string>>& headers,
               std::string_view name) {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return equalsIgnoreCase(h.first, name); });
}

std::string serialize(const TestResponse& response) {
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                      reasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) {
        out += name + ": " + value + "\r\n";
    }
    if (!hasHeader(response.headers, "Content-Length") &&
        !hasHeader(response.headers, "Transfer-Encoding")) {
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    }
    if (!hasHeader(response.headers, "Connection")) {
        out += "Connection: close\r\n";
    }
    out += "\r\n";
    out += response.body;
    return out;
}

}  // namespace

std::optional<std::string> TestRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

TestResponse TestResponse::json(int status, std::string body) {
    return {status, {{"Content-Type", "application/json"}}, std::move(body), ResponseMode::Reply};
}

TestResponse TestResponse::text(int status, std::string body) {
    return {status, {{"Content-Type", "text/plain"}}, std::move(body), ResponseMode::Reply};
}

TestResponse TestResponse::hold() {
    return {0, {}, {}, ResponseMode::Hold};
}

TestResponse TestResponse::close() {
    return {0, {}, {}, ResponseMode::Close};
}

TestResponse TestResponse::reset() {
    return {0, {}, {}, ResponseMode::Reset};
}

TestResponse TestResponse::raw(std::string bytes) {
    return {0, {}, std::move(bytes), ResponseMode::Raw};
}

struct TestServer::State {
    struct Connection {
        std::thread thread;
        sock::Handle socket = sock::kNone;
        bool done = false;
    };

    sock::Handle listener = sock::kNone;
    std::uint16_t port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    // Bumped on every recorded request and every notify(), so that waiters miss no change.
    std::uint64_t generation = 0;
    TestHandler handler;
    std::vector<TestRequest> received;
    std::list<Connection> connections;
    std::thread acceptThread;

    void acceptLoop();
    void serve(Connection& connection);
    bool readRequest(sock::Handle socket, TestRequest& request);
    void finish(Connection& connection, bool reset);
};

void TestServer::State::acceptLoop() {
    for (;;) {
        const sock::Handle socket = sock::acceptClient(listener);
        std::list<Connection> finished;
        {
            std::lock_guard lock(mutex);
            if (stopping) {
                if (socket != sock::kNone) {
                    sock::closeSocket(socket);
                }
                return;
            }
            for (auto it = connections.begin(); it != connections.end();) {
                auto next = std::next(it);
                if (it->done) {
                    finished.splice(finished.end(), connections, it);
                }
                it = next;
            }
            if (socket != sock::kNone) {
                Connection& connection = connections.emplace_back();
                connection.socket = socket;
                connection.thread = std::thread([this, &connection] { serve(connection); });
            }
        }
        for (Connection& connection : finished) {
            connection.thread.join();
        }
    }
}

bool TestServer::State::readRequest(sock::Handle socket, TestRequest& request) {
    std::string data;
    char chunk[kReceiveChunk];
    std::size_t headEnd = std::string::npos;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxHeaderBytes) {
            return false;
        }
        const std::ptrdiff_t n = sock::receiveSome(socket, chunk, sizeof(chunk));
        if (n <= 0) {
            return false;
        }
        data.append(chunk, static_cast<std::size_t>(n));
    }
    if (!parseHead(std::string_view(data).substr(0, headEnd), request)) {
        return false;
    }
    std::size_t length = 0;
    if (const auto value = request.header("Content-Length")) {
        const auto [end, ec] =
            std::from_chars(value->data(), value->data() + value->size(), length);
        if (ec != std::errc() || end != value->data() + value->size()) {
            return false;
        }
    }
    if (const auto expect = request.header("Expect");
        expect && equalsIgnoreCase(*expect, "100-continue")) {
        sock::sendAll(socket, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    request.body = data.substr(headEnd + 4);
    while (request.body.size() < length) {
        const std::ptrdiff_t n = sock::receiveSome(socket, chunk, sizeof(chunk));
        if (n <= 0) {
            return false;
        }
        request.body.append(chunk, static_cast<std::size_t>(n));
    }
    request.body.resize(length);
    return true;
}

void TestServer::State::serve(Connection& connection) {
    TestRequest request;
    bool reset = false;
    if (readRequest(connection.socket, request)) {
        request.at = std::chrono::steady_clock::now();
        TestHandler current;
        {
            std::lock_guard lock(mutex);
            received.push_back(request);
            ++generation;
            current = handler;
        }
        changed.notify_all();

        TestResponse response = current ? current(request) : TestResponse::text(404, "no handler");
        switch (response.mode) {
            case ResponseMode::Reply:
                sock::sendAll(connection.socket, serialize(response));
                break;
            case ResponseMode::Raw:
                sock::sendAll(connection.socket, response.body);
                break;
            case ResponseMode::Hold: {
                std::unique_lock lock(mutex);
                changed.wait(lock, [this] { return stopping; });
                break;
            }
            case ResponseMode::Close:
                break;
            case ResponseMode::Reset:
                reset = true;
                break;
        }
    }
    finish(connection, reset);
}

void TestServer::State::finish(Connection& connection, bool reset) {
    sock::Handle socket = sock::kNone;
    {
        // The destructor only shuts down sockets still listed here, so none is touched after
        // it was closed and its number possibly reused.
        std::lock_guard lock(mutex);
        socket = connection.socket;
        connection.socket = sock::kNone;
        connection.done = true;
    }
    if (reset) {
        sock::resetSocket(socket);
    } else {
        sock::closeSocket(socket);
    }
}

TestServer::TestServer(TestHandler handler) : state_(std::make_unique<State>()) {
    state_->handler = std::move(handler);
    state_->listener = sock::listenLoopback(state_->port);
    if (state_->listener == sock::kNone) {
        throw std::runtime_error("test server: cannot listen on 127.0.0.1");
    }
    state_->acceptThread = std::thread([state = state_.get()] { state->acceptLoop(); });
}

TestServer::~TestServer() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        ++state_->generation;
    }
    state_->changed.notify_all();

    // A connection of our own wakes the blocked accept; it then sees the stop flag.
    const sock::Handle wake = sock::connectLoopback(state_->port);
    if (wake == sock::kNone) {
        sock::shutdownBoth(state_->listener);
    }
    state_->acceptThread.join();
    if (wake != sock::kNone) {
        sock::closeSocket(wake);
    }
    sock::closeSocket(state_->listener);

    std::list<State::Connection> connections;
    {
        std::lock_guard lock(state_->mutex);
        for (const State::Connection& connection : state_->connections) {
            if (connection.socket != sock::kNone) {
                sock::shutdownBoth(connection.socket);
            }
        }
        connections.swap(state_->connections);
    }
    for (State::Connection& connection : connections) {
        connection.thread.join();
    }
}

std::uint16_t TestServer::port() const {
    return state_->port;
}

std::string TestServer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(state_->port);
}

std::wstring TestServer::baseUrlW() const {
    const std::string url = baseUrl();
    return std::wstring(url.begin(), url.end());
}

void TestServer::setHandler(TestHandler handler) {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

std::vector<TestRequest> TestServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->received;
}

std::size_t TestServer::requestCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->received.size();
}

bool TestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return state_->received.size() >= count; });
}

bool TestServer::waitFor(std::chrono::milliseconds timeout,
                         const std::function<bool()>& predicate) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::uint64_t seen = 0;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->stopping) {
                return false;
            }
            seen = state_->generation;
        }
        if (predicate()) {
            return true;
        }
        std::unique_lock lock(state_->mutex);
        const bool woken = state_->changed.wait_until(
            lock, deadline, [&] { return state_->stopping || state_->generation != seen; });
        if (!woken) {
            lock.unlock();
            return predicate();
        }
    }
}

void TestServer::notify() const {
    {
        std::lock_guard lock(state_->mutex);
        ++state_->generation;
    }
    state_->changed.notify_all();
}

bool TestServer::stopping() const {
    std::lock_guard lock(state_->mutex);
    return state_->stopping;
}

std::uint16_t closedLoopbackPort() {
    std::uint16_t port = 0;
    const sock::Handle socket = sock::listenLoopback(port);
    if (socket != sock::kNone) {
        sock::closeSocket(socket);
    }
    return port;
}

}  // namespace vindral::test
