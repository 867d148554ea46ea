#include "server/session_hub.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <random>

#include "core/format.h"
#include "core/kimchi_premium.h"
#include "server/json_writer.h"
#include "server/log_text.h"
#include "server/session_body.h"

namespace vindral {
namespace {

using std::chrono::milliseconds;

// A client may hold several polls on one session (a retry while the old one is still held);
// beyond this the oldest is answered at once.
constexpr std::size_t kMaxWaitersPerSession = 4;
// A refresh starts a fetch of a cell only when its latest fetch is at least this old, so that
// refresh requests cannot multiply the upstream traffic.
constexpr milliseconds kMinRefreshGap{1000};
constexpr milliseconds kMaxSweepPeriod{1000};
constexpr milliseconds kMinSweepPeriod{10};
// The engine's latency smoothing: avg = 0.8 * avg + 0.2 * latency.
constexpr double kLatencyKeep = 0.8;

// The names as UTF-8, converted once: boards are written for every delivery.
template <std::size_t N, typename NameOf>
std::array<std::string, N> utf8Names(NameOf nameOf) {
    std::array<std::string, N> names;
    for (std::uint32_t i = 0; i < N; ++i)
        names[i] = toUtf8(nameOf(i));
    return names;
}

const std::string& utf8ExchangeName(std::uint32_t exchange) {
    static const auto names = utf8Names<kExchangeCount>(exchangeName);
    return names[exchange];
}
const std::string& utf8CoinSymbol(std::uint32_t coin) {
    static const auto symbols = utf8Names<kCoinCount>(coinSymbol);
    return symbols[coin];
}

std::string newSessionId() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::random_device random;
    std::string id;
    for (int word = 0; word < 4; ++word) {
        std::uint32_t bits = random();
        for (int nibble = 0; nibble < 8; ++nibble) {
            id.push_back(kHex[bits & 0xF]);
            bits >>= 4;
        }
    }
    return id;
}

void countFetch(ExchangeStats& stats, const FetchOutcome& outcome) {
    if (!outcome.ok) {
        ++stats.failed;
        return;
    }
    ++stats.ok;
    stats.lastLatencyMs = outcome.latencyMs;
    stats.avgLatencyMs = stats.avgLatencyMs == 0 ? outcome.latencyMs
                                                 : kLatencyKeep * stats.avgLatencyMs +
                                                       (1 - kLatencyKeep) * outcome.latencyMs;
    stats.maxLatencyMs = std::max(stats.maxLatencyMs, outcome.latencyMs);
}

std::string describeConfig(const EngineConfig& config) {
    std::string text = std::to_string(config.intervalMs) + " ms,";
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        if (config.exchanges[e])
            text += " " + utf8ExchangeName(e);
    }
    text += ",";
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        if (config.coins[c])
            text += " " + utf8CoinSymbol(c);
    }
    if (config.kimchiPremium)
        text += ", KRW";
    return text;
}

HubReply errorReply(int status, std::string_view text) {
    return {status, jsonErrorBody(text)};
}

HubReply unknownSession() {
    return errorReply(404, "세션이 없습니다");
}

// The members of a price cell after its names: the same for an exchange's cell and Upbit's.
void writeCellValues(JsonWriter& w, const PriceCell& cell) {
    w.key("hasData");
    w.boolean(cell.hasData);
    w.key("lastOk");
    w.boolean(cell.lastOk);
    w.key("price");
    w.number(cell.price);
    w.key("prevPrice");
    w.number(cell.prevPrice);
    w.key("open24h");
    w.number(cell.open24h);
    w.key("latencyMs");
    w.number(cell.latencyMs);
    w.key("updatedAtMs");
    w.integer(cell.updatedAtMs);
    w.key("seq");
    w.unsignedInteger(cell.seq);
    w.key("error");
    w.string(cell.error);
}

// A fetch result into a cell: a failure keeps the last price. `counter` is the source of seq.
void takeOutcome(PriceCell& cell, const FetchOutcome& outcome, std::uint64_t& counter) {
    cell.lastOk = outcome.ok;
    if (outcome.ok) {
        cell.prevPrice = cell.hasData ? cell.price : outcome.price;
        cell.price = outcome.price;
        cell.open24h = outcome.open24h;
        cell.latencyMs = outcome.latencyMs;
        cell.updatedAtMs = wallClockMs();
        cell.seq = ++counter;
        cell.hasData = true;
        cell.error.clear();
    } else {
        cell.error = outcome.error;
    }
}

bool hasCoin(const IndexList& coins, std::uint32_t coin) {
    return std::find(coins.begin(), coins.end(), coin) != coins.end();
}

void writeStatsValues(JsonWriter& w, const ExchangeStats& stats) {
    w.key("scheduled");
    w.unsignedInteger(stats.scheduled);
    w.key("ok");
    w.unsignedInteger(stats.ok);
    w.key("failed");
    w.unsignedInteger(stats.failed);
    w.key("overrun");
    w.unsignedInteger(stats.overrun);
    w.key("avgLatencyMs");
    w.number(stats.avgLatencyMs);
}

}  // namespace

struct SessionHub::Waiter {
    Session* session = nullptr;
    std::uint64_t after = 0;
    Responder respond;
    HoldIndex::iterator due;
};

