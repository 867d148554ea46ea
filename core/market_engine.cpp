#include "core/market_engine.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/format.h"
#include "core/kimchi_premium.h"

namespace vindral {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A single timed wait never exceeds one day; longer deadlines are reached in several waits.
constexpr milliseconds kMaxSingleWait{86'400'000};
constexpr double kLatencySmoothing = 0.2;
constexpr char kServerFormatError[] = "서버 응답 형식 오류";

// The remaining time in whole milliseconds rounded up, so a wait never ends before its deadline.
milliseconds remainingWait(Clock::time_point deadline, Clock::time_point now) {
    return std::min(std::chrono::ceil<milliseconds>(deadline - now), kMaxSingleWait);
}

std::int64_t monotonicMs(Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(t.time_since_epoch()).count();
}

bool cellEnabled(const EngineConfig& config, std::uint32_t exchange, std::uint32_t coin) {
    return config.exchanges[exchange] && config.coins[coin];
}

bool upbitEnabled(const EngineConfig& config, std::uint32_t coin) {
    return config.kimchiPremium && config.coins[coin];
}

void acceptPrice(PriceCell& cell, double price, double open24h, double latencyMs,
                 std::uint64_t seq) {
    cell.lastOk = true;
    cell.prevPrice = cell.hasData ? cell.price : price;
    cell.price = price;
    cell.open24h = open24h;
    cell.latencyMs = latencyMs;
    cell.updatedAtMs = wallClockMs();
    cell.seq = seq;
    cell.hasData = true;
    cell.error.clear();
}

void countSuccess(ExchangeStats& target, double latencyMs) {
    ++target.ok;
    target.lastLatencyMs = latencyMs;
    target.avgLatencyMs = target.avgLatencyMs == 0 ? latencyMs
                                                   : (1 - kLatencySmoothing) * target.avgLatencyMs +
                                                         kLatencySmoothing * latencyMs;
    target.maxLatencyMs = std::max(target.maxLatencyMs, latencyMs);
}

// One tick for one worker: it starts a fetch when idle, otherwise the tick is an overrun. Neither
// is counted on the warm-up tick.
void dispatch(bool idle, bool warmUp, bool& go, bool& uncounted, ExchangeStats& target,
              std::condition_variable& wake) {
    if (idle) {
        if (!warmUp) {
            ++target.scheduled;
        }
        uncounted = warmUp;
        go = true;
        wake.notify_one();
    } else if (!uncounted) {
        // A slow source misses this tick; no second fetch is queued.
        ++target.scheduled;
        ++target.overrun;
    }
}

}  // namespace

MarketEngine::MarketEngine(ExchangeEndpoints endpoints, KrwEndpoints krwEndpoints)
    : endpoints(std::move(endpoints)), krwEndpoints(std::move(krwEndpoints)) {}

MarketEngine::~MarketEngine() {
    stop();
}

void MarketEngine::start(const Settings& settings, std::function<void()> callback) {
    stop();
    Settings copy = settings;
    const EngineConfig next = toEngineConfig(copy);
    {
        std::lock_guard lock(mutex);
        config = next;
        stopping = false;
        tickNow = false;
        onChange = std::move(callback);
        cells = CellGrid{};
        krw = KrwBoard{};
        upbitWorker.go = false;
        upbitWorker.uncounted = false;
        fxDue = config.kimchiPremium;
        resetStats();
        serverRoad = !config.serverUrl.empty();
        sessionId.clear();
        serverAnswered = false;
        afterSeq = 0;
        settingsDirty = false;
        refreshRequested = false;
        pollPacing = PollPacing{};
        lossPacing = SessionLossPacing{};
        createNotBefore = Clock::time_point{};
    }
    try {
        startThreads();
    } catch (...) {
        // Join whatever did start before the error leaves.
        running = true;
        stop();
        throw;
    }
    running = true;
}

