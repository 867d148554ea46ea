#include "tests/support/fake_price_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "core/format.h"
#include "json/json.h"
#include "net/server_protocol.h"
#include "tests/support/fake_exchange.h"

namespace vindral::test {
namespace {

constexpr std::string_view kSessionsPath = "/api/sessions";
constexpr double kFakeLatencyMs = 12.5;

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

TestResponse notFound() {
    return TestResponse::json(404, "{\"error\":\"unknown session\"}");
}

TestResponse controlError(const std::string& text) {
    return TestResponse::json(400, "{\"error\":" + jsonQuote(text) + "}");
}

std::int64_t integerParam(const std::map<std::string, std::string>& query, const char* name,
                          std::int64_t fallback) {
    const auto it = query.find(name);
    if (it == query.end() || it->second.empty()) {
        return fallback;
    }
    char* end = nullptr;
    const long long value = std::strtoll(it->second.c_str(), &end, 10);
    return *end == '\0' ? value : fallback;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> cellParam(
    const std::map<std::string, std::string>& query) {
    const auto exchange = query.find("exchange");
    const auto coin = query.find("coin");
    if (exchange == query.end() || coin == query.end()) {
        return std::nullopt;
    }
    const std::int32_t e = exchangeIndexByName(exchange->second);
    const std::int32_t c = coinIndexBySymbol(coin->second);
    if (e < 0 || c < 0) {
        return std::nullopt;
    }
    return std::pair{static_cast<std::uint32_t>(e), static_cast<std::uint32_t>(c)};
}

std::string stringArray(const std::vector<std::string>& items) {
    std::string json = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        json += i ? "," : "";
        json += jsonQuote(items[i]);
    }
    return json + "]";
}

const char* const kCallNames[kServerCallKinds] = {"create", "poll", "update", "refresh", "delete"};

}  // namespace

FakePriceServer::FakePriceServer()
    : server_([this](const TestRequest& request) { return handle(request); }) {}

FakePriceServer::~FakePriceServer() {
    releasePolls();
}

std::uint16_t FakePriceServer::port() const {
    return server_.port();
}

std::wstring FakePriceServer::baseUrlW() const {
    return server_.baseUrlW();
}

std::int64_t FakePriceServer::serverNowMsLocked() const {
    return wallClockMs() + clockOffsetMs_;
}

void FakePriceServer::bumpAllLocked() {
    for (FakeSession& session : sessions_) {
        ++session.seq;
    }
}

void FakePriceServer::setPrice(std::uint32_t exchange, std::uint32_t coin, double price,
                               double open24h) {
    {
        std::lock_guard lock(mutex_);
        Cell& cell = cells_.at(exchange).at(coin);
        cell.prevPrice = cell.hasData ? cell.price : price;
        cell.price = price;
        cell.open24h = open24h;
        cell.hasData = true;
        cell.lastOk = true;
        cell.error.clear();
        cell.updatedAtMs = serverNowMsLocked();
        cell.seq = ++cellSeq_;
        ++counters_[exchange].ok;
        bumpAllLocked();
    }
    server_.notify();
}

void FakePriceServer::setCellError(std::uint32_t exchange, std::uint32_t coin, std::string error) {
    {
        std::lock_guard lock(mutex_);
        Cell& cell = cells_.at(exchange).at(coin);
        cell.lastOk = false;
        cell.error = std::move(error);
        ++counters_[exchange].failed;
        bumpAllLocked();
    }
    server_.notify();
}

void FakePriceServer::setClockOffsetMs(std::int64_t offsetMs) {
    std::lock_guard lock(mutex_);
    clockOffsetMs_ = offsetMs;
}

void FakePriceServer::setHoldLimit(std::chrono::milliseconds limit) {
    std::lock_guard lock(mutex_);
    holdLimit_ = limit;
}

void FakePriceServer::script(ServerCall call, ServerScript script) {
    if (script.times == 0) {
        return;
    }
    std::lock_guard lock(mutex_);
    scripts_[static_cast<size_t>(call)].push_back(std::move(script));
}

void FakePriceServer::clearScripts() {
    std::lock_guard lock(mutex_);
    for (auto& queue : scripts_) {
        queue.clear();
    }
}

void FakePriceServer::forgetSessions() {
    {
        std::lock_guard lock(mutex_);
        sessions_.clear();
    }
    server_.notify();
}

void FakePriceServer::releasePolls() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    server_.notify();
}

