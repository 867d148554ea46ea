#include "server/krw_workers.h"

namespace vindral {

KrwWorkers::KrwWorkers(PriceSource& source, UpbitDone upbitDone, FxDone fxDone)
    : source_(source), upbitDone_(std::move(upbitDone)), fxDone_(std::move(fxDone)) {
    upbitThread_ = std::thread([this] { runUpbit(); });
    fxThread_ = std::thread([this] { runFx(); });
}

KrwWorkers::~KrwWorkers() {
    stop();
}

void KrwWorkers::fetchUpbit(IndexList coins) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        upbitCoins_ = std::move(coins);
    }
    wake_.notify_all();
}

void KrwWorkers::fetchFx() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        fxWanted_ = true;
    }
    wake_.notify_all();
}

void KrwWorkers::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    source_.cancel();
    wake_.notify_all();
    if (upbitThread_.joinable())
        upbitThread_.join();
    if (fxThread_.joinable())
        fxThread_.join();
}

void KrwWorkers::runUpbit() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || upbitCoins_.has_value(); });
        if (stopping_)
            return;
        const IndexList coins = std::move(*upbitCoins_);
        upbitCoins_.reset();
        lock.unlock();
        upbitDone_(source_.fetchUpbit(coins));
        lock.lock();
    }
}

void KrwWorkers::runFx() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || fxWanted_; });
        if (stopping_)
            return;
        fxWanted_ = false;
        lock.unlock();
        fxDone_(source_.fetchFx());
        lock.lock();
    }
}

}  // namespace vindral
