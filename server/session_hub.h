// The server's state: the fifteen shared price cells, one poller per exchange and coin, and the
// client sessions that mirror them.
//
// - A cell is polled while at least one session selects it, at the shortest interval any of those
//   sessions asks for, with the engine's worker rules: one fetch in flight per cell, a tick that
//   finds the fetch still running is an overrun and starts nothing, missed ticks are dropped.
//   Upstream traffic therefore depends on the selections, never on the number of sessions.
// - Each session keeps statistics as a direct-road engine of its own would: at each tick of its
//   own interval it wants one fetch per selected cell (the one in flight, or else the next to
//   start); a tick that finds its wanted fetch still outstanding is an overrun; the first tick
//   after a start, a settings change or a statistics reset is the uncounted warm-up.
// - A cell that the live source streams is not polled; each pushed ticker updates it at once.
//   A session's tick on such a cell is scheduled, and ok when the stream holds a good price for
//   it, failed when its latest push carried none; it is never an overrun.
// - A session's seq moves whenever one of its cells gets a fetch result or a push, or its
//   settings change; a long poll waiting on the old seq is answered within the same turn of the
//   event loop, but a session gets at most one board per `minDeliveryGapMs`.
// - Sessions that nobody polled for the expiry time are dropped; a client re-creates its
//   session on the 404.
// - The Korean market is fetched only while some session asks for it ("krw":true), once for
//   all of them: one Upbit request for the coins those sessions select, polled at the shortest of
//   their intervals by the cells' rules (one request in flight, overruns, the refresh gap), and
//   the USD/KRW rate every kFxFetchIntervalMs. Each asking session counts Upbit's statistics as
//   it counts an exchange's, and its seq moves when its KRW cells or the rate change.
//
// Everything here runs on the thread of the server's event loop, so the state needs no lock; fetch
// results arrive through `fetchDone`, which the caller posts onto that loop, and answers leave
// through the callers' responders. A held long poll costs no timer of its own: the holds wait in
// one deadline-ordered index behind a single timer, so answering a poll cancels nothing. The
// sessions' ticks wait the same way, behind one timer that serves every tick of the same 4 ms slot.
#pragma once

#include <array>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/board.h"
#include "server/json_writer.h"
#include "server/price_source.h"

namespace vindral {

inline constexpr std::int64_t kDefaultSessionExpiryMs = 60000;
inline constexpr std::size_t kDefaultMaxSessions = 1000;
// One host on the network cannot take every session.
inline constexpr std::size_t kDefaultMaxSessionsPerPeer = 64;
// A long poll is held at most this long, whatever the client asks.
inline constexpr std::int64_t kMaxHoldMs = 60000;
inline constexpr std::int64_t kDefaultHoldMs = 20000;
inline constexpr std::int64_t kDefaultMinDeliveryGapMs = 250;

struct HubOptions {
    std::int64_t sessionExpiryMs = kDefaultSessionExpiryMs;
    std::size_t maxSessions = kDefaultMaxSessions;
    std::size_t maxSessionsPerPeer = kDefaultMaxSessionsPerPeer;
    // A session gets at most one board per this gap; a live cell can change twenty times a second.
    std::int64_t minDeliveryGapMs = kDefaultMinDeliveryGapMs;
};

// An HTTP answer: status and JSON body (empty for 204).
struct HubReply {
    int status = 200;
    std::string body;
};

class SessionHub {
  public:
    using Clock = std::chrono::steady_clock;
    using Executor = boost::asio::io_context::executor_type;
    using Timer =
        boost::asio::basic_waitable_timer<Clock, boost::asio::wait_traits<Clock>, Executor>;
    using StartFetch = std::function<void(std::uint32_t cell)>;
    using Log = std::function<void(std::string_view line)>;
    using Responder = std::function<void(HubReply reply)>;

    SessionHub(Executor executor, HubOptions options, StartFetch startFetch, Log log);
    ~SessionHub();
    SessionHub(const SessionHub&) = delete;
    SessionHub& operator=(const SessionHub&) = delete;

    // POST /api/sessions: 201 and the first board; 400 for a bad body, 503 at the session limit
    // or at the limit of the client's address (`peer`).
    HubReply create(std::string_view body, std::string_view peer);
    // PUT /api/sessions/{id}: 200 and the board under the new settings.
    HubReply update(std::string_view id, std::string_view body);
    // POST /api/sessions/{id}/refresh: fetches the session's cells now, 202.
    HubReply refresh(std::string_view id);
    // DELETE /api/sessions/{id}: 204.
    HubReply remove(std::string_view id);
    // GET /api/sessions/{id}/next: answers through `respond`, at once when the board's seq is not
    // `after` (or no `after` was given), else when it changes or `holdMs` has passed.
    void next(std::string_view id, std::optional<std::uint64_t> after, std::int64_t holdMs,
              Responder respond);
    // GET /api/status: counts for operators and the load test.
    HubReply status(std::size_t connections) const;

