#include "server/live_feeds.h"

#include <openssl/ssl.h>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <optional>
#include <type_traits>

#include "core/format.h"
#include "net/exchanges.h"

namespace vindral {
namespace {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace ssl = boost::asio::ssl;
using Tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using PlainWs = websocket::stream<beast::tcp_stream>;
using SecureWs = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

constexpr std::size_t kMaxFrameBytes = 1 << 20;

enum class ProductState { Idle, Pending, Live, Refused };

std::string cellName(std::uint32_t exchange, std::uint32_t coin) {
    return toUtf8(exchangeName(exchange)) + " " +
           (coin == kRateCoin ? std::string("USDT-USD") : toUtf8(coinSymbol(coin)));
}

bool isIpAddress(const std::string& host) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    return !ec;
}

}  // namespace

LiveOptions defaultLiveOptions() {
    LiveOptions options;
    for (std::uint32_t e = 0; e < kExchangeCount; ++e)
        options.urls[e] = wsDefaultUrl(e);
    return options;
}

struct LiveFeeds::Feed {
    Feed(const Executor& executor, std::uint32_t exchange) : exchange(exchange), retry(executor) {}
    std::uint32_t exchange;
    WsUrl url;
    std::array<bool, kStreamProducts> wanted{};
    std::shared_ptr<Link> link;
    boost::asio::basic_waitable_timer<Clock, boost::asio::wait_traits<Clock>, Executor> retry;
    bool retryArmed = false;
    milliseconds retryDelay{0};
};

// What every connection does whatever its transport: subscriptions, the timers, the messages.
class LiveFeeds::Link : public std::enable_shared_from_this<Link> {
  public:
    using Timer =
        boost::asio::basic_waitable_timer<Clock, boost::asio::wait_traits<Clock>, Executor>;

    Link(LiveFeeds& feeds, Feed& feed)
        : feeds_(feeds),
          feed_(feed),
          silence_(feeds.executor_),
          ping_(feeds.executor_),
          first_{Timer(feeds.executor_), Timer(feeds.executor_), Timer(feeds.executor_),
                 Timer(feeds.executor_)} {}
    virtual ~Link() = default;

    virtual void start() = 0;
    bool open() const { return open_; }

    // Subscribes what is wanted and not yet asked for, unsubscribes what is no longer wanted.
    void sync() {
        if (!open_ || done_)
            return;
        std::vector<std::uint32_t> add;
        std::vector<std::uint32_t> remove;
        for (std::uint32_t p = 0; p < kStreamProducts; ++p) {
            if (feed_.wanted[p] && state_[p] == ProductState::Idle) {
                add.push_back(p);
                setState(p, ProductState::Pending);
                armFirstMessage(p);
            } else if (!feed_.wanted[p] && state_[p] != ProductState::Idle) {
                if (state_[p] != ProductState::Refused)
                    remove.push_back(p);
                setState(p, ProductState::Idle);
                first_[p].cancel();
            }
        }
        for (std::string& m : wsSubscribeMessages(feed_.exchange, remove, false))
            send(std::move(m));
        for (std::string& m : wsSubscribeMessages(feed_.exchange, add, true))
            send(std::move(m));
    }

    // Ends the connection without a retry; live cells go back to polling.
    void shut() {
        if (done_)
            return;
        done_ = true;
        stopTimers();
        for (std::uint32_t p = 0; p < kStreamProducts; ++p)
            setState(p, ProductState::Idle);
        closeSocket();
    }

  protected:
    virtual void closeSocket() = 0;
    virtual void write(const std::string& text) = 0;
    virtual void readNext() = 0;

    void fail(std::string_view reason, bool atOnce = false) {
        if (done_)
            return;
        shut();
        feeds_.linkLost(feed_, reason, atOnce);
    }

    void opened() {
        open_ = true;
        feeds_.linkOpened(feed_);
        heard();
        armPing();
        sync();
        readNext();
    }