struct SessionHub::Session : std::enable_shared_from_this<Session> {
    explicit Session(const Executor& executor) : spacingTimer(executor) {}
    std::string id;
    std::string client;
    std::string peer;
    EngineConfig config;
    std::uint64_t seq = 1;
    std::array<ExchangeStats, kExchangeCount> stats{};
    std::uint64_t tickIndex = 0;  // ticks since the last statistics reset; 0 = warm-up next
    std::array<Demand, kCells> demand{};
    // The Korean market, while config.kimchiPremium: one demand for the shared Upbit request.
    Demand krwDemand;
    ExchangeStats krwStats;
    Clock::time_point nextTick{};
    TickIndex::iterator tickEntry;  // in ticks_ while `ticking`
    bool ticking = false;
    std::vector<std::unique_ptr<Waiter>> waiters;  // oldest first
    Clock::time_point lastDelivery{};
    Timer spacingTimer;
    bool spacingArmed = false;
    Clock::time_point lastSeen{};
    bool dirty = false;
    bool gone = false;
};

SessionHub::SessionHub(Executor executor, HubOptions options, StartFetch startFetch, Log log)
    : executor_(std::move(executor)),
      options_(options),
      startFetch_(std::move(startFetch)),
      log_(std::move(log)),
      sweepTimer_(executor_),
      holdTimer_(executor_),
      tickTimer_(executor_),
      krw_(std::make_unique<KrwFeed>(executor_)) {
    for (std::size_t k = 0; k < kCells; ++k) {
        cells_.push_back(std::make_unique<SharedCell>(executor_));
        rebuildCellJson(static_cast<std::uint32_t>(k));
    }
    for (std::uint32_t c = 0; c < kCoinCount; ++c)
        rebuildKrwJson(c);
    rebuildFxJson();
    scheduleSweep();
}

SessionHub::~SessionHub() {
    close();
}

std::shared_ptr<SessionHub::Session> SessionHub::find(std::string_view id) const {
    const auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second;
}

std::vector<std::uint32_t> SessionHub::selectedCells(const EngineConfig& config) const {
    std::vector<std::uint32_t> cells;
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        for (std::uint32_t c = 0; c < kCoinCount; ++c) {
            if (config.exchanges[e] && config.coins[c])
                cells.push_back(e * kCoinCount + c);
        }
    }
    return cells;
}

HubReply SessionHub::create(std::string_view body, std::string_view peer) {
    if (closed_)
        return errorReply(503, "서버가 종료 중입니다");
    if (sessions_.size() >= options_.maxSessions) {
        return errorReply(
            503, "세션 수 한도(" + std::to_string(options_.maxSessions) + "개)에 도달했습니다");
    }
    const auto sameAddress = sessionsByPeer_.find(std::string(peer));
    if (sameAddress != sessionsByPeer_.end() &&
        sameAddress->second >= options_.maxSessionsPerPeer) {
        return errorReply(503, "이 주소의 세션 수 한도(" +
                                   std::to_string(options_.maxSessionsPerPeer) +
                                   "개)에 도달했습니다");
    }
    std::string error;
    std::optional<SessionSettings> settings = parseSessionBody(body, error);
    if (!settings)
        return errorReply(400, error);

    auto session = std::make_shared<Session>(executor_);
    do {
        session->id = newSessionId();
    } while (sessions_.count(session->id) != 0);
    session->client = std::move(settings->client);
    session->peer = std::string(peer);
    session->config = settings->config;
    const Clock::time_point now = Clock::now();
    session->lastSeen = now;
    sessions_.emplace(session->id, session);
    ++sessionsByPeer_[session->peer];

    subscribe(*session, now);
    tickSession(*session);
    scheduleSession(session, now + milliseconds(session->config.intervalMs));
    log_("session " + session->id + " created by " +
         (session->client.empty() ? std::string("?") : escapeForLog(session->client)) + " at " +
         session->peer + ": " + describeConfig(session->config) + " (" +
         std::to_string(sessions_.size()) + " sessions)");
    return {201, boardJson(*session)};
}

HubReply SessionHub::update(std::string_view id, std::string_view body) {
    const std::shared_ptr<Session> session = find(id);
    if (!session)
        return unknownSession();
    std::string error;
    std::optional<SessionSettings> settings = parseSessionBody(body, error);
    if (!settings)
        return errorReply(400, error);

    const Clock::time_point now = Clock::now();
    session->lastSeen = now;
    std::vector<std::uint32_t> touched = selectedCells(session->config);
    for (std::uint32_t k : touched)
        removeSubscriber(k, *session);
    removeKrwSubscriber(*session);
    const std::vector<std::uint32_t> selected = selectedCells(settings->config);
    for (std::uint32_t k : touched) {
        if (std::find(selected.begin(), selected.end(), k) == selected.end()) {
            session->demand[k] = Demand{};
        }
    }
    session->config = settings->config;
    if (!settings->client.empty())
        session->client = std::move(settings->client);
    for (std::uint32_t k : selected) {
        addSubscriber(k, *session);
        touched.push_back(k);
    }
    for (std::uint32_t k : touched)
        retimeCell(k, now);
    if (session->config.kimchiPremium)
        addKrwSubscriber(*session);
    else
        session->krwDemand = Demand{};
    retimeKrw(now);

    resetStats(*session);
    tickSession(*session);
    scheduleSession(session, now + milliseconds(session->config.intervalMs));
    markChanged(*session);
    return {200, boardJson(*session)};
}

