// Two threads beside the exchanges' fetch workers: one runs the Upbit requests, one the rate
// requests, so that neither waits behind the other or behind an exchange. The caller starts a
// request only when the previous one of its kind has reported back. Results go to callbacks on
// the worker's thread.
#pragma once

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "core/board.h"
#include "server/price_source.h"

namespace vindral {

class KrwWorkers {
  public:
    using UpbitDone = std::function<void(std::array<FetchOutcome, kCoinCount> outcomes)>;
    using FxDone = std::function<void(FxFetch fetch)>;

    KrwWorkers(PriceSource& source, UpbitDone upbitDone, FxDone fxDone);
    ~KrwWorkers();
    KrwWorkers(const KrwWorkers&) = delete;
    KrwWorkers& operator=(const KrwWorkers&) = delete;

    void fetchUpbit(IndexList coins);
    void fetchFx();
    // Cancels requests in progress and joins both threads; later requests are ignored.
    void stop();

  private:
    void runUpbit();
    void runFx();

    PriceSource& source_;
    UpbitDone upbitDone_;
    FxDone fxDone_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::optional<IndexList> upbitCoins_;
    bool fxWanted_ = false;
    std::thread upbitThread_;
    std::thread fxThread_;
};

}  // namespace vindral