void MarketEngine::startThreads() {
    if (serverRoad) {
        pollClient.resetCancel();
        controlClient.resetCancel();
        sessionThread = std::thread([this] { sessionLoop(); });
        controlThread = std::thread([this] { controlLoop(); });
        return;
    }
    fxClient.resetCancel();
    upbitWorker.thread = std::thread([this] { upbitLoop(); });
    fxThread = std::thread([this] { fxLoop(); });
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        for (std::uint32_t c = 0; c < kCoinCount; ++c) {
            auto worker = std::make_unique<Worker>();
            worker->exchange = e;
            worker->coin = c;
            workers.push_back(std::move(worker));
        }
    }
    for (auto& worker : workers) {
        Worker* w = worker.get();
        w->thread = std::thread([this, w] { workerLoop(*w); });
    }
    schedulerThread = std::thread([this] { schedulerLoop(); });
}

void MarketEngine::applySettings(const Settings& settings) {
    Settings copy = settings;
    const EngineConfig next = toEngineConfig(copy);
    std::function<void()> callback;
    {
        std::lock_guard lock(mutex);
        if (next.serverUrl != config.serverUrl) {
            callback = onChange;
        } else {
            for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
                for (std::uint32_t c = 0; c < kCoinCount; ++c) {
                    if (cellEnabled(next, e, c) && !cellEnabled(config, e, c)) {
                        cells[e][c] = PriceCell{};
                    }
                }
            }
            for (std::uint32_t c = 0; c < kCoinCount; ++c) {
                if (upbitEnabled(next, c) && !upbitEnabled(config, c)) {
                    krw.upbit[c] = PriceCell{};
                }
            }
            fxDue = fxDue || (next.kimchiPremium && !config.kimchiPremium);
            config = next;
            resetStats();
            tickNow = true;
            settingsDirty = serverRoad;
            scheduleWake.notify_all();
            serverWake.notify_all();
            fxWake.notify_all();
            return;
        }
    }
    start(settings, std::move(callback));
}

void MarketEngine::refreshNow() {
    {
        std::lock_guard lock(mutex);
        refreshRequested = serverRoad;
        tickNow = true;
        serverWake.notify_all();
    }
    scheduleWake.notify_all();
}

PriceBoard MarketEngine::snapshot() const {
    PriceBoard board;
    std::lock_guard lock(mutex);
    board.config = config;
    board.cells = cells;
    board.krw = krw;
    board.stats.exchanges = stats;
    board.stats.ticks = ticks;
    board.stats.lastTickMs = lastTickMs;
    board.stats.statsSinceMs = statsSinceMs;
    board.serverAnswered = serverAnswered;
    board.stats.inFlight = static_cast<std::uint32_t>(
        std::count_if(workers.begin(), workers.end(), [](const auto& w) { return w->busy; }));
    return board;
}

void MarketEngine::stop() {
    if (!running) {
        return;
    }
    bool server = false;
    {
        std::lock_guard lock(mutex);
        stopping = true;
        server = serverRoad;
    }
    scheduleWake.notify_all();
    serverWake.notify_all();
    fxWake.notify_all();
    upbitWorker.wake.notify_all();
    for (auto& worker : workers) {
        worker->wake.notify_all();
    }
    // The rate's two sources could otherwise hold stop for both their time-outs.
    fxClient.cancelAll();
    // A long poll in flight returns at once. Direct fetches are not cancelled: they end within
    // the client's time-outs.
    if (server) {
        pollClient.cancelAll();
        controlClient.cancelAll();
    }
    joinThreads();

    std::string endedSession;
    std::wstring base;
    {
        std::lock_guard lock(mutex);
        if (serverRoad) {
            endedSession = std::move(sessionId);
            sessionId.clear();
        }
        base = config.serverUrl;
    }
    if (!endedSession.empty()) {
        HttpClient once;
        once.request(L"DELETE", sessionUrl(base, endedSession), {}, kDeleteSessionTimeoutMs);
    }
    std::lock_guard lock(mutex);
    serverRoad = false;
    running = false;
}

