#include "server/ws_protocol.h"

#include <boost/asio/ip/address.hpp>
#include <cctype>
#include <chrono>

#include "core/format.h"
#include "json/json.h"
#include "net/exchanges.h"
#include "server/json_writer.h"

namespace vindral {
namespace {

constexpr std::uint32_t kBinance = 0, kBitget = 1, kBybit = 2, kOkx = 3, kCoinbase = 4;
// Exchange messages are cut like the REST adapters cut theirs.
constexpr std::size_t kMaxMessageBytes = 60;

std::string cut(std::string text) {
    if (text.size() > kMaxMessageBytes)
        text.resize(kMaxMessageBytes);
    return text;
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

std::uint32_t productCount(std::uint32_t exchange) {
    return exchange == kCoinbase ? kStreamProducts : kCoinCount;
}

// The coin whose product is exactly `product` (Binance's stream names are lower case).
std::uint32_t coinOfProduct(std::uint32_t exchange, std::string_view product) {
    for (std::uint32_t coin = 0; coin < productCount(exchange); ++coin) {
        const std::string name = wsProduct(exchange, coin);
        if (name == product || (exchange == kBinance && lower(name) == product))
            return coin;
    }
    return kAnyCoin;
}

// The coin whose product an error text names as a whole word ("BTC-USD" is not "BTC-USDT").
std::uint32_t coinMentioned(std::uint32_t exchange, std::string_view text) {
    for (std::uint32_t coin = 0; coin < productCount(exchange); ++coin) {
        const std::string name = wsProduct(exchange, coin);
        for (std::size_t at = text.find(name); at != std::string_view::npos;
             at = text.find(name, at + 1)) {
            const std::size_t end = at + name.size();
            const bool before = at == 0 || !isWordChar(text[at - 1]);
            const bool after = end == text.size() || (!isWordChar(text[end]) && text[end] != '-');
            if (before && after)
                return coin;
        }
    }
    return kAnyCoin;
}

std::string textOf(const JsonValue* value) {
    return value ? value->asText() : std::string();
}

std::int64_t timeOf(const JsonValue* value) {
    const std::optional<double> ms = finiteNumber(value);
    return ms && *ms > 0 ? saturatingToInt64(*ms) : 0;
}

WsEvent ticker(std::uint32_t coin, const JsonValue* data, std::string_view priceKey,
               std::string_view openKey) {
    WsEvent event;
    event.kind = WsEventKind::Ticker;
    event.coin = coin;
    if (!data || data->kind != JsonKind::Object) {
        event.error = "티커 데이터 없음";
        return event;
    }
    const std::optional<double> price = finiteNumber(data->find(priceKey));
    if (!price || *price <= 0) {
        event.error = "가격 필드 없음";
        return event;
    }
    const std::optional<double> open = finiteNumber(data->find(openKey));
    event.ok = true;
    event.price = *price;
    event.open24h = open && *open > 0 ? *open : 0;
    return event;
}

WsEvent refused(std::uint32_t coin, std::string error) {
    WsEvent event;
    event.kind = WsEventKind::Refused;
    event.coin = coin;
    event.error = cut(std::move(error));
    return event;
}

WsEvent ofKind(WsEventKind kind) {
    WsEvent event;
    event.kind = kind;
    return event;
}

WsEvent parseBinance(const JsonValue& root) {
    if (textOf(root.find("e")) == "serverShutdown")
        return ofKind(WsEventKind::Shutdown);
    // Answers carry the request id, which is the coin's (see wsSubscribeMessages).
    const auto coinOfId = [&] {
        const std::optional<double> id = finiteNumber(root.find("id"));
        return id && *id >= 1 && *id <= kCoinCount ? static_cast<std::uint32_t>(*id) - 1 : kAnyCoin;
    };
    if (const JsonValue* error = root.find("error"))
        return refused(coinOfId(), textOf(error->find("msg")));
    if (root.find("code") && root.find("msg"))
        return refused(coinOfId(), textOf(root.find("msg")));
    const JsonValue* data = root.find("data") ? root.find("data") : &root;
    if (textOf(data->find("e")) != "24hrTicker")
        return ofKind(WsEventKind::Ignored);
    const std::uint32_t coin = coinOfProduct(kBinance, textOf(data->find("s")));
    if (coin == kAnyCoin)
        return ofKind(WsEventKind::Ignored);
    WsEvent event = ticker(coin, data, "c", "o");
    event.eventTimeMs = timeOf(data->find("E"));
    return event;
}

WsEvent parseBybit(const JsonValue& root) {
    const std::string op = textOf(root.find("op"));
    if (op == "subscribe") {
        if (textOf(root.find("success")) != "false")
            return ofKind(WsEventKind::Ignored);
        const std::string message = textOf(root.find("ret_msg"));
        const std::string reqId = textOf(root.find("req_id"));
        std::uint32_t coin = kAnyCoin;
        if (reqId.size() == 9 && reqId.starts_with("vindral-") && reqId[8] >= '0' &&
            reqId[8] < '0' + static_cast<char>(kCoinCount)) {
            coin = static_cast<std::uint32_t>(reqId[8] - '0');
        } else {
            coin = coinMentioned(kBybit, message);
        }
        return refused(coin, message);
    }
    const std::string topic = textOf(root.find("topic"));
    if (!topic.starts_with("tickers."))
        return ofKind(WsEventKind::Ignored);
    const std::uint32_t coin = coinOfProduct(kBybit, std::string_view(topic).substr(8));
    if (coin == kAnyCoin)
        return ofKind(WsEventKind::Ignored);
    WsEvent event = ticker(coin, root.find("data"), "lastPrice", "prevPrice24h");
    event.eventTimeMs = timeOf(root.find("ts"));
    return event;
}

// OKX and Bitget share the shape: {"event":...} answers, {"arg":{instId},"data":[{...}]} pushes.
WsEvent parseArgData(std::uint32_t exchange, const JsonValue& root) {
    const std::string event = textOf(root.find("event"));
    const JsonValue* arg = root.find("arg");
    if (event == "error") {
        const std::string message = textOf(root.find("msg"));
        std::uint32_t coin = coinOfProduct(exchange, textOf(arg ? arg->find("instId") : nullptr));
        if (coin == kAnyCoin)
            coin = coinMentioned(exchange, message);
        return refused(coin, message);
    }
    if (event == "notice")
        return ofKind(WsEventKind::Shutdown);
    if (!event.empty() || !arg || !root.find("data"))
        return ofKind(WsEventKind::Ignored);
    const std::uint32_t coin = coinOfProduct(exchange, textOf(arg->find("instId")));
    if (coin == kAnyCoin)
        return ofKind(WsEventKind::Ignored);
    const JsonValue* data = root.find("data")->at(0);
    WsEvent result = exchange == kOkx ? ticker(coin, data, "last", "open24h")
                                      : ticker(coin, data, "lastPr", "open24h");
    result.eventTimeMs = timeOf(data ? data->find("ts") : nullptr);
    if (result.eventTimeMs == 0)
        result.eventTimeMs = timeOf(root.find("ts"));
    return result;
}

WsEvent parseCoinbase(const JsonValue& root) {
    const std::string type = textOf(root.find("type"));
    if (type == "error") {
        std::string reason = textOf(root.find("reason"));
        if (reason.empty())
            reason = textOf(root.find("message"));
        return refused(coinMentioned(kCoinbase, reason), reason);
    }
    if (type != "ticker")
        return ofKind(WsEventKind::Ignored);
    const std::uint32_t coin = coinOfProduct(kCoinbase, textOf(root.find("product_id")));
    if (coin == kAnyCoin)
        return ofKind(WsEventKind::Ignored);
    WsEvent result = ticker(coin, &root, "price", "open_24h");
    result.eventTimeMs = isoUtcMs(textOf(root.find("time")));
    return result;
}

void appendQuoted(std::string& out, std::string_view text) {
    appendJsonString(out, text);
}

}  // namespace

std::int64_t isoUtcMs(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS, then an optional fraction, then Z.
    constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < kShape.size() + 1 || text.back() != 'Z')
        return 0;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i])
            return 0;
    }
    const auto number = [&](std::size_t at, std::size_t digits) {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    std::int64_t millis = 0;
    const std::string_view fraction = text.substr(kShape.size(), text.size() - kShape.size() - 1);
    if (!fraction.empty()) {
        if (fraction.size() < 2 || fraction[0] != '.')
            return 0;
        for (std::size_t i = 1; i < fraction.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(fraction[i])))
                return 0;
            if (i <= 3)
                millis = millis * 10 + (fraction[i] - '0');
        }
        for (std::size_t i = fraction.size(); i <= 3; ++i)
            millis *= 10;
    }
    using namespace std::chrono;
    const year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(5, 2))},
                              day{static_cast<unsigned>(number(8, 2))}};
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (!date.ok() || hour > 23 || minute > 59 || second > 60)
        return 0;
    const std::int64_t days = sys_days{date}.time_since_epoch().count();
    const std::int64_t ms =
        ((days * 24 + hour) * 60 + minute) * 60000 + std::int64_t{second} * 1000 + millis;
    return ms > 0 ? ms : 0;
}