HubReply SessionHub::refresh(std::string_view id) {
    const std::shared_ptr<Session> session = find(id);
    if (!session)
        return unknownSession();
    const Clock::time_point now = Clock::now();
    session->lastSeen = now;
    for (std::uint32_t k : selectedCells(session->config)) {
        SharedCell& cell = *cells_[k];
        if (cell.inFlight ||
            (cell.fetchesStarted != 0 && now - cell.lastFetchStart < kMinRefreshGap)) {
            continue;
        }
        // The poller's schedule is re-based on the refresh, as the engine's is.
        startFetch(k, now);
        cell.lastTick = now;
        scheduleCell(k, now + milliseconds(cell.intervalMs));
    }
    if (session->config.kimchiPremium && !krw_->inFlight &&
        (krw_->fetchesStarted == 0 || now - krw_->lastFetchStart >= kMinRefreshGap)) {
        startKrwFetch(now);
        krw_->lastTick = now;
        scheduleKrw(now + milliseconds(krw_->intervalMs));
    }
    tickSession(*session);
    scheduleSession(session, now + milliseconds(session->config.intervalMs));
    return {202, R"({"refresh":"accepted"})"};
}

HubReply SessionHub::remove(std::string_view id) {
    const std::shared_ptr<Session> session = find(id);
    if (!session)
        return unknownSession();
    drop(session, "deleted");
    return {204, {}};
}

void SessionHub::next(std::string_view id, std::optional<std::uint64_t> after, std::int64_t holdMs,
                      Responder respond) {
    const std::shared_ptr<Session> session = find(id);
    if (!session) {
        respond(unknownSession());
        return;
    }
    const Clock::time_point now = Clock::now();
    session->lastSeen = now;
    const Clock::time_point spacedUntil =
        session->lastDelivery + milliseconds(options_.minDeliveryGapMs);
    // A client that polls again right after a board waits out the gap like a held poll.
    const bool spaced = after && *after != session->seq && now < spacedUntil;
    if (!spaced && (!after || *after != session->seq || holdMs <= 0 || closed_)) {
        session->lastDelivery = now;
        respond({200, boardJson(*session)});
        return;
    }
    if (session->waiters.size() >= kMaxWaitersPerSession) {
        finishWaiter(*session, session->waiters.front().get(), {200, boardJson(*session)});
    }
    auto waiter = std::make_unique<Waiter>();
    waiter->session = session.get();
    waiter->after = *after;
    waiter->respond = std::move(respond);
    waiter->due =
        holds_.emplace(Clock::now() + milliseconds(std::min(holdMs, kMaxHoldMs)), waiter.get());
    session->waiters.push_back(std::move(waiter));
    armHoldTimer();
    if (spaced)
        armSpacing(session, spacedUntil);
}

void SessionHub::armSpacing(const std::shared_ptr<Session>& session, Clock::time_point at) {
    if (session->spacingArmed)
        return;
    session->spacingArmed = true;
    session->spacingTimer.expires_at(at);
    session->spacingTimer.async_wait(
        [this, weak = std::weak_ptr<Session>(session)](const boost::system::error_code& ec) {
            const std::shared_ptr<Session> s = weak.lock();
            if (ec || closed_ || !s || s->gone)
                return;
            s->spacingArmed = false;
            answerWaiters(*s);
        });
}

// One timer waits for the earliest hold. Answering a poll early leaves it alone; when it fires
// without anything due it simply moves on to the next deadline.
void SessionHub::armHoldTimer() {
    if (holds_.empty() || closed_)
        return;
    holdTimer_.setNoLaterThan(holds_.begin()->first, [this] {
        if (!closed_)
            expireHolds();
    });
}

void SessionHub::expireHolds() {
    const Clock::time_point now = Clock::now();
    while (!holds_.empty() && holds_.begin()->first <= now) {
        Waiter* waiter = holds_.begin()->second;
        Session& session = *waiter->session;
        finishWaiter(session, waiter, {200, boardJson(session)});
    }
    armHoldTimer();
}

HubReply SessionHub::status(std::size_t connections) const {
    JsonWriter w;
    w.beginObject();
    w.key("sessions");
    w.unsignedInteger(sessions_.size());
    w.key("connections");
    w.unsignedInteger(connections);
    w.key("polledCells");
    w.unsignedInteger(static_cast<std::uint64_t>(std::count_if(
        cells_.begin(), cells_.end(), [](const auto& c) { return c->intervalMs != 0; })));
    w.key("upstreamFetches");
    w.unsignedInteger(upstreamFetches_);
    w.key("upstreamOverruns");
    w.unsignedInteger(upstreamOverruns_);
    w.key("upstreamStreams");
    w.unsignedInteger(live_.openStreams ? live_.openStreams() : 0);
    w.key("liveCells");
    w.unsignedInteger(
        static_cast<std::uint64_t>(std::count_if(cells_.begin(), cells_.end(), [](const auto& c) {
            return c->live && !c->subscribers.empty();
        })));
    // Where each selected cell's price comes from now.
    w.key("cells");
    w.beginArray();
    for (std::uint32_t k = 0; k < kCells; ++k) {
        if (cells_[k]->subscribers.empty())
            continue;
        w.beginObject();
        w.key("exchange");
        w.string(utf8ExchangeName(k / kCoinCount));
        w.key("coin");
        w.string(utf8CoinSymbol(k % kCoinCount));
        w.key("source");
        w.string(cells_[k]->live ? "live" : "polled");
        w.endObject();
    }
    w.endArray();
    writeKrwStatus(w);
    w.endObject();
    return {200, w.take()};
}