std::vector<FakeSession> FakePriceServer::sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
}

std::size_t FakePriceServer::callCount(ServerCall call) const {
    std::lock_guard lock(mutex_);
    return calls_[static_cast<size_t>(call)].size();
}

bool FakePriceServer::waitForCalls(ServerCall call, std::size_t count,
                                   std::chrono::milliseconds timeout) const {
    return server_.waitFor(timeout, [&] { return callCount(call) >= count; });
}

std::vector<TestRequest> FakePriceServer::calls(ServerCall call) const {
    std::lock_guard lock(mutex_);
    return calls_[static_cast<size_t>(call)];
}

FakeSession* FakePriceServer::findLocked(const std::string& id) {
    const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                                 [&](const FakeSession& s) { return s.id == id; });
    return it == sessions_.end() ? nullptr : &*it;
}

bool FakePriceServer::readSettings(const std::string& body, FakeSession& session) const {
    const auto root = parseJson(body);
    if (!root || root->kind != JsonKind::Object) {
        return false;
    }
    const JsonValue* interval = root->find("intervalMs");
    const JsonValue* exchanges = root->find("exchanges");
    const JsonValue* coins = root->find("coins");
    if (!interval || !interval->asNumber() || !exchanges || exchanges->kind != JsonKind::Array ||
        !coins || coins->kind != JsonKind::Array) {
        return false;
    }
    session.intervalMs = static_cast<std::int32_t>(saturatingToInt64(*interval->asNumber()));
    session.exchanges.clear();
    session.coins.clear();
    for (const JsonValue& item : exchanges->items) {
        session.exchanges.push_back(item.text);
    }
    for (const JsonValue& item : coins->items) {
        session.coins.push_back(item.text);
    }
    return true;
}

std::string FakePriceServer::boardLocked(const FakeSession& session) const {
    std::string cells;
    std::string stats;
    for (const std::string& exchangeText : session.exchanges) {
        const std::int32_t e = exchangeIndexByName(exchangeText);
        if (e < 0) {
            continue;
        }
        const ExchangeCounters& counters = counters_[e];
        stats += std::string(stats.empty() ? "" : ",") +
                 "{\"exchange\":" + jsonQuote(exchangeText) +
                 ",\"scheduled\":" + std::to_string(counters.ok + counters.failed) +
                 ",\"ok\":" + std::to_string(counters.ok) +
                 ",\"failed\":" + std::to_string(counters.failed) +
                 ",\"overrun\":0,\"avgLatencyMs\":" + number(kFakeLatencyMs) + "}";
        for (const std::string& coinText : session.coins) {
            const std::int32_t c = coinIndexBySymbol(coinText);
            if (c < 0) {
                continue;
            }
            const Cell& cell = cells_[e][c];
            cells +=
                std::string(cells.empty() ? "" : ",") + "{\"exchange\":" + jsonQuote(exchangeText) +
                ",\"coin\":" + jsonQuote(coinText) +
                ",\"hasData\":" + (cell.hasData ? "true" : "false") +
                ",\"lastOk\":" + (cell.lastOk ? "true" : "false") +
                ",\"price\":" + number(cell.price) + ",\"prevPrice\":" + number(cell.prevPrice) +
                ",\"open24h\":" + number(cell.open24h) +
                ",\"latencyMs\":" + number(cell.hasData ? kFakeLatencyMs : 0) +
                ",\"updatedAtMs\":" + std::to_string(cell.updatedAtMs) +
                ",\"seq\":" + std::to_string(cell.seq) + ",\"error\":" + jsonQuote(cell.error) +
                "}";
        }
    }
    return "{\"sessionId\":" + jsonQuote(session.id) + ",\"seq\":" + std::to_string(session.seq) +
           ",\"serverTimeMs\":" + std::to_string(serverNowMsLocked()) +
           ",\"intervalMs\":" + std::to_string(session.intervalMs) + ",\"cells\":[" + cells +
           "],\"stats\":[" + stats + "]}";
}