    // A fetch of `cell` ended; called on the io thread.
    void fetchDone(std::uint32_t cell, FetchOutcome outcome);

    // The live source: told when a cell gains its first subscriber or loses its last; it
    // reports which cells it streams (those are not polled) and pushes their tickers.
    struct LiveHooks {
        std::function<void(std::uint32_t cell, bool wanted)> want;
        std::function<std::size_t()> openStreams;
    };
    void attachLive(LiveHooks hooks) { live_ = std::move(hooks); }
    void setCellLive(std::uint32_t cell, bool live);
    void liveUpdate(std::uint32_t cell, FetchOutcome outcome);

    // The Korean market's fetchers: each call starts one request, whose result comes back
    // through upbitDone or fxDone on the io thread.
    struct KrwHooks {
        std::function<void(const IndexList& coins)> fetchUpbit;
        std::function<void()> fetchFx;
    };
    void attachKrw(KrwHooks hooks) { krwHooks_ = std::move(hooks); }
    // Outcomes of the coins of the request in flight, indexed by coin.
    void upbitDone(std::array<FetchOutcome, kCoinCount> outcomes);
    void fxDone(FxFetch fetch);
    // Cancels every timer and drops every waiting long poll; the hub is idle afterwards.
    void close();

    std::size_t sessionCount() const { return sessions_.size(); }
    const Executor& executor() const { return executor_; }

  private:
    static constexpr std::size_t kCells = static_cast<std::size_t>(kExchangeCount) * kCoinCount;

    // A session's wish for one fetch of one cell (the worker's busy flag of a direct engine).
    struct Demand {
        bool pending = false;
        bool uncounted = false;     // wanted by the warm-up tick: its result is not counted
        std::uint64_t fetchId = 0;  // the fetch that satisfies it (or any later one)
    };

    struct Waiter;
    struct Session;

    struct SharedCell {
        explicit SharedCell(const Executor& executor) : timer(executor) {}
        PriceCell cell;
        std::string json;  // the cell's board entry, rebuilt when the cell changes
        std::unordered_set<Session*> subscribers;
        // The subscribers' intervals and how many ask for each, so that the shortest is known
        // without walking ten thousand subscribers whenever one comes or goes.
        std::map<std::int32_t, std::size_t> intervals;
        std::int32_t intervalMs = 0;  // 0 while nobody selects the cell
        bool inFlight = false;
        bool live = false;                 // its stream delivers: not polled
        std::uint64_t fetchesStarted = 0;  // id of the latest fetch
        Clock::time_point lastTick{};
        Clock::time_point lastFetchStart{};
        Timer timer;
        std::uint64_t timerGeneration = 0;
    };
    // Upbit's cells and the rate, shared by every session that asks for them.
    struct KrwFeed {
        explicit KrwFeed(const Executor& executor) : timer(executor), fxTimer(executor) {}
        std::array<PriceCell, kCoinCount> cells{};
        std::array<std::string, kCoinCount> json;  // the cells' board entries
        std::unordered_set<Session*> subscribers;
        // As for a cell: the subscribers' intervals with their counts, and how many select each
        // coin, so that a session's arrival does not walk every other subscriber.
        std::map<std::int32_t, std::size_t> intervals;
        std::array<std::size_t, kCoinCount> coinAskers{};
        IndexList coins;              // every coin some subscriber selects
        std::int32_t intervalMs = 0;  // 0 while nobody asks
        bool inFlight = false;
        IndexList inFlightCoins;
        std::uint64_t fetchesStarted = 0;
        Clock::time_point lastTick{};
        Clock::time_point lastFetchStart{};
        Timer timer;
        std::uint64_t timerGeneration = 0;
        FxCell fx;
        std::string fxJson;
        bool fxInFlight = false;
        std::uint64_t fxFetchesStarted = 0;
        Clock::time_point lastFxStart{};
        Timer fxTimer;
        std::uint64_t fxTimerGeneration = 0;
    };

