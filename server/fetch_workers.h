// One thread per exchange-and-coin cell that runs the cell's fetches, so a slow exchange never
// delays another and a cell never has two fetches at once (the caller only triggers a cell whose
// previous fetch has reported back). Results go to a callback on the worker's thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/price_source.h"

namespace vindral {

class FetchWorkers {
  public:
    using Done = std::function<void(std::uint32_t cell, FetchOutcome outcome)>;

    // Starts one thread per cell (cell = exchange * 3 + coin).
    FetchWorkers(PriceSource& source, Done done);
    ~FetchWorkers();
    FetchWorkers(const FetchWorkers&) = delete;
    FetchWorkers& operator=(const FetchWorkers&) = delete;

    void trigger(std::uint32_t cell);
    // Cancels fetches in progress and joins every thread; later triggers are ignored.
    void stop();

  private:
    struct Worker {
        std::thread thread;
        std::condition_variable wake;
        bool go = false;
    };

    void run(std::uint32_t cell);

    PriceSource& source_;
    Done done_;
    std::mutex mutex_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace vindral
