// The live price board and the threads that fill it, by one of two roads chosen by the server URL:
// - direct: one scheduler thread ticks at the interval and wakes fifteen worker threads (one per
//   exchange and coin, enabled or not) that fetch the exchanges' tickers through one HttpClient;
//   while the kimchi premium is on, a sixteenth worker fetches Upbit's KRW prices with the same
//   tick and a rate thread asks for the USD/KRW rate every kFxFetchIntervalMs;
// - server: a session thread creates a session on the price server and long-polls it for boards,
//   a control thread pushes settings changes and refresh requests.
//
// Every operation is called from the window's thread. One mutex guards configuration, board,
// statistics and session state; it is released during every request, wait and callback.
// `onChange` runs on engine threads, outside the lock, and never once stop has been seen.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/board.h"
#include "core/server_pacing.h"
#include "net/exchanges.h"
#include "net/http_client.h"
#include "net/krw_sources.h"
#include "net/server_protocol.h"
#include "settings/settings.h"

namespace vindral {

// Waits after failures on the server road.
inline constexpr std::int32_t kCreateRetryMs = 3000;
inline constexpr std::int32_t kPollRetryMs = 2000;
inline constexpr std::int32_t kUpdateRetryMs = 2000;

// Text put before the rate step's error when a USD-quoted coin cannot be converted.
inline constexpr char kUsdtRateErrorPrefix[] = "USDT 환율 ";

class MarketEngine {
  public:
    // Tests point the direct road at loopback fakes; the program uses the real hosts.
    explicit MarketEngine(ExchangeEndpoints endpoints = defaultExchangeEndpoints(),
                          KrwEndpoints krwEndpoints = defaultKrwEndpoints());
    ~MarketEngine();
    MarketEngine(const MarketEngine&) = delete;
    MarketEngine& operator=(const MarketEngine&) = delete;

    // (Re)starts with the settings; a running engine is stopped first. Never call start,
    // applySettings or stop from inside onChange: they join engine threads.
    void start(const Settings& settings, std::function<void()> onChange);
    // Restarts only when the server URL changes; otherwise adopts the new configuration.
    void applySettings(const Settings& settings);
    // An immediate tick (direct road) or a refresh request to the server.
    void refreshNow();
    PriceBoard snapshot() const;
    // Joins every thread; ends an active server session with one DELETE. Idempotent.
    void stop();

  private:
    struct Worker {
        std::uint32_t exchange = 0;
        std::uint32_t coin = 0;
        std::thread thread;
        std::condition_variable wake;
        bool go = false;
        bool busy = false;
        bool uncounted = false;  // the running fetch belongs to the warm-up tick
    };

    void schedulerLoop();
    // Waits under `lock` for the worker's go signal and takes it (the worker is busy from then);
    // false once the engine stops.
    bool takeGo(std::unique_lock<std::mutex>& lock, Worker& worker);
    void workerLoop(Worker& worker);
    void upbitLoop();
    void fxLoop();
    void sessionLoop();
    void controlLoop();

    // The helpers below run with `mutex` held through `lock`.
    void resetStats();
    void markServerError(const std::string& text);
    void acceptServerBoard(const ServerBoard& board);
    // The server forgot the session: the next one is created after the loss pacing's wait.
    void loseSession();
    void notifyUnlocked(std::unique_lock<std::mutex>& lock);
    // Waits on serverWake until `ms` have passed or stopping (or `alsoEndWhen`) is set.
    void waitServer(std::unique_lock<std::mutex>& lock, std::int32_t ms, const bool* alsoEndWhen);
    void startThreads();
    void joinThreads();

    const ExchangeEndpoints endpoints;
    const KrwEndpoints krwEndpoints;

    HttpClient tickerClient;
    HttpClient pollClient;
    HttpClient controlClient;
    std::condition_variable serverWake;
    bool serverRoad = false;
    std::string sessionId;
    bool serverAnswered = false;
    std::uint64_t afterSeq = 0;
    bool settingsDirty = false;
    bool refreshRequested = false;
    PollPacing pollPacing;
    SessionLossPacing lossPacing;
    std::chrono::steady_clock::time_point createNotBefore;
    std::thread sessionThread;
    std::thread controlThread;

    mutable std::mutex mutex;
    std::condition_variable scheduleWake;
    EngineConfig config;
    bool stopping = false;
    bool tickNow = false;
    bool running = false;
    std::function<void()> onChange;
    CellGrid cells{};
    KrwBoard krw;
    std::array<ExchangeStats, kExchangeCount> stats{};
    std::uint64_t ticks = 0;
    std::uint64_t tickIndex = 0;  // ticks since the last statistics reset; 0 is the warm-up
    std::int64_t lastTickMs = 0;
    std::int64_t statsSinceMs = 0;
    std::uint64_t updateCounter = 0;  // source of the cells' seq on the direct road
    std::vector<std::unique_ptr<Worker>> workers;
    std::thread schedulerThread;

    // The Korean market's fetches on the direct road (its board is `krw`). The rate has its own
    // client and thread, so that its two sources' time-outs never hold up a tick.
    Worker upbitWorker;
    HttpClient fxClient;
    std::condition_variable fxWake;
    bool fxDue = false;  // the rate is asked for at once: the option was just switched on
    std::thread fxThread;
};

}  // namespace vindral