void MarketEngine::joinThreads() {
    if (schedulerThread.joinable()) {
        schedulerThread.join();
    }
    for (auto& worker : workers) {
        if (worker->thread.joinable()) {
            worker->thread.join();
        }
    }
    if (upbitWorker.thread.joinable()) {
        upbitWorker.thread.join();
    }
    if (fxThread.joinable()) {
        fxThread.join();
    }
    {
        // snapshot counts busy workers under the lock; the vector changes under it too.
        std::lock_guard lock(mutex);
        workers.clear();
    }
    if (sessionThread.joinable()) {
        sessionThread.join();
    }
    if (controlThread.joinable()) {
        controlThread.join();
    }
}

void MarketEngine::resetStats() {
    stats = {};
    krw.upbitStats = {};
    tickIndex = 0;
    statsSinceMs = wallClockMs();
}

void MarketEngine::schedulerLoop() {
    std::unique_lock lock(mutex);
    Clock::time_point t = Clock::now();
    if (stopping) {
        return;
    }
    for (;;) {
        ++ticks;
        lastTickMs = wallClockMs();
        const bool first = tickIndex == 0;
        ++tickIndex;
        for (auto& worker : workers) {
            Worker& w = *worker;
            if (cellEnabled(config, w.exchange, w.coin)) {
                dispatch(!w.busy && !w.go, first, w.go, w.uncounted, stats[w.exchange], w.wake);
            }
        }
        if (config.kimchiPremium) {
            Worker& u = upbitWorker;
            dispatch(!u.busy && !u.go, first, u.go, u.uncounted, krw.upbitStats, u.wake);
        }

        // Missed ticks are dropped, never caught up in a burst.
        t += milliseconds(config.intervalMs);
        Clock::time_point now = Clock::now();
        if (t < now) {
            t = now;
        }
        while (!stopping && !tickNow && now < t) {
            scheduleWake.wait_for(lock, remainingWait(t, now));
            now = Clock::now();
        }
        if (tickNow) {
            // A refresh or settings change re-bases the schedule on this moment.
            tickNow = false;
            t = Clock::now();
        }
        if (stopping) {
            return;
        }
    }
}

bool MarketEngine::takeGo(std::unique_lock<std::mutex>& lock, Worker& w) {
    w.wake.wait(lock, [&] { return stopping || w.go; });
    if (stopping) {
        return false;
    }
    w.go = false;
    w.busy = true;
    return true;
}

void MarketEngine::workerLoop(Worker& w) {
    const std::wstring url = tickerUrl(w.exchange, w.coin, endpoints);
    const std::wstring rateUrl = usdtRateUrl(w.exchange, w.coin, endpoints);
    std::unique_lock lock(mutex);
    while (takeGo(lock, w)) {
        lock.unlock();

        TickerQuote quote;
        std::string error;
        const HttpResponse response = tickerClient.request(L"GET", url, {}, 0);
        bool ok = interpretTickerResponse(w.exchange, response, quote, error);
        double latencyMs = response.elapsedMs;
        if (ok && !rateUrl.empty()) {
            TickerQuote rate;
            std::string rateError;
            const HttpResponse rateResponse = tickerClient.request(L"GET", rateUrl, {}, 0);
            if (interpretTickerResponse(w.exchange, rateResponse, rate, rateError)) {
                quote = convertUsdQuote(quote, rate);
                latencyMs += rateResponse.elapsedMs;
            } else {
                ok = false;
                error = kUsdtRateErrorPrefix + rateError;
            }
        }

        lock.lock();
        w.busy = false;
        ExchangeStats scratch;
        ExchangeStats& target = w.uncounted ? scratch : stats[w.exchange];
        w.uncounted = false;
        PriceCell& cell = cells[w.exchange][w.coin];
        if (ok) {
            acceptPrice(cell, quote.price, quote.open24h, latencyMs, ++updateCounter);
            countSuccess(target, latencyMs);
        } else {
            cell.lastOk = false;
            cell.error = std::move(error);
            ++target.failed;
        }
        notifyUnlocked(lock);
    }
}