    // A timer kept set for the earliest of many deadlines: asking for a later time than it is
    // already set for does nothing, and a wait that a sooner setting replaced ends without effect.
    class EarliestTimer {
      public:
        explicit EarliestTimer(Executor executor) : timer_(std::move(executor)) {}
        // `due` runs at `at`, unless the timer is already set for then or sooner.
        void setNoLaterThan(Clock::time_point at, std::function<void()> due) {
            if (armed_ && at_ <= at)
                return;
            armed_ = true;
            at_ = at;
            const std::uint64_t generation = ++generation_;
            timer_.expires_at(at);
            timer_.async_wait(
                [this, generation, due = std::move(due)](const boost::system::error_code& ec) {
                    if (ec || generation != generation_)
                        return;
                    armed_ = false;
                    due();
                });
        }
        void cancel() { timer_.cancel(); }

      private:
        Timer timer_;
        bool armed_ = false;
        Clock::time_point at_{};
        std::uint64_t generation_ = 0;
    };

    // Held long polls by the time they must be answered, earliest first.
    using HoldIndex = std::multimap<Clock::time_point, Waiter*>;
    // Sessions by the time of their next tick, earliest first.
    using TickIndex = std::multimap<Clock::time_point, Session*>;
    // The ticks' timer fires on this grid (4 ms).
    using TickGrid = std::chrono::duration<Clock::rep, std::ratio<1, 250>>;

    std::shared_ptr<Session> find(std::string_view id) const;
    std::vector<std::uint32_t> selectedCells(const EngineConfig& config) const;
    void subscribe(Session& session, Clock::time_point now);
    void unsubscribe(Session& session, Clock::time_point now);
    // Every change of a cell's subscribers goes through these, with the session's interval.
    void addSubscriber(std::uint32_t cell, Session& session);
    void removeSubscriber(std::uint32_t cell, Session& session);
    // The same for the Korean market; false when the session was not subscribed.
    void addKrwSubscriber(Session& session);
    bool removeKrwSubscriber(Session& session);
    void retimeCell(std::uint32_t cell, Clock::time_point now);
    void scheduleCell(std::uint32_t cell, Clock::time_point at);
    void cellTick(std::uint32_t cell);
    void startFetch(std::uint32_t cell, Clock::time_point now);
    void tickSession(Session& session);
    void scheduleSession(const std::shared_ptr<Session>& session, Clock::time_point at);
    void unscheduleSession(Session& session);
    // Puts the session in the tick index for `at`; the caller arms the tick timer.
    void queueTick(Session& session, Clock::time_point at);
    void armTickTimer();
    void runTicks();
    void resetStats(Session& session);
    void markChanged(Session& session);
    void flush();
    void answerWaiters(Session& session);
    void applyOutcome(std::uint32_t cell, const FetchOutcome& outcome);
    void armSpacing(const std::shared_ptr<Session>& session, Clock::time_point at);
    // Answers one held poll and forgets it.
    void finishWaiter(Session& session, Waiter* waiter, HubReply reply);
    void armHoldTimer();
    void expireHolds();
    void drop(const std::shared_ptr<Session>& session, std::string_view why);
    void scheduleSweep();
    void sweep();
    std::string boardJson(const Session& session) const;
    void rebuildCellJson(std::uint32_t cell);

    void retimeKrw(Clock::time_point now);
    void scheduleKrw(Clock::time_point at);
    void krwTick();
    void startKrwFetch(Clock::time_point now);
    void scheduleFx(Clock::time_point at);
    void startFx(Clock::time_point now);
    void tickSessionKrw(Session& session, bool warmUp);
    void rebuildKrwJson(std::uint32_t coin);
    void rebuildFxJson();
    void writeKrw(JsonWriter& w, const Session& session) const;
    void writeKrwStatus(JsonWriter& w) const;

    Executor executor_;
    const HubOptions options_;
    StartFetch startFetch_;
    Log log_;
    std::vector<std::unique_ptr<SharedCell>> cells_;
    // Looked up by the id in the request's path, without a copy of it for every request.
    struct IdHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view id) const {
            return std::hash<std::string_view>{}(id);
        }
    };
    std::unordered_map<std::string, std::shared_ptr<Session>, IdHash, std::equal_to<>> sessions_;
    std::unordered_map<std::string, std::size_t> sessionsByPeer_;
    std::vector<std::weak_ptr<Session>> dirty_;
    bool flushPosted_ = false;
    std::uint64_t updateCounter_ = 0;  // source of the cells' seq
    std::uint64_t upstreamFetches_ = 0;
    std::uint64_t upstreamOverruns_ = 0;
    Timer sweepTimer_;
    HoldIndex holds_;
    EarliestTimer holdTimer_;
    TickIndex ticks_;
    EarliestTimer tickTimer_;
    LiveHooks live_;
    KrwHooks krwHooks_;
    std::unique_ptr<KrwFeed> krw_;
    bool closed_ = false;
};

}  // namespace vindral
