#include "tests/support/fake_exchange.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

#include "core/format.h"
#include "net/server_protocol.h"

namespace vindral::test {
namespace {

constexpr std::uint32_t kCoinbase = 4;

const char* const kDefaultFixtures[kExchangeCount] = {
    "binance-ticker-24hr-ok-1.json",    "bitget-tickers-doc-example.json",
    "bybit-tickers-ok-1.json",          "okx-ticker-ok-1-btc-wrapped.json",
    "coinbase-stats-ok-1-btc-usd.json",
};
constexpr double kDefaultRatePrice = 0.9995;
constexpr double kDefaultRateOpen = 1.0002;

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

struct Route {
    bool rate = false;
    std::uint32_t exchange = 0;
    std::uint32_t coin = 0;
};

// The coin of a product name such as "BTCUSDT", "BTC-USDT" or "SUI-USD".
std::optional<std::uint32_t> coinOfProduct(std::string product, std::string_view quote) {
    if (product.size() <= quote.size() ||
        product.compare(product.size() - quote.size(), quote.size(), quote) != 0) {
        return std::nullopt;
    }
    product.resize(product.size() - quote.size());
    const std::int32_t coin = coinIndexBySymbol(product);
    if (coin < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(coin);
}

std::optional<Route> routeOf(const TestRequest& request) {
    const auto query = parseQuery(request.query);
    const auto param = [&](const char* name) {
        const auto it = query.find(name);
        return it == query.end() ? std::string() : it->second;
    };
    std::optional<std::uint32_t> coin;
    std::uint32_t exchange = 0;
    if (request.path == "/api/v3/ticker/24hr") {
        exchange = 0;
        coin = coinOfProduct(param("symbol"), "USDT");
    } else if (request.path == "/api/v2/spot/market/tickers") {
        exchange = 1;
        coin = coinOfProduct(param("symbol"), "USDT");
    } else if (request.path == "/v5/market/tickers" && param("category") == "spot") {
        exchange = 2;
        coin = coinOfProduct(param("symbol"), "USDT");
    } else if (request.path == "/api/v5/market/ticker") {
        exchange = 3;
        coin = coinOfProduct(param("instId"), "-USDT");
    } else if (request.path == "/products/USDT-USD/stats") {
        return Route{true, kCoinbase, 0};
    } else if (request.path.rfind("/products/", 0) == 0 &&
               request.path.size() > std::string_view("/products//stats").size() &&
               request.path.ends_with("/stats")) {
        exchange = kCoinbase;
        const std::string product = request.path.substr(10, request.path.size() - 16);
        // Coins from SUI on are quoted in USD and converted with the rate.
        coin = coinOfProduct(product, "-USDT");
        if (coin && *coin >= 2) {
            coin.reset();
        }
        if (!coin) {
            coin = coinOfProduct(product, "-USD");
            if (coin && *coin < 2) {
                coin.reset();
            }
        }
    }
    if (!coin) {
        return std::nullopt;
    }
    return Route{false, exchange, *coin};
}

TestResponse controlError(const std::string& text) {
    return TestResponse::json(400, "{\"error\":" + jsonQuote(text) + "}");
}

std::optional<std::uint32_t> exchangeParam(const std::map<std::string, std::string>& query) {
    const auto it = query.find("exchange");
    if (it == query.end()) {
        return std::nullopt;
    }
    const std::int32_t index = exchangeIndexByName(it->second);
    if (index < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(index);
}

// The coin named by the query, kAllCoins when none is named, nothing for an unknown symbol.
std::optional<std::uint32_t> coinParam(const std::map<std::string, std::string>& query) {
    const auto it = query.find("coin");
    if (it == query.end()) {
        return kAllCoins;
    }
    const std::int32_t index = coinIndexBySymbol(it->second);
    if (index < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(index);
}

std::optional<double> numberParam(const std::map<std::string, std::string>& query,
                                  const char* name) {
    const auto it = query.find(name);
    if (it == query.end()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(it->second.c_str(), &end);
    if (it->second.empty() || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string composeTickerBody(std::uint32_t exchange, double price, double open24h) {
    // Prices travel as JSON strings, as the exchanges send them.
    std::string p = "\"";
    p += number(price);
    p += '"';
    std::string o = "\"";
    o += number(open24h);
    o += '"';
    switch (exchange) {
        case 0:
            return "{\"symbol\":\"BTCUSDT\",\"lastPrice\":" + p + ",\"openPrice\":" + o + "}";
        case 1:
            return "{\"code\":\"00000\",\"msg\":\"success\",\"data\":[{\"symbol\":\"BTCUSDT\","
                   "\"lastPr\":" +
                   p + ",\"open\":" + o + "}]}";
        case 2:
            return "{\"retCode\":0,\"retMsg\":\"OK\",\"result\":{\"category\":\"spot\",\"list\":"
                   "[{\"symbol\":\"BTCUSDT\",\"lastPrice\":" +
                   p + ",\"prevPrice24h\":" + o + "}]}}";
        case 3:
            return "{\"code\":\"0\",\"msg\":\"\",\"data\":[{\"instId\":\"BTC-USDT\",\"last\":" + p +
                   ",\"open24h\":" + o + "}]}";
        default:
            return "{\"open\":" + o + ",\"high\":" + (price > open24h ? p : o) +
                   ",\"low\":" + (price > open24h ? o : p) + ",\"volume\":\"1\",\"last\":" + p +
                   "}";
    }
}

std::map<std::string, std::string> parseQuery(std::string_view query) {
    const auto uchar = [](char c) { return static_cast<unsigned char>(c); };
    const auto decode = [&](std::string_view text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '+') {
                out += ' ';
            } else if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(uchar(text[i + 1])) &&
                       std::isxdigit(uchar(text[i + 2]))) {
                out +=
                    static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    std::map<std::string, std::string> params;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const size_t eq = pair.find('=');
        params[decode(pair.substr(0, eq))] =
            eq == std::string_view::npos ? std::string() : decode(pair.substr(eq + 1));
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    }
    return params;
}

std::string jsonQuote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

bool parseResponseMode(std::string_view text, ResponseMode& mode) {
    const std::pair<std::string_view, ResponseMode> modes[] = {
        {"reply", ResponseMode::Reply},
        {"hold", ResponseMode::Hold},
        {"close", ResponseMode::Close},
        {"reset", ResponseMode::Reset},
    };
    for (const auto& [name, value] : modes) {
        if (text == name) {
            mode = value;
            return true;
        }
    }
    return false;
}

FakeExchange::FakeExchange(std::string fixturesDir)
    : fixturesDir_(std::move(fixturesDir)),
      server_([this](const TestRequest& request) { return handle(request); }) {
    std::lock_guard lock(mutex_);
    resetLocked();
}

FakeExchange::~FakeExchange() {
    releaseDelays();
}

std::uint16_t FakeExchange::port() const {
    return server_.port();
}

ExchangeEndpoints FakeExchange::endpoints() const {
    ExchangeEndpoints endpoints;
    endpoints.baseUrls.fill(server_.baseUrlW());
    return endpoints;
}

std::string FakeExchange::fixture(const std::string& fileName) const {
    std::ifstream in(fixturesDir_ + "/" + fileName, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void FakeExchange::resetLocked() {
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        const std::string body = fixture(kDefaultFixtures[e]);
        for (Cell& cell : cells_[e]) {
            cell.reply = FakeReply{200, body, {}, ResponseMode::Reply};
        }
    }
    delays_.fill({});
    rate_.reply =
        FakeReply{200, composeTickerBody(kCoinbase, kDefaultRatePrice, kDefaultRateOpen), {}, {}};
}

void FakeExchange::reset() {
    std::lock_guard lock(mutex_);
    resetLocked();
}

void FakeExchange::setReply(std::uint32_t exchange, std::uint32_t coin, FakeReply reply) {
    std::lock_guard lock(mutex_);
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        if (coin == kAllCoins || coin == c) {
            cells_.at(exchange)[c].reply = reply;
        }
    }
}

void FakeExchange::setPrice(std::uint32_t exchange, std::uint32_t coin, double price,
                            double open24h) {
    setReply(exchange, coin, FakeReply{200, composeTickerBody(exchange, price, open24h), {}, {}});
}

void FakeExchange::setFixture(std::uint32_t exchange, std::uint32_t coin, int status,
                              const std::string& fileName) {
    setReply(exchange, coin, FakeReply{status, fixture(fileName), {}, {}});
}

void FakeExchange::setDelay(std::uint32_t exchange, std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    delays_.at(exchange) = delay;
}

void FakeExchange::setRateReply(FakeReply reply) {
    std::lock_guard lock(mutex_);
    rate_.reply = std::move(reply);
}

void FakeExchange::releaseDelays() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    server_.notify();
}

std::size_t FakeExchange::requestCount(std::uint32_t exchange, std::uint32_t coin) const {
    std::lock_guard lock(mutex_);
    return cells_.at(exchange).at(coin).requests;
}

std::size_t FakeExchange::rateRequestCount() const {
    std::lock_guard lock(mutex_);
    return rate_.requests;
}

bool FakeExchange::waitForRequests(std::uint32_t exchange, std::uint32_t coin, std::size_t count,
                                   std::chrono::milliseconds timeout) const {
    return server_.waitFor(timeout, [&] { return requestCount(exchange, coin) >= count; });
}

TestResponse FakeExchange::answer(FakeReply reply, std::chrono::milliseconds extraDelay) {
    const auto delay = reply.delay + extraDelay;
    if (delay.count() > 0) {
        server_.waitFor(delay, [this] {
            std::lock_guard lock(mutex_);
            return released_;
        });
    }
    TestResponse response = TestResponse::json(reply.status, std::move(reply.body));
    response.mode = reply.mode;
    return response;
}

TestResponse FakeExchange::handle(const TestRequest& request) {
    if (request.path.rfind("/control/", 0) == 0) {
        return handleControl(request);
    }
    const std::optional<Route> route = routeOf(request);
    if (!route) {
        return TestResponse::json(404, "{\"message\":\"NotFound\"}");
    }
    FakeReply reply;
    std::chrono::milliseconds extraDelay{};
    {
        std::lock_guard lock(mutex_);
        Cell& cell = route->rate ? rate_ : cells_[route->exchange][route->coin];
        ++cell.requests;
        reply = cell.reply;
        extraDelay = delays_[route->exchange];
    }
    // Tests wait on the request counters.
    server_.notify();
    return answer(std::move(reply), extraDelay);
}

TestResponse FakeExchange::handleControl(const TestRequest& request) {
    const auto query = parseQuery(request.query);
    const std::string& what = request.path;
    if (what == "/control/requests") {
        std::lock_guard lock(mutex_);
        std::string json = "{";
        for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
            json += jsonQuote(toUtf8(exchangeName(e))) + ":{";
            for (std::uint32_t c = 0; c < kCoinCount; ++c) {
                json += c ? "," : "";
                json +=
                    jsonQuote(toUtf8(coinSymbol(c))) + ":" + std::to_string(cells_[e][c].requests);
            }
            json += "},";
        }
        return TestResponse::json(200, json + "\"rate\":" + std::to_string(rate_.requests) + "}");
    }
    if (what == "/control/reset") {
        reset();
        return TestResponse::json(200, "{}");
    }
    if (what == "/control/rate") {
        const auto price = numberParam(query, "price");
        const auto open = numberParam(query, "open");
        if (price) {
            setRateReply(
                FakeReply{200, composeTickerBody(kCoinbase, *price, open.value_or(0)), {}, {}});
        } else {
            setRateReply(FakeReply{static_cast<int>(numberParam(query, "status").value_or(200)),
                                   request.body,
                                   {},
                                   {}});
        }
        return TestResponse::json(200, "{}");
    }
    const auto exchange = exchangeParam(query);
    const auto coin = coinParam(query);
    if (!exchange || !coin) {
        return controlError("unknown exchange or coin");
    }
    if (what == "/control/price") {
        const auto price = numberParam(query, "price");
        if (!price) {
            return controlError("price missing");
        }
        setPrice(*exchange, *coin, *price, numberParam(query, "open").value_or(0));
    } else if (what == "/control/reply") {
        FakeReply reply;
        reply.status = static_cast<int>(numberParam(query, "status").value_or(200));
        reply.body = request.body;
        reply.delay = std::chrono::milliseconds(
            static_cast<std::int64_t>(numberParam(query, "delayMs").value_or(0)));
        if (query.count("mode") && !parseResponseMode(query.at("mode"), reply.mode)) {
            return controlError("unknown mode");
        }
        setReply(*exchange, *coin, std::move(reply));
    } else if (what == "/control/fixture") {
        const auto name = query.find("name");
        if (name == query.end() || name->second.find('/') != std::string::npos) {
            return controlError("fixture name missing");
        }
        setFixture(*exchange, *coin, static_cast<int>(numberParam(query, "status").value_or(200)),
                   name->second);
    } else if (what == "/control/delay") {
        setDelay(*exchange, std::chrono::milliseconds(
                                static_cast<std::int64_t>(numberParam(query, "ms").value_or(0))));
    } else {
        return controlError("unknown control");
    }
    return TestResponse::json(200, "{}");
}

}  // namespace vindral::test
