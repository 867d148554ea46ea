#include "server/price_server.h"

#include <boost/asio/post.hpp>
#include <charconv>
#include <random>

#include "core/format.h"
#include "server/demo_market.h"

namespace vindral {
namespace {

std::optional<std::int64_t> wholeNumber(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

// "HOST:PORT", ":PORT", "HOST" or "[V6]:PORT".
bool parseListen(std::string_view text, ServerOptions& options) {
    std::string_view host = text;
    std::string_view port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return false;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (!rest.starts_with(':'))
                return false;
            port = rest.substr(1);
        }
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (!host.empty())
        options.listenAddress = std::string(host);
    if (!port.empty() || text.ends_with(':')) {
        // Port 0 lets the system pick one; the start-up line says which.
        const std::optional<std::int64_t> number = wholeNumber(port);
        if (!number || *number > 65535)
            return false;
        options.port = static_cast<std::uint16_t>(*number);
    }
    return true;
}

// The option's field when `arg` names one of the limits.
std::size_t* countOption(std::string_view arg, ServerOptions& options) {
    if (arg == "--max-sessions")
        return &options.hub.maxSessions;
    if (arg == "--max-sessions-per-peer")
        return &options.hub.maxSessionsPerPeer;
    if (arg == "--max-connections")
        return &options.connections.maxConnections;
    if (arg == "--max-connections-per-peer")
        return &options.connections.maxConnectionsPerPeer;
    return nullptr;
}

}  // namespace

std::string serverUsage() {
    return "usage: vindral-server [options]\n"
           "  --listen HOST:PORT             address to listen on (default 0.0.0.0:12500)\n"
           "  --demo                         simulate the market instead of asking the exchanges\n"
           "  --exchange-base URL            send every exchange request to URL (for loopback "
           "fakes)\n"
           "  --krw-base URL                 send every Upbit and USD/KRW rate request to URL\n"
           "  --feeds live|poll              follow the exchanges' streams (default) or only poll\n"
           "  --exchange-ws-base URL         connect every exchange stream to URL, paths kept\n"
           "  --session-expiry-ms N          drop sessions not polled for N ms (default 60000)\n"
           "  --max-sessions N               refuse new sessions beyond N (default 1000)\n"
           "  --max-sessions-per-peer N      refuse one address sessions beyond N (default 64)\n"
           "  --max-connections N            hold at most N connections (default 4096)\n"
           "  --max-connections-per-peer N   refuse one address connections beyond N (default "
           "256)\n"
           "  --help                         show this text\n"
           "  --version                      show the version and exit\n";
}

std::optional<ServerOptions> parseServerArgs(const std::vector<std::string>& args,
                                             std::string& error) {
    ServerOptions options;
    options.feeds = FeedMode::Live;
    bool restRedirected = false;
    bool streamsRedirected = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            error.clear();
            return std::nullopt;
        }
        if (arg == "--demo") {
            options.demo = true;
            continue;
        }
        const std::optional<std::string> v = value();
        if (!v) {
            error = arg.starts_with("--") ? arg + " needs a value" : "unknown argument " + arg;
            return std::nullopt;
        }
        if (arg == "--listen") {
            if (!parseListen(*v, options)) {
                error = "--listen wants HOST:PORT, got " + *v;
                return std::nullopt;
            }
        } else if (arg == "--exchange-base") {
            std::wstring base = normalizeServerUrl(fromUtf8(*v));
            if (base.empty()) {
                error = "--exchange-base wants a URL";
                return std::nullopt;
            }
            options.endpoints.baseUrls.fill(base);
            restRedirected = true;
        } else if (arg == "--krw-base") {
            std::wstring base = normalizeServerUrl(fromUtf8(*v));
            if (base.empty()) {
                error = "--krw-base wants a URL";
                return std::nullopt;
            }
            options.krwEndpoints = {base, base, base};
        } else if (arg == "--feeds") {
            if (*v != "live" && *v != "poll") {
                error = "--feeds wants live or poll, got " + *v;
                return std::nullopt;
            }
            options.feeds = *v == "live" ? FeedMode::Live : FeedMode::Poll;
        } else if (arg == "--exchange-ws-base") {
            const WsUrl base = parseWsUrl(*v);
            if (base.host.empty() || (!base.secure && !isLoopbackHost(base.host))) {
                error = "--exchange-ws-base wants a wss:// URL, or ws:// on loopback, got " + *v;
                return std::nullopt;
            }
            for (std::string& url : options.live.urls) {
                const WsUrl rebased = rebaseWsUrl(parseWsUrl(url), base);
                url = std::string(rebased.secure ? "wss://" : "ws://") +
                      (rebased.host.find(':') != std::string::npos ? "[" + rebased.host + "]"
                                                                   : rebased.host) +
                      ":" + rebased.port + rebased.target;
            }
            streamsRedirected = true;
        } else if (const auto count = countOption(arg, options)) {
            const std::optional<std::int64_t> number = wholeNumber(*v);
            if (!number || *number == 0) {
                error = arg + " wants a positive whole number, got " + *v;
                return std::nullopt;
            }
            *count = static_cast<std::size_t>(*number);
        } else if (arg == "--session-expiry-ms") {
            const std::optional<std::int64_t> number = wholeNumber(*v);
            if (!number || *number == 0) {
                error = arg + " wants a positive whole number, got " + *v;
                return std::nullopt;
            }
            options.hub.sessionExpiryMs = *number;
        } else {
            error = "unknown argument " + arg;
            return std::nullopt;
        }
    }
    // Prices from a fake's REST answers and the real exchanges' streams would mix two markets.
    if (restRedirected && !streamsRedirected)
        options.feeds = FeedMode::Poll;
    return options;
}