void SessionHub::subscribe(Session& session, Clock::time_point now) {
    const std::vector<std::uint32_t> selected = selectedCells(session.config);
    for (std::uint32_t k : selected)
        addSubscriber(k, session);
    for (std::uint32_t k : selected)
        retimeCell(k, now);
    if (session.config.kimchiPremium) {
        addKrwSubscriber(session);
        retimeKrw(now);
    }
}

void SessionHub::addKrwSubscriber(Session& session) {
    KrwFeed& feed = *krw_;
    if (!feed.subscribers.insert(&session).second)
        return;
    ++feed.intervals[session.config.intervalMs];
    for (std::uint32_t c = 0; c < kCoinCount; ++c)
        feed.coinAskers[c] += session.config.coins[c] ? 1 : 0;
}

bool SessionHub::removeKrwSubscriber(Session& session) {
    KrwFeed& feed = *krw_;
    if (feed.subscribers.erase(&session) == 0)
        return false;
    const auto it = feed.intervals.find(session.config.intervalMs);
    if (--it->second == 0)
        feed.intervals.erase(it);
    for (std::uint32_t c = 0; c < kCoinCount; ++c)
        feed.coinAskers[c] -= session.config.coins[c] ? 1 : 0;
    return true;
}

void SessionHub::addSubscriber(std::uint32_t k, Session& session) {
    SharedCell& cell = *cells_[k];
    if (cell.subscribers.insert(&session).second)
        ++cell.intervals[session.config.intervalMs];
}

void SessionHub::removeSubscriber(std::uint32_t k, Session& session) {
    SharedCell& cell = *cells_[k];
    if (cell.subscribers.erase(&session) == 0)
        return;
    const auto it = cell.intervals.find(session.config.intervalMs);
    if (--it->second == 0)
        cell.intervals.erase(it);
}

void SessionHub::unsubscribe(Session& session, Clock::time_point now) {
    const std::vector<std::uint32_t> selected = selectedCells(session.config);
    for (std::uint32_t k : selected)
        removeSubscriber(k, session);
    for (std::uint32_t k : selected)
        retimeCell(k, now);
    if (removeKrwSubscriber(session))
        retimeKrw(now);
}

// Sets a cell's polling interval to the shortest its subscribers ask for. A cell that gains its
// first subscriber is fetched at once (the warm-up), unless its latest fetch is younger than the
// refresh gap: then it waits for the gap, so that subscribing and leaving again in a loop cannot
// multiply the upstream traffic. One that loses its last subscriber is reset to empty, so that a
// later subscriber never sees a price from long ago as if it were current.
void SessionHub::retimeCell(std::uint32_t k, Clock::time_point now) {
    SharedCell& cell = *cells_[k];
    const std::int32_t shortest = cell.intervals.empty() ? 0 : cell.intervals.begin()->first;
    if (shortest == 0) {
        if (cell.intervalMs != 0) {
            cell.intervalMs = 0;
            ++cell.timerGeneration;
            cell.timer.cancel();
            cell.cell = PriceCell{};
            cell.live = false;
            rebuildCellJson(k);
            if (live_.want)
                live_.want(k, false);
        }
        return;
    }
    // Until then a tick would start a fetch sooner than the refresh gap allows.
    const Clock::time_point allowed = cell.lastFetchStart + kMinRefreshGap;
    if (cell.intervalMs == 0) {
        cell.intervalMs = shortest;
        // Polled until its stream delivers, so the first price comes as fast as today.
        if (live_.want)
            live_.want(k, true);
        if (!cell.inFlight && cell.fetchesStarted != 0 && allowed > now) {
            scheduleCell(k, allowed);
            return;
        }
        if (!cell.inFlight)
            startFetch(k, now);
        cell.lastTick = now;
        scheduleCell(k, now + milliseconds(shortest));
        return;
    }
    if (shortest != cell.intervalMs) {
        cell.intervalMs = shortest;
        scheduleCell(k, std::max({cell.lastTick + milliseconds(shortest), allowed, now}));
    }
}

void SessionHub::scheduleCell(std::uint32_t k, Clock::time_point at) {
    SharedCell& cell = *cells_[k];
    const std::uint64_t generation = ++cell.timerGeneration;
    cell.timer.expires_at(at);
    cell.timer.async_wait([this, k, generation](const boost::system::error_code& ec) {
        if (ec || closed_ || cells_[k]->timerGeneration != generation)
            return;
        cellTick(k);
    });
}

void SessionHub::cellTick(std::uint32_t k) {
    SharedCell& cell = *cells_[k];
    if (cell.intervalMs == 0)
        return;
    const Clock::time_point now = Clock::now();
    if (cell.live) {
        // Its stream keeps it current; the ticks go on so that polling can resume in step.
    } else if (cell.inFlight) {
        ++upstreamOverruns_;
    } else {
        startFetch(k, now);
    }
    // Missed ticks are dropped, never caught up in a burst.
    cell.lastTick = cell.timer.expiry();
    scheduleCell(k, std::max(cell.lastTick + milliseconds(cell.intervalMs), now));
}

void SessionHub::startFetch(std::uint32_t k, Clock::time_point now) {
    SharedCell& cell = *cells_[k];
    cell.inFlight = true;
    ++cell.fetchesStarted;
    cell.lastFetchStart = now;
    ++upstreamFetches_;
    startFetch_(k);
}