std::optional<ServerCall> FakePriceServer::classify(const TestRequest& request,
                                                    std::string& id) const {
    const std::string& path = request.path;
    if (path == kSessionsPath) {
        return request.method == "POST" ? std::optional(ServerCall::Create) : std::nullopt;
    }
    const std::string prefix = std::string(kSessionsPath) + "/";
    if (path.rfind(prefix, 0) != 0) {
        return std::nullopt;
    }
    std::string rest = path.substr(prefix.size());
    const size_t slash = rest.find('/');
    id = rest.substr(0, slash);
    const std::string tail = slash == std::string::npos ? "" : rest.substr(slash);
    if (id.empty()) {
        return std::nullopt;
    }
    if (tail == "/next" && request.method == "GET") {
        return ServerCall::Poll;
    }
    if (tail == "/refresh" && request.method == "POST") {
        return ServerCall::Refresh;
    }
    if (tail.empty() && request.method == "PUT") {
        return ServerCall::Update;
    }
    if (tail.empty() && request.method == "DELETE") {
        return ServerCall::Delete;
    }
    return std::nullopt;
}

TestResponse FakePriceServer::handle(const TestRequest& request) {
    if (request.path.rfind("/control/", 0) == 0) {
        return handleControl(request);
    }
    std::string id;
    const std::optional<ServerCall> call = classify(request, id);
    if (!call) {
        return TestResponse::json(404, "{\"error\":\"no such route\"}");
    }
    std::optional<ServerScript> script;
    {
        std::lock_guard lock(mutex_);
        const size_t kind = static_cast<size_t>(*call);
        calls_[kind].push_back(request);
        auto& queue = scripts_[kind];
        if (!queue.empty()) {
            script = queue.front();
            if (queue.front().times > 0 && --queue.front().times == 0) {
                queue.pop_front();
            }
        }
    }
    server_.notify();
    if (script && script->delay.count() > 0) {
        server_.waitFor(script->delay, [this] {
            std::lock_guard lock(mutex_);
            return released_;
        });
    }
    if (script && script->reply) {
        return *script->reply;
    }
    return handleSession(*call, id, request);
}

TestResponse FakePriceServer::handleSession(ServerCall call, const std::string& id,
                                            const TestRequest& request) {
    std::unique_lock lock(mutex_);
    if (call == ServerCall::Create) {
        FakeSession session;
        if (!readSettings(request.body, session)) {
            return TestResponse::json(400, "{\"error\":\"bad session body\"}");
        }
        session.id = "s";
        session.id += std::to_string(nextSessionNumber_++);
        session.seq = 1;
        sessions_.push_back(session);
        return TestResponse::json(201, boardLocked(session));
    }
    FakeSession* session = findLocked(id);
    if (!session) {
        return notFound();
    }
    switch (call) {
        case ServerCall::Poll: {
            const auto query = parseQuery(request.query);
            const auto after = static_cast<std::uint64_t>(integerParam(query, "after", 0));
            const std::chrono::milliseconds hold = std::min(
                holdLimit_, std::chrono::milliseconds(integerParam(query, "timeoutMs", 0)));
            if (session->seq == after && !released_) {
                lock.unlock();
                server_.waitFor(hold, [&] {
                    std::lock_guard inner(mutex_);
                    const FakeSession* s = findLocked(id);
                    return !s || s->seq != after || released_;
                });
                lock.lock();
                session = findLocked(id);
                if (!session) {
                    return notFound();
                }
            }
            return TestResponse::json(200, boardLocked(*session));
        }
        case ServerCall::Update: {
            FakeSession changed = *session;
            if (!readSettings(request.body, changed)) {
                return TestResponse::json(400, "{\"error\":\"bad session body\"}");
            }
            ++changed.seq;
            *session = changed;
            const std::string board = boardLocked(changed);
            lock.unlock();
            server_.notify();
            return TestResponse::json(200, board);
        }
        case ServerCall::Refresh:
            ++session->seq;
            lock.unlock();
            server_.notify();
            return TestResponse::json(200, "{}");
        case ServerCall::Delete:
            sessions_.erase(sessions_.begin() + (session - sessions_.data()));
            lock.unlock();
            server_.notify();
            return TestResponse{204, {}, {}, ResponseMode::Reply};
        case ServerCall::Create:
            break;
    }
    return notFound();
}