    void send(std::string text) {
        outbox_.push_back(std::move(text));
        if (!writing_)
            writeNext();
    }

    void writeNext() {
        if (outbox_.empty() || done_) {
            writing_ = false;
            return;
        }
        writing_ = true;
        write(outbox_.front());
    }

    void written(const boost::system::error_code& ec) {
        if (done_)
            return;
        if (ec) {
            fail("보내기 실패: " + ec.message());
            return;
        }
        outbox_.pop_front();
        writeNext();
    }

    void received(std::string_view text) {
        if (done_)
            return;
        heard();
        const WsEvent event = parseWsMessage(feed_.exchange, text);
        switch (event.kind) {
            case WsEventKind::Ticker:
                onTicker(event);
                break;
            case WsEventKind::Refused:
                onRefused(event);
                break;
            case WsEventKind::Shutdown:
                fail("exchange announced a close", true);
                return;
            case WsEventKind::Malformed:
                ++malformed_;
                if (malformed_ == 1)
                    feeds_.log_(toUtf8(exchangeName(feed_.exchange)) +
                                " stream: a message that is not a ticker message, ignored");
                break;
            case WsEventKind::Ignored:
                break;
        }
    }

    // Any frame, pings and pongs included, proves the connection alive.
    void heard() {
        silence_.expires_after(feeds_.options_.silenceTimeout);
        silence_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (!ec)
                self->fail("silent for " +
                           std::to_string(self->feeds_.options_.silenceTimeout.count()) + " ms");
        });
    }

    beast::flat_buffer buffer_;
    LiveFeeds& feeds_;
    Feed& feed_;
    bool done_ = false;

  private:
    void setState(std::uint32_t p, ProductState state) {
        const bool wasLive = state_[p] == ProductState::Live;
        state_[p] = state;
        if (p < kCoinCount && wasLive != (state == ProductState::Live))
            feeds_.sourceChange_(feed_.exchange * kCoinCount + p, state == ProductState::Live);
    }

    void stopTimers() {
        silence_.cancel();
        ping_.cancel();
        for (Timer& timer : first_)
            timer.cancel();
    }

    void armPing() {
        if (wsPingText(feed_.exchange).empty())
            return;
        ping_.expires_after(feeds_.options_.pingInterval);
        ping_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (ec || self->done_)
                return;
            self->send(wsPingText(self->feed_.exchange));
            self->armPing();
        });
    }

    void armFirstMessage(std::uint32_t p) {
        first_[p].expires_after(feeds_.options_.firstMessageTimeout);
        first_[p].async_wait([self = shared_from_this(), p](const boost::system::error_code& ec) {
            if (ec || self->done_ || self->state_[p] != ProductState::Pending)
                return;
            self->refuse(p, "no first message within " +
                                std::to_string(self->feeds_.options_.firstMessageTimeout.count()) +
                                " ms");
        });
    }

    void refuse(std::uint32_t p, const std::string& why) {
        setState(p, ProductState::Refused);
        first_[p].cancel();
        feeds_.log_(cellName(feed_.exchange, p) + " stays polled: " + why);
        // Without the rate the USD-quoted coins cannot be converted.
        if (p == kRateCoin) {
            for (std::uint32_t c = 0; c < kCoinCount; ++c) {
                if (wsNeedsRate(feed_.exchange, c) && state_[c] != ProductState::Idle &&
                    state_[c] != ProductState::Refused)
                    refuse(c, "no USDT-USD rate");
            }
        }
    }

    void onRefused(const WsEvent& event) {
        for (std::uint32_t p = 0; p < kStreamProducts; ++p) {
            const bool named = event.coin == p;
            const bool pending = state_[p] == ProductState::Pending;
            if ((named && state_[p] != ProductState::Idle && state_[p] != ProductState::Refused) ||
                (event.coin == kAnyCoin && pending))
                refuse(p, "refused: " + event.error);
        }
    }

    void onTicker(const WsEvent& event) {
        const std::uint32_t p = event.coin;
        if (p >= kStreamProducts || state_[p] == ProductState::Idle ||
            state_[p] == ProductState::Refused)
            return;
        if (p == kRateCoin) {
            if (!event.ok)
                return;
            rate_ = TickerQuote{event.price, event.open24h};
            if (state_[p] == ProductState::Pending) {
                state_[p] = ProductState::Live;
                first_[p].cancel();
            }
            for (std::uint32_t c = 0; c < kCoinCount; ++c) {
                if (usdQuotes_[c] && state_[c] == ProductState::Pending)
                    deliver(c, true, *usdQuotes_[c], event.eventTimeMs, {});
            }
            return;
        }
        if (!event.ok) {
            // A broken push of a live cell shows as a failed update, as a broken REST body would;
            // one that never had a price waits for its first good push or its timer.
            if (state_[p] == ProductState::Live)
                deliver(p, false, {}, event.eventTimeMs, event.error);
            return;
        }
        const TickerQuote quote{event.price, event.open24h};
        if (wsNeedsRate(feed_.exchange, p)) {
            usdQuotes_[p] = quote;
            if (!rate_)
                return;
        }
        deliver(p, true, quote, event.eventTimeMs, {});
    }

    void deliver(std::uint32_t coin, bool ok, TickerQuote quote, std::int64_t eventTimeMs,
                 const std::string& error) {
        if (ok && wsNeedsRate(feed_.exchange, coin))
            quote = convertUsdQuote(quote, *rate_);
        if (ok && state_[coin] == ProductState::Pending) {
            first_[coin].cancel();
            setState(coin, ProductState::Live);
            // A stream that delivers is healthy: the next loss starts the back-off afresh.
            feed_.retryDelay = milliseconds(0);
        }
        FetchOutcome outcome;
        outcome.ok = ok;
        outcome.price = quote.price;
        outcome.open24h = quote.open24h;
        // How old the price was when it arrived, where the exchange says when it was made.
        if (eventTimeMs > 0)
            outcome.latencyMs =
                static_cast<double>(std::max<std::int64_t>(0, wallClockMs() - eventTimeMs));
        outcome.error = error;
        feeds_.update_(feed_.exchange * kCoinCount + coin, std::move(outcome));
    }

    Timer silence_;
    Timer ping_;
    std::array<Timer, kStreamProducts> first_;
    std::array<ProductState, kStreamProducts> state_{};
    std::optional<TickerQuote> rate_;
    std::array<std::optional<TickerQuote>, kCoinCount> usdQuotes_;
    std::deque<std::string> outbox_;
    bool writing_ = false;
    bool open_ = false;
    std::uint64_t malformed_ = 0;
};