// One tick of the session's own schedule: what a direct-road scheduler would count.
void SessionHub::tickSession(Session& session) {
    const bool warmUp = session.tickIndex == 0;
    ++session.tickIndex;
    for (std::uint32_t k : selectedCells(session.config)) {
        Demand& demand = session.demand[k];
        ExchangeStats& stats = session.stats[k / kCoinCount];
        const SharedCell& cell = *cells_[k];
        // A pushed cell: no fetch to wait for; the tick counts whether the stream holds a price.
        if (cell.live && !cell.inFlight)
            demand = Demand{};
        if (cell.live && !demand.pending) {
            if (!warmUp) {
                ++stats.scheduled;
                FetchOutcome tick;
                tick.ok = cell.cell.hasData && cell.cell.lastOk;
                tick.latencyMs = cell.cell.latencyMs;
                countFetch(stats, tick);
            }
            continue;
        }
        if (demand.pending) {
            if (!demand.uncounted) {
                ++stats.scheduled;
                ++stats.overrun;
            }
            continue;
        }
        // The warm-up wants every cell fetched at once; a cell that other sessions keep polled
        // already holds that answer, and fetching it again would make upstream traffic grow
        // with the sessions.
        if (warmUp && !cell.inFlight && cell.fetchesStarted != 0)
            continue;
        if (!warmUp)
            ++stats.scheduled;
        demand.pending = true;
        demand.uncounted = warmUp;
        demand.fetchId = cell.inFlight ? cell.fetchesStarted : cell.fetchesStarted + 1;
    }
    if (session.config.kimchiPremium)
        tickSessionKrw(session, warmUp);
}

void SessionHub::scheduleSession(const std::shared_ptr<Session>& session, Clock::time_point at) {
    unscheduleSession(*session);
    queueTick(*session, at);
    armTickTimer();
}

void SessionHub::queueTick(Session& session, Clock::time_point at) {
    session.nextTick = at;
    session.tickEntry = ticks_.emplace(at, &session);
    session.ticking = true;
}

void SessionHub::unscheduleSession(Session& session) {
    if (!session.ticking)
        return;
    ticks_.erase(session.tickEntry);
    session.ticking = false;
}

// Ten thousand sessions tick at their own phases; a timer each would wake the loop (and set the
// kernel's timer) for every one of them. One timer on the grid serves every tick due within the
// same slot of a few milliseconds, each on its own schedule, which does not drift. A tick runs
// early rather than late: a session that ticks with its cell's poller must find that poll not yet
// started, and so wait for it, as an engine's tick starts its own fetch.
void SessionHub::armTickTimer() {
    if (ticks_.empty() || closed_)
        return;
    const Clock::time_point at =
        Clock::time_point(std::chrono::floor<TickGrid>(ticks_.begin()->first.time_since_epoch()));
    tickTimer_.setNoLaterThan(at, [this] {
        if (!closed_)
            runTicks();
    });
}

void SessionHub::runTicks() {
    const Clock::time_point now = Clock::now();
    const Clock::time_point slotEnd =
        Clock::time_point(std::chrono::floor<TickGrid>(now.time_since_epoch()) + TickGrid(1));
    while (!ticks_.empty() && ticks_.begin()->first < slotEnd) {
        Session& session = *ticks_.begin()->second;
        ticks_.erase(ticks_.begin());
        session.ticking = false;
        tickSession(session);
        queueTick(session,
                  std::max(session.nextTick + milliseconds(session.config.intervalMs), now));
    }
    armTickTimer();
}

void SessionHub::resetStats(Session& session) {
    session.stats.fill(ExchangeStats{});
    session.krwStats = ExchangeStats{};
    session.tickIndex = 0;
}

void SessionHub::fetchDone(std::uint32_t k, FetchOutcome outcome) {
    if (closed_ || k >= kCells)
        return;
    SharedCell& shared = *cells_[k];
    shared.inFlight = false;
    const std::uint64_t fetchId = shared.fetchesStarted;
    // Nobody wants the cell any more: it was reset when its last subscriber left.
    if (shared.subscribers.empty())
        return;
    // A poll that was under way when the stream took over is older than the pushes.
    if (!shared.live)
        applyOutcome(k, outcome);

    for (Session* session : shared.subscribers) {
        Demand& demand = session->demand[k];
        if (demand.pending && demand.fetchId <= fetchId) {
            demand.pending = false;
            if (!demand.uncounted)
                countFetch(session->stats[k / kCoinCount], outcome);
            demand.uncounted = false;
        }
        markChanged(*session);
    }
}

void SessionHub::applyOutcome(std::uint32_t k, const FetchOutcome& outcome) {
    takeOutcome(cells_[k]->cell, outcome, updateCounter_);
    rebuildCellJson(k);
}

void SessionHub::setCellLive(std::uint32_t k, bool live) {
    if (closed_ || k >= kCells || cells_[k]->live == live)
        return;
    SharedCell& cell = *cells_[k];
    cell.live = live;
    if (cell.subscribers.empty())
        return;
    log_(utf8ExchangeName(k / kCoinCount) + " " + utf8CoinSymbol(k % kCoinCount) +
         (live ? " live" : " polled"));
    if (live)
        return;
    // The poller takes over at once: a lost stream leaves no gap of a whole interval.
    const Clock::time_point now = Clock::now();
    if (!cell.inFlight)
        startFetch(k, now);
    cell.lastTick = now;
    scheduleCell(k, now + milliseconds(cell.intervalMs));
}

