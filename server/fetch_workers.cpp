#include "server/fetch_workers.h"

#include "core/board.h"

namespace vindral {

FetchWorkers::FetchWorkers(PriceSource& source, Done done)
    : source_(source), done_(std::move(done)) {
    const std::uint32_t cells = kExchangeCount * kCoinCount;
    for (std::uint32_t cell = 0; cell < cells; ++cell) {
        workers_.push_back(std::make_unique<Worker>());
    }
    for (std::uint32_t cell = 0; cell < cells; ++cell) {
        workers_[cell]->thread = std::thread([this, cell] { run(cell); });
    }
}

FetchWorkers::~FetchWorkers() {
    stop();
}

void FetchWorkers::trigger(std::uint32_t cell) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || cell >= workers_.size())
            return;
        workers_[cell]->go = true;
    }
    workers_[cell]->wake.notify_one();
}

void FetchWorkers::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    source_.cancel();
    for (auto& worker : workers_)
        worker->wake.notify_all();
    for (auto& worker : workers_) {
        if (worker->thread.joinable())
            worker->thread.join();
    }
}

void FetchWorkers::run(std::uint32_t cell) {
    Worker& worker = *workers_[cell];
    const std::uint32_t exchange = cell / kCoinCount;
    const std::uint32_t coin = cell % kCoinCount;
    std::unique_lock lock(mutex_);
    for (;;) {
        worker.wake.wait(lock, [&] { return stopping_ || worker.go; });
        if (stopping_)
            return;
        worker.go = false;
        lock.unlock();
        FetchOutcome outcome = source_.fetch(exchange, coin);
        done_(cell, std::move(outcome));
        lock.lock();
    }
}

}  // namespace vindral