// The transport: plain WebSocket (loopback tests only) or WebSocket over TLS.
template <typename Ws>
class LiveFeeds::StreamLink final : public Link {
    static constexpr bool kSecure = std::is_same_v<Ws, SecureWs>;

  public:
    StreamLink(LiveFeeds& feeds, Feed& feed)
        : Link(feeds, feed), resolver_(feeds.executor_), ws_(make(feeds)) {}

    void start() override {
        resolver_.async_resolve(
            feed_.url.host, feed_.url.port,
            [self = shared()](const boost::system::error_code& ec, Tcp::resolver::results_type r) {
                if (self->done_)
                    return;
                if (ec) {
                    self->fail("resolve: " + ec.message());
                    return;
                }
                self->connect(r);
            });
    }

  private:
    static Ws make(LiveFeeds& feeds) {
        if constexpr (kSecure) {
            return Ws(feeds.executor_, feeds.tls_);
        } else {
            return Ws(feeds.executor_);
        }
    }

    std::shared_ptr<StreamLink> shared() {
        return std::static_pointer_cast<StreamLink>(shared_from_this());
    }

    void connect(const Tcp::resolver::results_type& results) {
        beast::tcp_stream& tcp = beast::get_lowest_layer(ws_);
        tcp.expires_after(feeds_.options_.connectTimeout);
        tcp.async_connect(
            results, [self = shared()](const boost::system::error_code& ec, const Tcp::endpoint&) {
                if (self->done_)
                    return;
                if (ec) {
                    self->fail("connect: " + ec.message());
                    return;
                }
                self->secure();
            });
    }