void SessionHub::liveUpdate(std::uint32_t k, FetchOutcome outcome) {
    if (closed_ || k >= kCells || !cells_[k]->live || cells_[k]->subscribers.empty())
        return;
    applyOutcome(k, outcome);
    for (Session* session : cells_[k]->subscribers)
        markChanged(*session);
}

void SessionHub::markChanged(Session& session) {
    ++session.seq;
    if (!session.dirty) {
        session.dirty = true;
        dirty_.push_back(session.weak_from_this());
    }
    // Results that arrive together (the cells of one tick) are answered in one go.
    if (!flushPosted_) {
        flushPosted_ = true;
        boost::asio::post(executor_, [this] { flush(); });
    }
}

void SessionHub::flush() {
    flushPosted_ = false;
    if (closed_)
        return;
    std::vector<std::weak_ptr<Session>> dirty;
    dirty.swap(dirty_);
    for (const std::weak_ptr<Session>& weak : dirty) {
        const std::shared_ptr<Session> session = weak.lock();
        if (!session || session->gone)
            continue;
        session->dirty = false;
        const Clock::time_point spacedUntil =
            session->lastDelivery + milliseconds(options_.minDeliveryGapMs);
        if (Clock::now() < spacedUntil) {
            armSpacing(session, spacedUntil);
            continue;
        }
        answerWaiters(*session);
    }
}

void SessionHub::answerWaiters(Session& session) {
    std::size_t due = static_cast<std::size_t>(
        std::count_if(session.waiters.begin(), session.waiters.end(),
                      [&](const auto& waiter) { return waiter->after != session.seq; }));
    if (due == 0)
        return;
    session.lastDelivery = Clock::now();
    std::string board = boardJson(session);
    for (std::size_t i = 0; i < session.waiters.size();) {
        Waiter* waiter = session.waiters[i].get();
        if (waiter->after == session.seq) {
            ++i;
            continue;
        }
        finishWaiter(session, waiter, {200, --due == 0 ? std::move(board) : board});
    }
}

void SessionHub::finishWaiter(Session& session, Waiter* waiter, HubReply reply) {
    holds_.erase(waiter->due);
    Responder respond = std::move(waiter->respond);
    std::erase_if(session.waiters, [&](const auto& held) { return held.get() == waiter; });
    session.lastSeen = Clock::now();
    respond(std::move(reply));
}

void SessionHub::drop(const std::shared_ptr<Session>& session, std::string_view why) {
    session->gone = true;
    unscheduleSession(*session);
    session->spacingTimer.cancel();
    while (!session->waiters.empty())
        finishWaiter(*session, session->waiters.front().get(), unknownSession());
    unsubscribe(*session, Clock::now());
    sessions_.erase(session->id);
    if (const auto it = sessionsByPeer_.find(session->peer); it != sessionsByPeer_.end()) {
        if (--it->second == 0)
            sessionsByPeer_.erase(it);
    }
    log_("session " + session->id + " " + std::string(why) + " (" +
         std::to_string(sessions_.size()) + " sessions)");
}

void SessionHub::scheduleSweep() {
    const milliseconds period =
        std::clamp(milliseconds(options_.sessionExpiryMs / 4), kMinSweepPeriod, kMaxSweepPeriod);
    sweepTimer_.expires_after(period);
    sweepTimer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || closed_)
            return;
        sweep();
        scheduleSweep();
    });
}

// A session whose client holds a long poll is being polled; otherwise it lives for the expiry
// time after the last request or answer.
void SessionHub::sweep() {
    const Clock::time_point now = Clock::now();
    const milliseconds expiry(options_.sessionExpiryMs);
    std::vector<std::shared_ptr<Session>> expired;
    for (const auto& [id, session] : sessions_) {
        if (session->waiters.empty() && now - session->lastSeen >= expiry) {
            expired.push_back(session);
        }
    }
    for (const std::shared_ptr<Session>& session : expired)
        drop(session, "expired");
}

void SessionHub::close() {
    if (closed_)
        return;
    closed_ = true;
    sweepTimer_.cancel();
    holdTimer_.cancel();
    holds_.clear();
    tickTimer_.cancel();
    ticks_.clear();
    for (auto& cell : cells_) {
        cell->timer.cancel();
        cell->subscribers.clear();
        cell->intervals.clear();
    }
    krw_->timer.cancel();
    krw_->fxTimer.cancel();
    krw_->subscribers.clear();
    krw_->intervals.clear();
    krw_->coinAskers = {};
    for (auto& [id, session] : sessions_) {
        session->gone = true;
        session->ticking = false;
        session->spacingTimer.cancel();
        session->waiters.clear();
    }
    sessions_.clear();
    sessionsByPeer_.clear();
    dirty_.clear();
}

