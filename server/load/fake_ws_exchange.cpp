#include "server/load/fake_ws_exchange.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdio>
#include <deque>
#include <optional>
#include <type_traits>

#include "core/format.h"
#include "json/json.h"
#include "server/json_writer.h"

namespace vindral::test {
namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
namespace ssl = boost::asio::ssl;
using Tcp = boost::asio::ip::tcp;
using PlainWs = websocket::stream<beast::tcp_stream>;
using SecureWs = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

constexpr std::uint32_t kBinance = 0, kBitget = 1, kBybit = 2, kOkx = 3, kCoinbase = 4;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string quoted(std::string_view text) {
    std::string out;
    appendJsonString(out, text);
    return out;
}

std::uint32_t productOf(std::uint32_t exchange, std::string name) {
    for (std::uint32_t p = 0; p < kStreamProducts; ++p) {
        const std::string product = wsProduct(exchange, p);
        std::string lowerProduct = product;
        for (char& c : lowerProduct)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!product.empty() && (name == product || name == lowerProduct))
            return p;
    }
    return kAnyCoin;
}

std::string text(const JsonValue* value) {
    return value ? value->asText() : std::string();
}

}  // namespace

std::uint32_t exchangeOfWsPath(std::string_view path) {
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        if (parseWsUrl(wsDefaultUrl(e)).target == path)
            return e;
    }
    return kExchangeCount;
}

std::string composeWsTicker(std::uint32_t exchange, std::uint32_t product, double price,
                            double open24h) {
    const std::string name = quoted(wsProduct(exchange, product));
    const std::string now = std::to_string(wallClockMs());
    const std::string last = quoted(number(price));
    const std::string open = quoted(number(open24h));
    switch (exchange) {
        case kBinance:
            return R"({"e":"24hrTicker","E":)" + now + R"(,"s":)" + name + R"(,"c":)" + last +
                   R"(,"o":)" + open + "}";
        case kBybit:
            return R"({"topic":"tickers.)" + wsProduct(exchange, product) + R"(","ts":)" + now +
                   R"(,"type":"snapshot","data":{"symbol":)" + name + R"(,"lastPrice":)" + last +
                   R"(,"prevPrice24h":)" + open + "}}";
        case kOkx:
            return R"({"arg":{"channel":"tickers","instId":)" + name +
                   R"(},"data":[{"instType":"SPOT","instId":)" + name + R"(,"last":)" + last +
                   R"(,"open24h":)" + open + R"(,"ts":")" + now + R"("}]})";
        case kBitget:
            return R"({"action":"snapshot","arg":{"instType":"SPOT","channel":"ticker","instId":)" +
                   name + R"(},"data":[{"instId":)" + name + R"(,"lastPr":)" + last +
                   R"(,"open24h":)" + open + R"(,"ts":")" + now + R"("}],"ts":)" + now + "}";
        case kCoinbase:
            return R"({"type":"ticker","product_id":)" + name + R"(,"price":)" + last +
                   R"(,"open_24h":)" + open + R"(,"time":"2026-08-30T04:30:00.014223Z"})";
        default:
            return {};
    }
}

struct FakeWsExchange::Impl {
    explicit Impl(boost::asio::io_context& io) : acceptor(io), tls(ssl::context::tls_server) {}
    Tcp::acceptor acceptor;
    ssl::context tls;
};

// One client connection: the exchange's side of its protocol.
class FakeWsExchange::Connection : public std::enable_shared_from_this<Connection> {
  public:
    explicit Connection(FakeWsExchange& fake) : fake_(fake) {}
    virtual ~Connection() = default;
    virtual void start() = 0;
    virtual void close() = 0;

    std::uint32_t exchange = kExchangeCount;
    std::set<std::uint32_t> subscriptions;  // under the fake's mutex

