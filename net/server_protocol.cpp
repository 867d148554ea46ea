#include "net/server_protocol.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "core/format.h"
#include "json/json.h"

namespace vindral {
namespace {

constexpr char kFormatError[] = "서버 응답 형식 오류";

double readDouble(const JsonValue& object, std::string_view key) {
    return finiteNumber(object.find(key)).value_or(0.0);
}

std::int64_t readInt64(const JsonValue& object, std::string_view key) {
    const std::optional<double> number = finiteNumber(object.find(key));
    return number ? saturatingToInt64(*number) : 0;
}

std::uint64_t readUint64(const JsonValue& object, std::string_view key) {
    const std::optional<double> number = finiteNumber(object.find(key));
    return number ? saturatingToUint64(*number) : 0;
}

bool readTrue(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    return value != nullptr && value->kind == JsonKind::Bool && value->boolean;
}

// A member that reads as a number, finite or not; empty when it is absent or not numeric.
std::optional<double> readAnyNumber(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    return value == nullptr ? std::nullopt : value->asNumber();
}

std::string readText(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    return value == nullptr ? std::string() : value->asText();
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) {
        return sum;
    }
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

std::int64_t saturatingSub(std::int64_t a, std::int64_t b) {
    std::int64_t difference = 0;
    if (!__builtin_sub_overflow(a, b, &difference)) {
        return difference;
    }
    return b < 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// Appends `"name"` to a JSON array's text, with a comma unless it is the first element.
void appendQuoted(std::string& out, bool& first, const std::wstring& name) {
    if (!first) {
        out += ',';
    }
    first = false;
    out += '"';
    out += toUtf8(name);
    out += '"';
}

// The members of a cell after its names; `cell` already holds the exchange and coin.
void readCellValues(const JsonValue& item, ServerCell& cell) {
    cell.hasData = readTrue(item, "hasData");
    cell.lastOk = readTrue(item, "lastOk");
    if (cell.hasData) {
        const std::optional<double> price = readAnyNumber(item, "price");
        const std::optional<double> reference = readAnyNumber(item, "open24h");
        cell.unusablePrice = !(price && std::isfinite(*price) && *price > 0.0) ||
                             (reference && !std::isfinite(*reference));
    }
    cell.price = readDouble(item, "price");
    cell.prevPrice = readDouble(item, "prevPrice");
    cell.open24h = readDouble(item, "open24h");
    cell.latencyMs = readDouble(item, "latencyMs");
    cell.updatedAtMs = readInt64(item, "updatedAtMs");
    cell.seq = readUint64(item, "seq");
    const JsonValue* error = item.find("error");
    if (error != nullptr && error->kind == JsonKind::String) {
        cell.error = error->text;
    }
}

std::optional<ServerCell> readCell(const JsonValue& item) {
    if (item.kind != JsonKind::Object) {
        return std::nullopt;
    }
    const std::int32_t exchange = exchangeIndexByName(readText(item, "exchange"));
    const std::int32_t coin = coinIndexBySymbol(readText(item, "coin"));
    if (exchange < 0 || coin < 0) {
        return std::nullopt;
    }
    ServerCell cell;
    cell.exchange = static_cast<std::uint32_t>(exchange);
    cell.coin = static_cast<std::uint32_t>(coin);
    readCellValues(item, cell);
    return cell;
}

// A "krw" entry: a cell without "exchange".
std::optional<ServerCell> readKrwCell(const JsonValue& item) {
    if (item.kind != JsonKind::Object) {
        return std::nullopt;
    }
    const std::int32_t coin = coinIndexBySymbol(readText(item, "coin"));
    if (coin < 0) {
        return std::nullopt;
    }
    ServerCell cell;
    cell.coin = static_cast<std::uint32_t>(coin);
    readCellValues(item, cell);
    return cell;
}

std::optional<ServerFx> readFx(const JsonValue& item) {
    if (item.kind != JsonKind::Object) {
        return std::nullopt;
    }
    ServerFx fx;
    fx.hasData = readTrue(item, "hasData");
    fx.lastOk = readTrue(item, "lastOk");
    const std::optional<double> rate = readAnyNumber(item, "krwPerUsd");
    if (rate && std::isfinite(*rate) && *rate > 0.0) {
        fx.quote.krwPerUsd = *rate;
    } else if (fx.hasData) {
        fx.unusableRate = true;
    }
    fx.quote.postedAtMs = readInt64(item, "postedAtMs");
    fx.quote.source = readText(item, "source") == "ecb" ? FxSource::Ecb : FxSource::Bank;
    const JsonValue* provider = item.find("provider");
    if (provider != nullptr && provider->kind == JsonKind::String) {
        fx.quote.provider = provider->text;
    }
    const JsonValue* error = item.find("error");
    if (error != nullptr && error->kind == JsonKind::String) {
        fx.error = error->text;
    }
    return fx;
}

void readStatsValues(const JsonValue& item, ServerExchangeStats& stats) {
    stats.scheduled = readUint64(item, "scheduled");
    stats.ok = readUint64(item, "ok");
    stats.failed = readUint64(item, "failed");
    stats.overrun = readUint64(item, "overrun");
    stats.avgLatencyMs = readDouble(item, "avgLatencyMs");
}

std::optional<ServerExchangeStats> readStats(const JsonValue& item) {
    if (item.kind != JsonKind::Object) {
        return std::nullopt;
    }
    const std::int32_t exchange = exchangeIndexByName(readText(item, "exchange"));
    if (exchange < 0) {
        return std::nullopt;
    }
    ServerExchangeStats stats;
    stats.exchange = static_cast<std::uint32_t>(exchange);
    readStatsValues(item, stats);
    return stats;
}

// Mirrors one sent cell onto the program's cell; times are moved by `offsetMs`.
void applyCell(const ServerCell& sent, PriceCell& cell, std::int64_t offsetMs) {
    if (sent.hasData && sent.unusablePrice) {
        // Like a failed fetch on the direct road: the old price stays until it goes stale.
        cell.lastOk = false;
        cell.error = kFormatError;
        return;
    }
    cell.hasData = sent.hasData;
    cell.lastOk = sent.lastOk;
    if (sent.hasData) {
        cell.price = sent.price;
        cell.prevPrice = sent.prevPrice > 0.0 ? sent.prevPrice : sent.price;
        cell.open24h = sent.open24h;
        cell.latencyMs = sent.latencyMs;
        cell.updatedAtMs = sent.updatedAtMs < 1 ? 0 : saturatingAdd(sent.updatedAtMs, offsetMs);
    }
    cell.error = sent.lastOk ? std::string() : sent.error;
    if (sent.seq != 0) {
        cell.seq = sent.seq;
    }
}

void applyStats(const ServerExchangeStats& sent, ExchangeStats& target) {
    target.scheduled = sent.scheduled;
    target.ok = sent.ok;
    target.failed = sent.failed;
    target.overrun = sent.overrun;
    target.lastLatencyMs = sent.avgLatencyMs;
    target.avgLatencyMs = sent.avgLatencyMs;
}

void applyFx(const ServerFx& sent, FxCell& fx) {
    if (sent.hasData && sent.unusableRate) {
        fx.lastOk = false;
        fx.error = kFormatError;
        return;
    }
    fx.hasData = sent.hasData;
    fx.lastOk = sent.lastOk;
    if (sent.hasData) {
        fx.quote = sent.quote;
    }
    fx.error = sent.lastOk ? std::string() : sent.error;
}

}  // namespace

std::int32_t exchangeIndexByName(std::string_view name) {
    for (std::uint32_t i = 0; i < kExchangeCount; ++i) {
        if (toUtf8(exchangeName(i)) == name) {
            return static_cast<std::int32_t>(i);
        }
    }
    return -1;
}

std::int32_t coinIndexBySymbol(std::string_view symbol) {
    for (std::uint32_t i = 0; i < kCoinCount; ++i) {
        if (toUtf8(coinSymbol(i)) == symbol) {
            return static_cast<std::int32_t>(i);
        }
    }
    return -1;
}

std::wstring percentEncode(std::string_view bytes) {
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c)) {
            out += static_cast<wchar_t>(c);
        } else {
            out += L'%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

bool isUsableSessionId(std::string_view id) {
    return !id.empty() && id.size() <= kMaxSessionIdBytes &&
           std::all_of(id.begin(), id.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

std::wstring createSessionUrl(std::wstring_view baseUrl) {
    std::wstring url(baseUrl);
    url += L"/api/sessions";
    return url;
}

std::wstring sessionUrl(std::wstring_view baseUrl, std::string_view sessionId) {
    std::wstring url = createSessionUrl(baseUrl);
    url += L'/';
    url += percentEncode(sessionId);
    return url;
}

std::wstring nextBoardUrl(std::wstring_view baseUrl, std::string_view sessionId,
                          std::uint64_t afterSeq) {
    std::wstring url = sessionUrl(baseUrl, sessionId);
    url += L"/next?after=";
    url += std::to_wstring(afterSeq);
    url += L"&timeoutMs=";
    url += std::to_wstring(kNextBoardHoldMs);
    return url;
}

std::wstring refreshSessionUrl(std::wstring_view baseUrl, std::string_view sessionId) {
    std::wstring url = sessionUrl(baseUrl, sessionId);
    url += L"/refresh";
    return url;
}

std::string buildSessionBody(const EngineConfig& config) {
    std::string body = "{\"intervalMs\":";
    body += std::to_string(config.intervalMs);
    body += ",\"exchanges\":[";
    bool first = true;
    for (std::uint32_t i = 0; i < kExchangeCount; ++i) {
        if (config.exchanges[i]) {
            appendQuoted(body, first, exchangeName(i));
        }
    }
    body += "],\"coins\":[";
    first = true;
    for (std::uint32_t i = 0; i < kCoinCount; ++i) {
        if (config.coins[i]) {
            appendQuoted(body, first, coinSymbol(i));
        }
    }
    body += ']';
    if (config.kimchiPremium) {
        body += ",\"krw\":true";
    }
    body += ",\"client\":\"vindral-pc\"}";
    return body;
}

bool parseServerBoard(std::string_view body, ServerBoard& board, std::string& error) {
    const std::optional<JsonValue> root = parseJson(body);
    if (!root || root->kind != JsonKind::Object) {
        error = kFormatError;
        return false;
    }
    const JsonValue* sessionId = root->find("sessionId");
    const JsonValue* cells = root->find("cells");
    if (sessionId == nullptr || sessionId->kind != JsonKind::String || cells == nullptr ||
        cells->kind != JsonKind::Array) {
        const JsonValue* serverError = root->find("error");
        error =
            serverError == nullptr ? std::string(kFormatError) : "서버: " + serverError->asText();
        return false;
    }
    ServerBoard parsed;
    parsed.sessionId = sessionId->text;
    parsed.seq = readUint64(*root, "seq");
    parsed.serverTimeMs = readInt64(*root, "serverTimeMs");
    for (const JsonValue& item : cells->items) {
        if (std::optional<ServerCell> cell = readCell(item)) {
            parsed.cells.push_back(std::move(*cell));
        }
    }
    const JsonValue* stats = root->find("stats");
    if (stats != nullptr && stats->kind == JsonKind::Array) {
        for (const JsonValue& item : stats->items) {
            if (const std::optional<ServerExchangeStats> entry = readStats(item)) {
                parsed.stats.push_back(*entry);
            }
        }
    }
    if (const JsonValue* krw = root->find("krw"); krw != nullptr && krw->kind == JsonKind::Array) {
        for (const JsonValue& item : krw->items) {
            if (std::optional<ServerCell> cell = readKrwCell(item)) {
                parsed.krw.push_back(std::move(*cell));
            }
        }
    }
    if (const JsonValue* krwStats = root->find("krwStats");
        krwStats != nullptr && krwStats->kind == JsonKind::Object) {
        parsed.krwStats.emplace();
        readStatsValues(*krwStats, *parsed.krwStats);
    }
    if (const JsonValue* fx = root->find("fx")) {
        parsed.fx = readFx(*fx);
    }
    board = std::move(parsed);
    return true;
}

std::string serverErrorText(const HttpResponse& response, std::string_view fallback) {
    if (!response.ok) {
        return "서버 " + response.error;
    }
    if ((response.status == 200 || response.status == 201) && !fallback.empty()) {
        return std::string(fallback);
    }
    std::string text = "서버 HTTP " + std::to_string(response.status);
    if (const std::optional<JsonValue> root = parseJson(response.body)) {
        if (const JsonValue* serverError = root->find("error")) {
            text += ' ';
            text += serverError->asText();
        }
    }
    return text;
}

bool isSessionGone(const HttpResponse& response) {
    return response.ok && response.status == 404;
}

void applyServerBoard(const ServerBoard& board, const EngineConfig& config, CellGrid& cells,
                      BoardStats& stats, KrwBoard& krw, std::int64_t localNowMs) {
    const std::int64_t offsetMs =
        board.serverTimeMs > 0 ? saturatingSub(localNowMs, board.serverTimeMs) : 0;
    for (const ServerCell& sent : board.cells) {
        if (sent.exchange < kExchangeCount && sent.coin < kCoinCount &&
            config.exchanges[sent.exchange] && config.coins[sent.coin]) {
            applyCell(sent, cells[sent.exchange][sent.coin], offsetMs);
        }
    }
    for (const ServerExchangeStats& sent : board.stats) {
        if (sent.exchange < kExchangeCount) {
            applyStats(sent, stats.exchanges[sent.exchange]);
        }
    }
    stats.lastTickMs = localNowMs;
    if (!config.kimchiPremium) {
        return;
    }
    for (const ServerCell& sent : board.krw) {
        if (sent.coin < kCoinCount && config.coins[sent.coin]) {
            applyCell(sent, krw.upbit[sent.coin], offsetMs);
        }
    }
    if (board.krwStats) {
        applyStats(*board.krwStats, krw.upbitStats);
    }
    if (board.fx) {
        applyFx(*board.fx, krw.fx);
    }
}

}  // namespace vindral