std::string wsDefaultUrl(std::uint32_t exchange) {
    switch (exchange) {
        case kBinance:
            return "wss://stream.binance.com:9443/ws";
        case kBitget:
            return "wss://ws.bitget.com/v2/ws/public";
        case kBybit:
            return "wss://stream.bybit.com/v5/public/spot";
        case kOkx:
            return "wss://ws.okx.com:8443/ws/v5/public";
        case kCoinbase:
            return "wss://ws-feed.exchange.coinbase.com/";
        default:
            return {};
    }
}

bool wsNeedsRate(std::uint32_t exchange, std::uint32_t coin) {
    return coin < kCoinCount && !usdtRateUrl(exchange, coin).empty();
}

std::string wsProduct(std::uint32_t exchange, std::uint32_t coin) {
    if (coin == kRateCoin)
        return exchange == kCoinbase ? "USDT-USD" : std::string();
    const std::string symbol = toUtf8(coinSymbol(coin));
    switch (exchange) {
        case kBinance:
        case kBitget:
        case kBybit:
            return symbol + "USDT";
        case kOkx:
            return symbol + "-USDT";
        case kCoinbase:
            return symbol + (wsNeedsRate(exchange, coin) ? "-USD" : "-USDT");
        default:
            return {};
    }
}

std::vector<std::string> wsSubscribeMessages(std::uint32_t exchange,
                                             const std::vector<std::uint32_t>& coins,
                                             bool subscribe) {
    std::vector<std::string> messages;
    if (coins.empty())
        return messages;
    switch (exchange) {
        case kBinance:
            // One request per coin: its id names the coin when the answer is an error.
            for (std::uint32_t coin : coins) {
                std::string m = subscribe ? R"({"method":"SUBSCRIBE","params":[)"
                                          : R"({"method":"UNSUBSCRIBE","params":[)";
                appendQuoted(m, lower(wsProduct(exchange, coin)) + "@ticker");
                m += "],\"id\":" + std::to_string(coin + 1) + "}";
                messages.push_back(std::move(m));
            }
            break;
        case kBybit:
            for (std::uint32_t coin : coins) {
                std::string m = "{\"req_id\":\"vindral-" + std::to_string(coin) + "\",\"op\":";
                m += subscribe ? "\"subscribe\"" : "\"unsubscribe\"";
                m += ",\"args\":[";
                appendQuoted(m, "tickers." + wsProduct(exchange, coin));
                m += "]}";
                messages.push_back(std::move(m));
            }
            break;
        case kOkx:
        case kBitget: {
            std::string m =
                subscribe ? R"({"op":"subscribe","args":[)" : R"({"op":"unsubscribe","args":[)";
            for (std::size_t i = 0; i < coins.size(); ++i) {
                if (i != 0)
                    m += ",";
                m += exchange == kOkx ? R"({"channel":"tickers","instId":)"
                                      : R"({"instType":"SPOT","channel":"ticker","instId":)";
                appendQuoted(m, wsProduct(exchange, coins[i]));
                m += "}";
            }
            m += "]}";
            messages.push_back(std::move(m));
            break;
        }
        case kCoinbase:
            // Whether one bad product spoils the others of a request is not known: one each.
            for (std::uint32_t coin : coins) {
                std::string m = subscribe ? R"({"type":"subscribe","product_ids":[)"
                                          : R"({"type":"unsubscribe","product_ids":[)";
                appendQuoted(m, wsProduct(exchange, coin));
                m += R"(],"channels":["ticker","heartbeat"]})";
                messages.push_back(std::move(m));
            }
            break;
        default:
            break;
    }
    return messages;
}