    struct Frame {
        enum class Kind { Text, Binary, Ping } kind = Kind::Text;
        std::string data;
        // A ticker of `push`, whose moment of writing is recorded.
        std::optional<Written> ticker;
    };
    void send(Frame frame) {
        outbox_.push_back(std::move(frame));
        if (!writing_)
            writeNext();
    }

  protected:
    virtual void write(const Frame& frame) = 0;

    void writeNext() {
        if (outbox_.empty() || closed_) {
            writing_ = false;
            return;
        }
        writing_ = true;
        write(outbox_.front());
    }
    void written(const boost::system::error_code& ec) {
        if (ec) {
            closed_ = true;
            return;
        }
        outbox_.pop_front();
        writeNext();
    }

    void reply(std::string text) { send({Frame::Kind::Text, std::move(text), {}}); }

    void received(const std::string& message) {
        std::unique_lock lock(fake_.mutex_);
        Exchange& state = fake_.exchanges_[exchange];
        if ((exchange == kOkx || exchange == kBitget) && message == "ping") {
            ++state.textPings;
            if (state.answerPings)
                reply("pong");
            lock.unlock();
            fake_.changed();
            return;
        }
        const std::optional<JsonValue> root = parseJson(message);
        if (!root) {
            lock.unlock();
            fake_.changed();
            return;
        }
        switch (exchange) {
            case kBinance: {
                const bool subscribe = text(root->find("method")) == "SUBSCRIBE";
                const std::string id = text(root->find("id"));
                const JsonValue* params = root->find("params");
                bool refused = false;
                for (std::size_t i = 0; params && params->at(i); ++i) {
                    std::string stream = params->at(i)->asText();
                    const std::uint32_t p = productOf(exchange, stream.substr(0, stream.find('@')));
                    if (subscribe && (p == kAnyCoin || state.refused.count(p)))
                        refused = true;
                    else if (subscribe)
                        subscriptions.insert(p);
                    else
                        subscriptions.erase(p);
                }
                reply(refused
                          ? R"({"error":{"code":2,"msg":"Invalid request: invalid stream"},"id":)" +
                                id + "}"
                          : R"({"result":null,"id":)" + id + "}");
                break;
            }
            case kBybit: {
                const std::string op = text(root->find("op"));
                if (op == "ping") {
                    ++state.textPings;
                    if (state.answerPings)
                        reply(R"({"success":true,"ret_msg":"pong","conn_id":"c","op":"ping"})");
                    break;
                }
                const JsonValue* args = root->find("args");
                for (std::size_t i = 0; args && args->at(i); ++i) {
                    const std::string topic = args->at(i)->asText();
                    const std::uint32_t p = productOf(exchange, topic.substr(topic.find('.') + 1));
                    if (op == "subscribe" && (p == kAnyCoin || state.refused.count(p))) {
                        reply(R"({"success":false,"ret_msg":"Invalid symbol :[)" + topic +
                              R"(]","conn_id":"c","op":"subscribe"})");
                        continue;
                    }
                    if (op == "subscribe")
                        subscriptions.insert(p);
                    else
                        subscriptions.erase(p);
                    reply(R"({"success":true,"ret_msg":"","conn_id":"c","req_id":)" +
                          quoted(text(root->find("req_id"))) + R"(,"op":)" + quoted(op) + "}");
                }
                break;
            }
            case kOkx:
            case kBitget: {
                const std::string op = text(root->find("op"));
                const JsonValue* args = root->find("args");
                for (std::size_t i = 0; args && args->at(i); ++i) {
                    const std::string id = text(args->at(i)->find("instId"));
                    const std::uint32_t p = productOf(exchange, id);
                    if (op == "subscribe" && (p == kAnyCoin || state.refused.count(p))) {
                        reply(
                            exchange == kOkx
                                ? R"({"event":"error","msg":"Wrong URL or channel:tickers,instId:)" +
                                      id + R"( doesn't exist.","code":"60018","connId":"c"})"
                                : R"({"event":"error","arg":{"instType":"SPOT","channel":"ticker","instId":)" +
                                      quoted(id) + R"(},"code":30001,"msg":"doesn't exist"})");
                        continue;
                    }
                    if (op == "subscribe")
                        subscriptions.insert(p);
                    else
                        subscriptions.erase(p);
                    reply(R"({"event":)" + quoted(op) + R"(,"arg":{"channel":"tickers","instId":)" +
                          quoted(id) + "}}");
                }
                break;
            }
            case kCoinbase: {
                const std::string type = text(root->find("type"));
                const JsonValue* ids = root->find("product_ids");
                for (std::size_t i = 0; ids && ids->at(i); ++i) {
                    const std::string id = ids->at(i)->asText();
                    const std::uint32_t p = productOf(exchange, id);
                    if (type == "subscribe" && (p == kAnyCoin || state.refused.count(p))) {
                        reply(R"({"type":"error","message":"Failed to subscribe","reason":")" + id +
                              R"( is not a valid product"})");
                        continue;
                    }
                    if (type == "subscribe")
                        subscriptions.insert(p);
                    else
                        subscriptions.erase(p);
                }
                reply(R"({"type":"subscriptions","channels":[]})");
                break;
            }
            default:
                break;
        }
        lock.unlock();
        fake_.changed();
    }

    FakeWsExchange& fake_;
    beast::flat_buffer buffer_;
    std::deque<Frame> outbox_;
    bool writing_ = false;
    bool closed_ = false;
};