std::string SessionHub::boardJson(const Session& session) const {
    // Sized once up front: the board is written for every delivery.
    constexpr std::size_t kFrameBytes = 160;
    constexpr std::size_t kStatsBytes = 120;
    const std::vector<std::uint32_t> selected = selectedCells(session.config);
    std::size_t bytes = kFrameBytes + kStatsBytes * kExchangeCount;
    for (std::uint32_t k : selected)
        bytes += cells_[k]->json.size() + 1;
    if (session.config.kimchiPremium) {
        bytes += kStatsBytes + krw_->fxJson.size();
        for (const std::string& json : krw_->json)
            bytes += json.size() + 1;
    }
    JsonWriter w;
    w.reserve(bytes);
    w.beginObject();
    w.key("sessionId");
    w.string(session.id);
    w.key("seq");
    w.unsignedInteger(session.seq);
    w.key("serverTimeMs");
    w.integer(wallClockMs());
    w.key("cells");
    w.beginArray();
    for (std::uint32_t k : selected)
        w.raw(cells_[k]->json);
    w.endArray();
    w.key("stats");
    w.beginArray();
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        if (!session.config.exchanges[e])
            continue;
        w.beginObject();
        w.key("exchange");
        w.string(utf8ExchangeName(e));
        writeStatsValues(w, session.stats[e]);
        w.endObject();
    }
    w.endArray();
    if (session.config.kimchiPremium)
        writeKrw(w, session);
    w.endObject();
    return w.take();
}

void SessionHub::rebuildCellJson(std::uint32_t k) {
    const PriceCell& cell = cells_[k]->cell;
    JsonWriter w;
    w.beginObject();
    w.key("exchange");
    w.string(utf8ExchangeName(k / kCoinCount));
    w.key("coin");
    w.string(utf8CoinSymbol(k % kCoinCount));
    writeCellValues(w, cell);
    w.endObject();
    cells_[k]->json = w.take();
}

// The Korean market. One Upbit poller for the union of the asking sessions' coins, run by the
// cells' rules, and the rate on its own slow timer.

// Sets Upbit's polling interval and coins from the asking sessions. The first asker, and a coin
// that no request has carried yet, start a request at once, within the refresh gap. When the
// last asker leaves, both timers stop and the cells are reset; the rate is kept, since its age
// is told by its source's posting time, and it is asked again only when it is due.
void SessionHub::retimeKrw(Clock::time_point now) {
    KrwFeed& feed = *krw_;
    const std::int32_t shortest = feed.intervals.empty() ? 0 : feed.intervals.begin()->first;
    IndexList coins;
    bool added = false;
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        if (feed.coinAskers[c] > 0) {
            coins.push_back(c);
            added = added || !hasCoin(feed.coins, c);
        } else if (hasCoin(feed.coins, c)) {
            feed.cells[c] = PriceCell{};
            rebuildKrwJson(c);
        }
    }
    feed.coins = std::move(coins);
    if (shortest == 0) {
        if (feed.intervalMs != 0) {
            feed.intervalMs = 0;
            ++feed.timerGeneration;
            feed.timer.cancel();
            ++feed.fxTimerGeneration;
            feed.fxTimer.cancel();
        }
        return;
    }
    const bool starting = feed.intervalMs == 0;
    const bool faster = shortest != feed.intervalMs;
    feed.intervalMs = shortest;
    if (starting) {
        const Clock::time_point fxDue = feed.lastFxStart + milliseconds(kFxFetchIntervalMs);
        if (feed.fxFetchesStarted == 0 || fxDue <= now) {
            if (!feed.fxInFlight)
                startFx(now);
            scheduleFx(now + milliseconds(kFxFetchIntervalMs));
        } else {
            scheduleFx(fxDue);
        }
    }
    const Clock::time_point allowed = feed.lastFetchStart + kMinRefreshGap;
    if (!starting && !added) {
        if (faster)
            scheduleKrw(std::max({feed.lastTick + milliseconds(shortest), allowed, now}));
        return;
    }
    // A request still out from before is awaited: its answer serves the first asker too, and a
    // tick right away would only count an overrun.
    if (feed.inFlight) {
        if (starting)
            feed.lastTick = now;
        scheduleKrw(std::max(feed.lastTick + milliseconds(shortest), now));
        return;
    }
    if (feed.fetchesStarted != 0 && allowed > now) {
        scheduleKrw(allowed);
        return;
    }
    startKrwFetch(now);
    feed.lastTick = now;
    scheduleKrw(now + milliseconds(shortest));
}

void SessionHub::scheduleKrw(Clock::time_point at) {
    const std::uint64_t generation = ++krw_->timerGeneration;
    krw_->timer.expires_at(at);
    krw_->timer.async_wait([this, generation](const boost::system::error_code& ec) {
        if (ec || closed_ || krw_->timerGeneration != generation)
            return;
        krwTick();
    });
}

void SessionHub::krwTick() {
    KrwFeed& feed = *krw_;
    if (feed.intervalMs == 0)
        return;
    const Clock::time_point now = Clock::now();
    if (feed.inFlight)
        ++upstreamOverruns_;
    else
        startKrwFetch(now);
    feed.lastTick = feed.timer.expiry();
    scheduleKrw(std::max(feed.lastTick + milliseconds(feed.intervalMs), now));
}

void SessionHub::startKrwFetch(Clock::time_point now) {
    KrwFeed& feed = *krw_;
    feed.inFlight = true;
    ++feed.fetchesStarted;
    feed.lastFetchStart = now;
    feed.inFlightCoins = feed.coins;
    ++upstreamFetches_;
    if (krwHooks_.fetchUpbit)
        krwHooks_.fetchUpbit(feed.inFlightCoins);
}

void SessionHub::scheduleFx(Clock::time_point at) {
    const std::uint64_t generation = ++krw_->fxTimerGeneration;
    krw_->fxTimer.expires_at(at);
    krw_->fxTimer.async_wait([this, generation](const boost::system::error_code& ec) {
        if (ec || closed_ || krw_->fxTimerGeneration != generation || krw_->intervalMs == 0)
            return;
        const Clock::time_point now = Clock::now();
        if (!krw_->fxInFlight)
            startFx(now);
        scheduleFx(std::max(krw_->fxTimer.expiry() + milliseconds(kFxFetchIntervalMs), now));
    });
}