TestResponse FakePriceServer::handleControl(const TestRequest& request) {
    const auto query = parseQuery(request.query);
    const std::string& what = request.path;
    if (what == "/control/state") {
        std::lock_guard lock(mutex_);
        std::string json = "{\"sessions\":[";
        for (size_t i = 0; i < sessions_.size(); ++i) {
            const FakeSession& s = sessions_[i];
            json += std::string(i ? "," : "") + "{\"id\":" + jsonQuote(s.id) +
                    ",\"seq\":" + std::to_string(s.seq) +
                    ",\"intervalMs\":" + std::to_string(s.intervalMs) +
                    ",\"exchanges\":" + stringArray(s.exchanges) +
                    ",\"coins\":" + stringArray(s.coins) + "}";
        }
        json += "],\"calls\":{";
        for (size_t k = 0; k < kServerCallKinds; ++k) {
            json += std::string(k ? "," : "") + "\"" + kCallNames[k] +
                    "\":" + std::to_string(calls_[k].size());
        }
        return TestResponse::json(200, json + "}}");
    }
    if (what == "/control/price" || what == "/control/error") {
        const auto cell = cellParam(query);
        if (!cell) {
            return controlError("unknown exchange or coin");
        }
        if (what == "/control/error") {
            setCellError(cell->first, cell->second, request.body);
            return TestResponse::json(200, "{}");
        }
        const auto price = query.find("price");
        if (price == query.end()) {
            return controlError("price missing");
        }
        const auto open = query.find("open");
        setPrice(cell->first, cell->second, std::strtod(price->second.c_str(), nullptr),
                 open == query.end() ? 0.0 : std::strtod(open->second.c_str(), nullptr));
    } else if (what == "/control/forget") {
        forgetSessions();
    } else if (what == "/control/script") {
        const auto callName = query.find("call");
        const auto found = callName == query.end()
                               ? std::end(kCallNames)
                               : std::find_if(std::begin(kCallNames), std::end(kCallNames),
                                              [&](const char* n) { return callName->second == n; });
        if (found == std::end(kCallNames)) {
            return controlError("unknown call");
        }
        ServerScript script;
        script.delay = std::chrono::milliseconds(integerParam(query, "delayMs", 0));
        script.times = static_cast<int>(integerParam(query, "times", -1));
        if (query.count("status") || query.count("mode")) {
            TestResponse reply = TestResponse::json(
                static_cast<int>(integerParam(query, "status", 200)), request.body);
            if (query.count("mode") && !parseResponseMode(query.at("mode"), reply.mode)) {
                return controlError("unknown mode");
            }
            script.reply = std::move(reply);
        }
        this->script(static_cast<ServerCall>(found - std::begin(kCallNames)), std::move(script));
    } else if (what == "/control/clear-scripts") {
        clearScripts();
    } else if (what == "/control/hold") {
        setHoldLimit(std::chrono::milliseconds(integerParam(query, "ms", 20000)));
    } else if (what == "/control/release") {
        releasePolls();
    } else if (what == "/control/clock") {
        setClockOffsetMs(integerParam(query, "offsetMs", 0));
    } else {
        return controlError("unknown control");
    }
    return TestResponse::json(200, "{}");
}

}  // namespace vindral::test