template <typename Ws>
class FakeWsExchange::StreamConnection final : public Connection {
    static constexpr bool kSecure = std::is_same_v<Ws, SecureWs>;

  public:
    StreamConnection(FakeWsExchange& fake, Tcp::socket socket)
        : Connection(fake), ws_(make(fake, std::move(socket))) {}

    void start() override {
        if constexpr (kSecure) {
            ws_.next_layer().async_handshake(
                ssl::stream_base::server, [self = shared()](const boost::system::error_code& ec) {
                    if (!ec)
                        self->readRequest();
                });
        } else {
            readRequest();
        }
    }

    void close() override {
        closed_ = true;
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(Tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).close();
    }

  private:
    static Ws make(FakeWsExchange& fake, Tcp::socket socket) {
        if constexpr (kSecure) {
            return Ws(beast::tcp_stream(std::move(socket)), fake.impl_->tls);
        } else {
            return Ws(beast::tcp_stream(std::move(socket)));
        }
    }

    std::shared_ptr<StreamConnection> shared() {
        return std::static_pointer_cast<StreamConnection>(shared_from_this());
    }

    void readRequest() {
        http::async_read(ws_.next_layer(), buffer_, request_,
                         [self = shared()](const boost::system::error_code& ec, std::size_t) {
                             if (!ec)
                                 self->route();
                         });
    }