void SessionHub::startFx(Clock::time_point now) {
    krw_->fxInFlight = true;
    ++krw_->fxFetchesStarted;
    krw_->lastFxStart = now;
    ++upstreamFetches_;
    if (krwHooks_.fetchFx)
        krwHooks_.fetchFx();
}

void SessionHub::upbitDone(std::array<FetchOutcome, kCoinCount> outcomes) {
    if (closed_)
        return;
    KrwFeed& feed = *krw_;
    feed.inFlight = false;
    const std::uint64_t fetchId = feed.fetchesStarted;
    if (feed.subscribers.empty())
        return;
    // A coin dropped while the request was out stays reset.
    for (const std::uint32_t c : feed.inFlightCoins) {
        if (hasCoin(feed.coins, c)) {
            takeOutcome(feed.cells[c], outcomes[c], updateCounter_);
            rebuildKrwJson(c);
        }
    }
    for (Session* session : feed.subscribers) {
        // One request serves all of a session's coins: ok when every one of them came back.
        FetchOutcome request;
        request.ok = true;
        bool mine = false;
        for (const std::uint32_t c : feed.inFlightCoins) {
            if (!session->config.coins[c])
                continue;
            mine = true;
            request.ok = request.ok && outcomes[c].ok;
            request.latencyMs = outcomes[c].latencyMs;
        }
        Demand& demand = session->krwDemand;
        if (demand.pending && demand.fetchId <= fetchId) {
            demand.pending = false;
            if (!demand.uncounted)
                countFetch(session->krwStats, request);
            demand.uncounted = false;
        }
        if (mine)
            markChanged(*session);
    }
}

void SessionHub::fxDone(FxFetch fetch) {
    if (closed_)
        return;
    KrwFeed& feed = *krw_;
    feed.fxInFlight = false;
    const std::string before = feed.fxJson;
    applyFxFetch(feed.fx, fetch.quote, fetch.error);
    rebuildFxJson();
    if (feed.fxJson == before)
        return;
    for (Session* session : feed.subscribers)
        markChanged(*session);
}

// Upbit's part of a session tick, counted as a polled exchange's cell is.
void SessionHub::tickSessionKrw(Session& session, bool warmUp) {
    const KrwFeed& feed = *krw_;
    Demand& demand = session.krwDemand;
    if (demand.pending) {
        if (!demand.uncounted) {
            ++session.krwStats.scheduled;
            ++session.krwStats.overrun;
        }
        return;
    }
    if (warmUp && !feed.inFlight && feed.fetchesStarted != 0)
        return;
    if (!warmUp)
        ++session.krwStats.scheduled;
    demand.pending = true;
    demand.uncounted = warmUp;
    demand.fetchId = feed.inFlight ? feed.fetchesStarted : feed.fetchesStarted + 1;
}

void SessionHub::rebuildKrwJson(std::uint32_t coin) {
    JsonWriter w;
    w.beginObject();
    w.key("coin");
    w.string(utf8CoinSymbol(coin));
    writeCellValues(w, krw_->cells[coin]);
    w.endObject();
    krw_->json[coin] = w.take();
}

void SessionHub::rebuildFxJson() {
    const FxCell& fx = krw_->fx;
    JsonWriter w;
    w.beginObject();
    w.key("hasData");
    w.boolean(fx.hasData);
    w.key("lastOk");
    w.boolean(fx.lastOk);
    w.key("krwPerUsd");
    w.number(fx.quote.krwPerUsd);
    w.key("postedAtMs");
    w.integer(fx.quote.postedAtMs);
    w.key("source");
    w.string(fx.quote.source == FxSource::Ecb ? "ecb" : "bank");
    w.key("provider");
    w.string(fx.quote.provider);
    w.key("error");
    w.string(fx.error);
    w.endObject();
    krw_->fxJson = w.take();
}

void SessionHub::writeKrw(JsonWriter& w, const Session& session) const {
    w.key("krw");
    w.beginArray();
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        if (session.config.coins[c])
            w.raw(krw_->json[c]);
    }
    w.endArray();
    w.key("krwStats");
    w.beginObject();
    writeStatsValues(w, session.krwStats);
    w.endObject();
    w.key("fx");
    w.raw(krw_->fxJson);
}

void SessionHub::writeKrwStatus(JsonWriter& w) const {
    const KrwFeed& feed = *krw_;
    w.key("krwSessions");
    w.unsignedInteger(feed.subscribers.size());
    w.key("krw");
    w.beginArray();
    for (const std::uint32_t c : feed.coins) {
        w.beginObject();
        w.key("coin");
        w.string(utf8CoinSymbol(c));
        w.key("source");
        w.string("polled");
        w.key("hasData");
        w.boolean(feed.cells[c].hasData);
        w.key("lastOk");
        w.boolean(feed.cells[c].lastOk);
        w.endObject();
    }
    w.endArray();
    w.key("fx");
    w.beginObject();
    w.key("hasData");
    w.boolean(feed.fx.hasData);
    w.key("source");
    w.string(feed.fx.quote.source == FxSource::Ecb ? "ecb" : "bank");
    w.key("error");
    w.string(feed.fx.error);
    w.endObject();
}

}  // namespace vindral