void MarketEngine::upbitLoop() {
    Worker& w = upbitWorker;
    std::unique_lock lock(mutex);
    while (takeGo(lock, w)) {
        // One request for every shown coin, as they are when the fetch starts.
        const IndexList coins = enabledCoins(config);
        const std::wstring url = upbitTickerUrl(coins, krwEndpoints);
        lock.unlock();

        const HttpResponse response = tickerClient.request(L"GET", url, {}, 0);
        const UpbitReading reading = interpretUpbitResponse(response, coins);

        lock.lock();
        w.busy = false;
        ExchangeStats scratch;
        ExchangeStats& target = w.uncounted ? scratch : krw.upbitStats;
        w.uncounted = false;
        // The request counts as a success only when it priced every coin it asked for.
        bool allPriced = !coins.empty();
        for (const std::uint32_t c : coins) {
            PriceCell& cell = krw.upbit[c];
            if (reading.error[c].empty() && reading.priceKrw[c] > 0) {
                acceptPrice(cell, reading.priceKrw[c], 0, response.elapsedMs, ++updateCounter);
            } else {
                allPriced = false;
                cell.lastOk = false;
                cell.error = reading.error[c];
            }
        }
        if (allPriced) {
            countSuccess(target, response.elapsedMs);
        } else {
            ++target.failed;
        }
        notifyUnlocked(lock);
    }
}

void MarketEngine::fxLoop() {
    std::unique_lock lock(mutex);
    Clock::time_point next{};
    for (;;) {
        if (stopping) {
            return;
        }
        if (!config.kimchiPremium) {
            fxWake.wait(lock);
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (fxDue) {
            fxDue = false;
            next = now;
        }
        if (now < next) {
            fxWake.wait_for(lock, remainingWait(next, now));
            continue;
        }
        next = now + milliseconds(kFxFetchIntervalMs);
        lock.unlock();
        const FxFetch fetch = fetchUsdKrwRate(fxClient, krwEndpoints);
        lock.lock();
        if (stopping) {
            return;
        }
        applyFxFetch(krw.fx, fetch.quote, fetch.error);
        notifyUnlocked(lock);
    }
}

void MarketEngine::notifyUnlocked(std::unique_lock<std::mutex>& lock) {
    const bool wasStopping = stopping;
    lock.unlock();
    if (!wasStopping && onChange) {
        onChange();
    }
    lock.lock();
}

void MarketEngine::markServerError(const std::string& text) {
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        for (std::uint32_t c = 0; c < kCoinCount; ++c) {
            if (cellEnabled(config, e, c)) {
                cells[e][c].lastOk = false;
                cells[e][c].error = text;
            }
        }
    }
}

void MarketEngine::acceptServerBoard(const ServerBoard& board) {
    BoardStats boardStats;
    boardStats.exchanges = stats;
    boardStats.lastTickMs = lastTickMs;
    applyServerBoard(board, config, cells, boardStats, krw, wallClockMs());
    serverAnswered = true;
    stats = boardStats.exchanges;
    lastTickMs = boardStats.lastTickMs;
}

void MarketEngine::loseSession() {
    sessionId.clear();
    const Clock::time_point now = Clock::now();
    createNotBefore = now + milliseconds(sessionLossWaitMs(lossPacing, monotonicMs(now)));
}

void MarketEngine::waitServer(std::unique_lock<std::mutex>& lock, std::int32_t ms,
                              const bool* alsoEndWhen) {
    const Clock::time_point deadline = Clock::now() + milliseconds(ms);
    for (Clock::time_point now = Clock::now();
         !stopping && !(alsoEndWhen && *alsoEndWhen) && now < deadline; now = Clock::now()) {
        serverWake.wait_for(lock, remainingWait(deadline, now));
    }
}