    void secure() {
        if constexpr (kSecure) {
            auto& tls = ws_.next_layer();
            const std::string& host = feed_.url.host;
            // SNI takes names only; the certificate is checked against names and addresses.
            if (!isIpAddress(host) &&
                !SSL_set_tlsext_host_name(tls.native_handle(), host.c_str())) {
                fail("TLS: SNI");
                return;
            }
            tls.set_verify_mode(ssl::verify_peer);
            tls.set_verify_callback(ssl::host_name_verification(host));
            tls.async_handshake(ssl::stream_base::client,
                                [self = shared()](const boost::system::error_code& ec) {
                                    if (self->done_)
                                        return;
                                    if (ec) {
                                        self->fail("TLS: " + ec.message());
                                        return;
                                    }
                                    self->handshake();
                                });
        } else {
            handshake();
        }
    }

    void handshake() {
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = feeds_.options_.connectTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();  // the silence timer's job
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        websocket::permessage_deflate deflate;
        deflate.client_enable = false;
        ws_.set_option(deflate);
        ws_.read_message_max(kMaxFrameBytes);
        ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
            request.set(beast::http::field::user_agent, "Vindral/0.1 (+price-ticker)");
        }));
        // Pings from the exchange are answered by the stream itself; they still prove life.
        ws_.control_callback(
            [weak = std::weak_ptr<Link>(shared())](websocket::frame_type, beast::string_view) {
                if (const auto self = weak.lock())
                    static_cast<StreamLink&>(*self).heardControl();
            });
        const bool defaultPort = feed_.url.port == (kSecure ? "443" : "80");
        const std::string host = feed_.url.host + (defaultPort ? "" : ":" + feed_.url.port);
        ws_.async_handshake(host, feed_.url.target,
                            [self = shared()](const boost::system::error_code& ec) {
                                if (self->done_)
                                    return;
                                if (ec) {
                                    self->fail("handshake: " + ec.message());
                                    return;
                                }
                                self->opened();
                            });
    }

    void heardControl() {
        if (!done_)
            heard();
    }

    void readNext() override {
        ws_.async_read(buffer_,
                       [self = shared()](const boost::system::error_code& ec, std::size_t) {
                           if (self->done_)
                               return;
                           if (ec) {
                               self->fail("read: " + ec.message());
                               return;
                           }
                           const std::string text = beast::buffers_to_string(self->buffer_.data());
                           self->buffer_.consume(self->buffer_.size());
                           self->received(text);
                           if (!self->done_)
                               self->readNext();
                       });
    }

    void write(const std::string& text) override {
        ws_.text(true);
        ws_.async_write(boost::asio::buffer(text),
                        [self = shared()](const boost::system::error_code& ec, std::size_t) {
                            self->written(ec);
                        });
    }

    void closeSocket() override {
        resolver_.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(Tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).close();
    }

    Tcp::resolver resolver_;
    Ws ws_;
};

LiveFeeds::LiveFeeds(Executor executor, LiveOptions options, Update update,
                     SourceChange sourceChange, Log log)
    : executor_(std::move(executor)),
      options_(std::move(options)),
      update_(std::move(update)),
      sourceChange_(std::move(sourceChange)),
      log_(std::move(log)),
      tls_(ssl::context::tls_client),
      jitter_(std::random_device{}()) {
    tls_.set_default_verify_paths();
    tls_.set_verify_mode(ssl::verify_peer);
    if (!options_.extraCaFile.empty()) {
        boost::system::error_code ec;
        tls_.load_verify_file(options_.extraCaFile, ec);
        if (ec)
            log_("cannot read the CA file " + options_.extraCaFile + ": " + ec.message());
    }
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        feeds_[e] = std::make_unique<Feed>(executor_, e);
        feeds_[e]->url = parseWsUrl(options_.urls[e]);
        feeds_[e]->retryDelay = milliseconds(0);
    }
}