    void route() {
        exchange =
            exchangeOfWsPath(std::string_view(request_.target().data(), request_.target().size()));
        bool refuse = exchange >= kExchangeCount;
        if (!refuse) {
            std::lock_guard lock(fake_.mutex_);
            refuse = fake_.exchanges_[exchange].refuseConnections;
        }
        if (refuse) {
            auto response = std::make_shared<http::response<http::string_body>>(
                http::status::service_unavailable, request_.version());
            response->set(http::field::connection, "close");
            response->prepare_payload();
            http::async_write(ws_.next_layer(), *response,
                              [self = shared(), response](const boost::system::error_code&,
                                                          std::size_t) { self->close(); });
            return;
        }
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind != websocket::frame_type::pong)
                return;
            {
                std::lock_guard lock(fake_.mutex_);
                ++fake_.exchanges_[exchange].pongFrames;
            }
            fake_.changed();
        });
        ws_.async_accept(request_, [self = shared()](const boost::system::error_code& ec) {
            if (ec)
                return;
            {
                std::lock_guard lock(self->fake_.mutex_);
                ++self->fake_.exchanges_[self->exchange].accepted;
                self->fake_.connections_.push_back(self);
            }
            self->fake_.changed();
            self->readNext();
        });
    }

    void readNext() {
        ws_.async_read(
            buffer_, [self = shared()](const boost::system::error_code& ec, std::size_t) {
                if (ec) {
                    self->closed_ = true;
                    {
                        std::lock_guard lock(self->fake_.mutex_);
                        std::erase_if(self->fake_.connections_, [&](const auto& weak) {
                            return weak.expired() || weak.lock() == self;
                        });
                    }
                    self->fake_.changed();
                    return;
                }
                const std::string message = beast::buffers_to_string(self->buffer_.data());
                self->buffer_.consume(self->buffer_.size());
                self->received(message);
                self->readNext();
            });
    }

    void write(const Frame& frame) override {
        const auto done = [self = shared()](const boost::system::error_code& ec, std::size_t) {
            self->written(ec);
        };
        if (frame.kind == Frame::Kind::Ping) {
            ws_.async_ping(
                {}, [self = shared()](const boost::system::error_code& ec) { self->written(ec); });
            return;
        }
        if (frame.ticker) {
            Written stamp = *frame.ticker;
            stamp.at = std::chrono::steady_clock::now();
            stamp.atWall = std::chrono::system_clock::now();
            // Writes start under the fake's mutex (see push), so the record has a lock of its own.
            std::lock_guard lock(fake_.writtenMutex_);
            fake_.written_.push_back(stamp);
        }
        ws_.binary(frame.kind == Frame::Kind::Binary);
        ws_.async_write(boost::asio::buffer(frame.data), done);
    }

    Ws ws_;
    http::request<http::string_body> request_;
};