PriceServer::PriceServer(ServerOptions options)
    : options_(std::move(options)),
      source_(options_.demo ? makeDemoSource({.seed = std::random_device{}()})
                            : makeExchangeSource(options_.endpoints, options_.krwEndpoints)),
      hub_(
          io_.get_executor(), options_.hub, [this](std::uint32_t cell) { workers_->trigger(cell); },
          [this](std::string_view line) {
              if (options_.log)
                  options_.log(line);
          }),
      http_(
          io_, hub_,
          [this](std::string_view line) {
              if (options_.log)
                  options_.log(line);
          },
          options_.requestTimeout, options_.connections) {
    if (!options_.demo && options_.feeds == FeedMode::Live) {
        feeds_ = std::make_unique<LiveFeeds>(
            io_.get_executor(), options_.live,
            [this](std::uint32_t cell, FetchOutcome outcome) {
                hub_.liveUpdate(cell, std::move(outcome));
            },
            [this](std::uint32_t cell, bool live) { hub_.setCellLive(cell, live); },
            [this](std::string_view line) {
                if (options_.log)
                    options_.log(line);
            });
        hub_.attachLive({[this](std::uint32_t cell, bool wanted) { feeds_->want(cell, wanted); },
                         [this] { return feeds_->openStreams(); }});
    }
    workers_ = std::make_unique<FetchWorkers>(*source_, [this](std::uint32_t cell,
                                                               FetchOutcome outcome) {
        boost::asio::post(hub_.executor(), [this, cell, outcome = std::move(outcome)]() mutable {
            hub_.fetchDone(cell, std::move(outcome));
        });
    });
    krwWorkers_ = std::make_unique<KrwWorkers>(
        *source_,
        [this](std::array<FetchOutcome, kCoinCount> outcomes) {
            boost::asio::post(hub_.executor(), [this, outcomes = std::move(outcomes)]() mutable {
                hub_.upbitDone(std::move(outcomes));
            });
        },
        [this](FxFetch fetch) {
            boost::asio::post(hub_.executor(), [this, fetch = std::move(fetch)]() mutable {
                hub_.fxDone(std::move(fetch));
            });
        });
    hub_.attachKrw({[this](const IndexList& coins) { krwWorkers_->fetchUpbit(coins); },
                    [this] { krwWorkers_->fetchFx(); }});
}

std::unique_ptr<PriceServer> PriceServer::start(ServerOptions options, std::string& error) {
    std::unique_ptr<PriceServer> server(new PriceServer(std::move(options)));
    if (!server->http_.listen(server->options_.listenAddress, server->options_.port, error)) {
        return nullptr;
    }
    server->loop_ = std::thread([s = server.get()] { s->io_.run(); });
    return server;
}

PriceServer::~PriceServer() {
    stop();
}

void PriceServer::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    io_.stop();
    if (loop_.joinable())
        loop_.join();
    // The loop thread has ended: the listener and the hub are closed from here.
    http_.close();
    hub_.close();
    if (feeds_)
        feeds_->close();
    workers_->stop();
    krwWorkers_->stop();
}

}  // namespace vindral