LiveFeeds::~LiveFeeds() {
    close();
}

void LiveFeeds::close() {
    if (closed_)
        return;
    closed_ = true;
    for (auto& feed : feeds_) {
        feed->retry.cancel();
        if (feed->link)
            feed->link->shut();
        feed->link.reset();
    }
}

std::size_t LiveFeeds::openStreams() const {
    std::size_t open = 0;
    for (const auto& feed : feeds_)
        open += feed->link && feed->link->open() ? 1 : 0;
    return open;
}

bool LiveFeeds::anyWanted(const Feed& feed) const {
    for (bool wanted : feed.wanted) {
        if (wanted)
            return true;
    }
    return false;
}

void LiveFeeds::want(std::uint32_t cell, bool wanted) {
    if (closed_ || cell >= kExchangeCount * kCoinCount)
        return;
    Feed& feed = *feeds_[cell / kCoinCount];
    if (feed.url.host.empty())
        return;
    feed.wanted[cell % kCoinCount] = wanted;
    bool rate = false;
    for (std::uint32_t c = 0; c < kCoinCount; ++c)
        rate = rate || (feed.wanted[c] && wsNeedsRate(feed.exchange, c));
    feed.wanted[kRateCoin] = rate;

    if (!anyWanted(feed)) {
        feed.retry.cancel();
        feed.retryArmed = false;
        if (feed.link) {
            feed.link->shut();
            feed.link.reset();
            log_(toUtf8(exchangeName(feed.exchange)) + " stream closed: nothing selected");
        }
        return;
    }
    if (feed.link) {
        feed.link->sync();
    } else if (!feed.retryArmed) {
        connect(feed);
    }
}

void LiveFeeds::connect(Feed& feed) {
    if (feed.url.secure) {
        feed.link = std::make_shared<StreamLink<SecureWs>>(*this, feed);
    } else {
        feed.link = std::make_shared<StreamLink<PlainWs>>(*this, feed);
    }
    feed.link->start();
}

void LiveFeeds::linkOpened(Feed& feed) {
    log_(toUtf8(exchangeName(feed.exchange)) + " stream connected");
}

void LiveFeeds::linkLost(Feed& feed, std::string_view reason, bool atOnce) {
    feed.link.reset();
    if (closed_ || !anyWanted(feed))
        return;
    milliseconds delay{0};
    if (!atOnce) {
        feed.retryDelay = feed.retryDelay.count() == 0
                              ? options_.retryStart
                              : std::min(feed.retryDelay * 2, options_.retryMax);
        // Between half and all of the back-off, so that servers restarted together spread out.
        std::uniform_int_distribution<std::int64_t> spread(feed.retryDelay.count() / 2,
                                                           feed.retryDelay.count());
        delay = milliseconds(spread(jitter_));
    }
    log_(toUtf8(exchangeName(feed.exchange)) + " stream lost (" + std::string(reason) +
         "), polling; retry in " + std::to_string(delay.count()) + " ms");
    scheduleRetry(feed, delay);
}

void LiveFeeds::scheduleRetry(Feed& feed, milliseconds delay) {
    feed.retryArmed = true;
    feed.retry.expires_after(delay);
    feed.retry.async_wait([this, &feed](const boost::system::error_code& ec) {
        if (ec || closed_)
            return;
        feed.retryArmed = false;
        if (!feed.link && anyWanted(feed))
            connect(feed);
    });
}

}  // namespace vindral