void MarketEngine::sessionLoop() {
    std::unique_lock lock(mutex);
    while (!stopping) {
        ServerBoard board;
        std::string parseError;
        if (sessionId.empty()) {
            const Clock::time_point now = Clock::now();
            if (now < createNotBefore) {
                waitServer(lock,
                           static_cast<std::int32_t>(remainingWait(createNotBefore, now).count()),
                           nullptr);
                continue;
            }
            // The new session is created with the current settings.
            const std::string body = buildSessionBody(config);
            const std::wstring url = createSessionUrl(config.serverUrl);
            settingsDirty = false;
            lock.unlock();
            const HttpResponse response =
                pollClient.request(L"POST", url, body, kCreateSessionTimeoutMs);
            lock.lock();
            if (stopping) {
                break;
            }
            const bool created = response.ok &&
                                 (response.status == 200 || response.status == 201) &&
                                 parseServerBoard(response.body, board, parseError);
            // An id that cannot go into a URL could never be polled.
            if (created && isUsableSessionId(board.sessionId)) {
                sessionId = board.sessionId;
                afterSeq = board.seq;
                pollPacing = PollPacing{};
                acceptServerBoard(board);
                serverWake.notify_all();
                notifyUnlocked(lock);
                continue;
            }
            if (created) {
                parseError = kServerFormatError;
            }
            markServerError(serverErrorText(response, parseError));
            notifyUnlocked(lock);
            // A settings change during the wait retries at once with the new settings.
            waitServer(lock, kCreateRetryMs, &settingsDirty);
            continue;
        }

        const std::string polledId = sessionId;
        const std::wstring url = nextBoardUrl(config.serverUrl, polledId, afterSeq);
        lock.unlock();
        const Clock::time_point sent = Clock::now();
        const HttpResponse response = pollClient.request(L"GET", url, {}, kNextBoardTimeoutMs);
        const std::int64_t answeredInMs =
            std::chrono::duration_cast<milliseconds>(Clock::now() - sent).count();
        lock.lock();
        if (stopping) {
            break;
        }
        if (sessionId != polledId) {
            // Replaced or forgotten meanwhile: a late answer never touches the board.
            continue;
        }
        if (isSessionGone(response)) {
            loseSession();
            continue;
        }
        if (response.ok && response.status == 200 &&
            parseServerBoard(response.body, board, parseError)) {
            resetSessionLoss(lossPacing);
            // The same seq means the server's hold time ran out with nothing new.
            const bool nothingNew = board.seq == afterSeq;
            if (!nothingNew) {
                afterSeq = board.seq;
                acceptServerBoard(board);
                notifyUnlocked(lock);
            }
            // A server that answers at once with nothing new would otherwise be polled in a loop.
            const std::int32_t waitMs = nextPollWaitMs(pollPacing, nothingNew, answeredInMs);
            if (waitMs > 0) {
                waitServer(lock, waitMs, nullptr);
            }
            continue;
        }
        markServerError(serverErrorText(response, parseError));
        notifyUnlocked(lock);
        waitServer(lock, kPollRetryMs, nullptr);
    }
}

void MarketEngine::controlLoop() {
    std::unique_lock lock(mutex);
    for (;;) {
        if (stopping) {
            return;
        }
        // Work asked for while there is no session waits until the session thread made one.
        if ((!settingsDirty && !refreshRequested) || sessionId.empty()) {
            serverWake.wait(lock);
            continue;
        }
        const std::string id = sessionId;
        if (!settingsDirty) {
            refreshRequested = false;
            const std::wstring url = refreshSessionUrl(config.serverUrl, id);
            lock.unlock();
            // The new prices arrive through the long poll; the answer is not looked at.
            controlClient.request(L"POST", url, {}, kRefreshSessionTimeoutMs);
            lock.lock();
            continue;
        }
        // A pending refresh is dropped: only the update is sent.
        settingsDirty = false;
        refreshRequested = false;
        const std::string body = buildSessionBody(config);
        const std::wstring url = sessionUrl(config.serverUrl, id);
        lock.unlock();
        const HttpResponse response =
            controlClient.request(L"PUT", url, body, kUpdateSessionTimeoutMs);
        lock.lock();
        if (stopping) {
            return;
        }
        if (isSessionGone(response)) {
            // The session thread creates a new session with the current settings.
            if (sessionId == id) {
                loseSession();
            }
            continue;
        }
        ServerBoard board;
        std::string parseError;
        if (response.ok && response.status == 200 &&
            parseServerBoard(response.body, board, parseError)) {
            if (sessionId == id) {
                acceptServerBoard(board);
            }
            notifyUnlocked(lock);
            continue;
        }
        // Failed updates are not shown; they are retried until they land.
        settingsDirty = true;
        waitServer(lock, kUpdateRetryMs, nullptr);
    }
}

}  // namespace vindral