std::string wsPingText(std::uint32_t exchange) {
    switch (exchange) {
        case kBybit:
            return R"({"req_id":"ping","op":"ping"})";
        case kOkx:
        case kBitget:
            return "ping";
        default:
            return {};
    }
}

WsEvent parseWsMessage(std::uint32_t exchange, std::string_view text) {
    if ((exchange == kOkx || exchange == kBitget) && text == "pong")
        return ofKind(WsEventKind::Ignored);
    const std::optional<JsonValue> root = parseJson(text);
    if (!root || root->kind != JsonKind::Object || exchange >= kExchangeCount)
        return ofKind(WsEventKind::Malformed);
    switch (exchange) {
        case kBinance:
            return parseBinance(*root);
        case kBybit:
            return parseBybit(*root);
        case kCoinbase:
            return parseCoinbase(*root);
        default:
            return parseArgData(exchange, *root);
    }
}

WsUrl parseWsUrl(std::string_view url) {
    WsUrl result;
    if (url.starts_with("wss://")) {
        url.remove_prefix(6);
    } else if (url.starts_with("ws://")) {
        result.secure = false;
        url.remove_prefix(5);
    } else {
        return {};
    }
    const std::size_t slash = url.find('/');
    std::string_view authority = url.substr(0, slash);
    if (slash != std::string_view::npos)
        result.target = std::string(url.substr(slash));
    std::string_view port;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return {};
        result.host = std::string(authority.substr(1, close - 1));
        if (authority.size() > close + 1) {
            if (authority[close + 1] != ':')
                return {};
            port = authority.substr(close + 2);
        }
    } else {
        const std::size_t colon = authority.rfind(':');
        result.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos)
            port = authority.substr(colon + 1);
    }
    for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return {};
    }
    result.port = port.empty() ? (result.secure ? "443" : "80") : std::string(port);
    return result;
}

WsUrl rebaseWsUrl(const WsUrl& url, const WsUrl& base) {
    WsUrl result = base;
    result.target = url.target;
    return result;
}

bool isLoopbackHost(std::string_view host) {
    boost::system::error_code ec;
    const boost::asio::ip::address address = boost::asio::ip::make_address(host, ec);
    return host == "localhost" || (!ec && address.is_loopback());
}

}  // namespace vindral