FakeWsExchange::FakeWsExchange(const FakeWsTls* tls)
    : impl_(std::make_unique<Impl>(io_)), secure_(tls != nullptr) {
    if (tls) {
        impl_->tls.use_certificate_chain_file(tls->certificateFile);
        impl_->tls.use_private_key_file(tls->keyFile, ssl::context::pem);
    }
    const Tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(Tcp::acceptor::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    port_ = impl_->acceptor.local_endpoint().port();
    accept();
    thread_ = std::thread([this] { io_.run(); });
}

FakeWsExchange::~FakeWsExchange() {
    boost::asio::post(io_, [this] {
        impl_->acceptor.close();
        std::lock_guard lock(mutex_);
        for (auto& weak : connections_) {
            if (const auto connection = weak.lock())
                connection->close();
        }
        io_.stop();
    });
    thread_.join();
}

void FakeWsExchange::accept() {
    impl_->acceptor.async_accept([this](const boost::system::error_code& ec, Tcp::socket socket) {
        if (ec)
            return;
        std::shared_ptr<Connection> connection;
        if (secure_) {
            connection = std::make_shared<StreamConnection<SecureWs>>(*this, std::move(socket));
        } else {
            connection = std::make_shared<StreamConnection<PlainWs>>(*this, std::move(socket));
        }
        connection->start();
        accept();
    });
}

void FakeWsExchange::changed() {
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
}

std::string FakeWsExchange::baseUrl() const {
    return std::string(secure_ ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port_);
}

std::array<std::string, kExchangeCount> FakeWsExchange::urls() const {
    std::array<std::string, kExchangeCount> urls;
    for (std::uint32_t e = 0; e < kExchangeCount; ++e)
        urls[e] = baseUrl() + parseWsUrl(wsDefaultUrl(e)).target;
    return urls;
}

std::vector<std::shared_ptr<FakeWsExchange::Connection>> FakeWsExchange::connectionsOf(
    std::uint32_t exchange) const {
    std::vector<std::shared_ptr<Connection>> found;
    for (const auto& weak : connections_) {
        const auto connection = weak.lock();
        if (connection && connection->exchange == exchange)
            found.push_back(connection);
    }
    return found;
}

void FakeWsExchange::push(std::uint32_t exchange, std::uint32_t product, double price,
                          double open24h) {
    const std::string message = composeWsTicker(exchange, product, price, open24h);
    boost::asio::post(io_, [this, exchange, product, price, message] {
        std::lock_guard lock(mutex_);
        if (exchanges_[exchange].muted.count(product))
            return;
        for (const auto& connection : connectionsOf(exchange)) {
            if (connection->subscriptions.count(product)) {
                connection->send({Connection::Frame::Kind::Text, message,
                                  Written{exchange, product, price, {}, {}}});
            }
        }
    });
}

void FakeWsExchange::pushRaw(std::uint32_t exchange, std::string text, bool binary) {
    boost::asio::post(io_, [this, exchange, text = std::move(text), binary] {
        std::lock_guard lock(mutex_);
        for (const auto& connection : connectionsOf(exchange)) {
            connection->send(
                {binary ? Connection::Frame::Kind::Binary : Connection::Frame::Kind::Text,
                 text,
                 {}});
        }
    });
}

void FakeWsExchange::refuse(std::uint32_t exchange, std::uint32_t product) {
    std::lock_guard lock(mutex_);
    exchanges_[exchange].refused.insert(product);
}

void FakeWsExchange::mute(std::uint32_t exchange, std::uint32_t product) {
    std::lock_guard lock(mutex_);
    exchanges_[exchange].muted.insert(product);
}

void FakeWsExchange::answerPings(std::uint32_t exchange, bool answer) {
    std::lock_guard lock(mutex_);
    exchanges_[exchange].answerPings = answer;
}

void FakeWsExchange::pingFrame(std::uint32_t exchange) {
    boost::asio::post(io_, [this, exchange] {
        std::lock_guard lock(mutex_);
        for (const auto& connection : connectionsOf(exchange))
            connection->send({Connection::Frame::Kind::Ping, {}, {}});
    });
}

void FakeWsExchange::drop(std::uint32_t exchange) {
    boost::asio::post(io_, [this, exchange] {
        std::vector<std::shared_ptr<Connection>> dropped;
        {
            std::lock_guard lock(mutex_);
            dropped = connectionsOf(exchange);
            std::erase_if(connections_, [&](const std::weak_ptr<Connection>& weak) {
                const auto connection = weak.lock();
                return !connection || connection->exchange == exchange;
            });
        }
        for (const auto& connection : dropped)
            connection->close();
        changed();
    });
}

void FakeWsExchange::refuseConnections(std::uint32_t exchange, bool refuse) {
    std::lock_guard lock(mutex_);
    exchanges_[exchange].refuseConnections = refuse;
}

std::size_t FakeWsExchange::openConnections(std::uint32_t exchange) const {
    std::lock_guard lock(mutex_);
    return connectionsOf(exchange).size();
}

std::size_t FakeWsExchange::acceptedConnections(std::uint32_t exchange) const {
    std::lock_guard lock(mutex_);
    return exchanges_[exchange].accepted;
}

bool FakeWsExchange::subscribed(std::uint32_t exchange, std::uint32_t product) const {
    std::lock_guard lock(mutex_);
    for (const auto& connection : connectionsOf(exchange)) {
        if (connection->subscriptions.count(product))
            return true;
    }
    return false;
}

std::vector<FakeWsExchange::Written> FakeWsExchange::written() const {
    std::lock_guard lock(writtenMutex_);
    return written_;
}

std::size_t FakeWsExchange::textPings(std::uint32_t exchange) const {
    std::lock_guard lock(mutex_);
    return exchanges_[exchange].textPings;
}

std::size_t FakeWsExchange::pongFrames(std::uint32_t exchange) const {
    std::lock_guard lock(mutex_);
    return exchanges_[exchange].pongFrames;
}

bool FakeWsExchange::waitFor(const std::function<bool()>& ready,
                             std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ready())
            return true;
        std::unique_lock lock(mutex_);
        // Changes in the server under test are not seen here; a short wait re-checks them.
        if (changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                             std::chrono::milliseconds(20))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline)
            return ready();
    }
}

}  // namespace vindral::test
