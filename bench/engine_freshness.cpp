// How fresh the direct road's prices are: for each of many updates, the time from the moment a
// loopback exchange has written its whole answer into the socket to the moment the engine's
// onChange runs, and to the moment a snapshot taken by a waiting main thread holds the price (as
// the window's thread would take it on the change notice). Prints p50, p99 and the maximum.
//
//   vindral_engine_freshness [--updates=N]   (default 2000)
//
// One exchange and one coin; each update is started with refreshNow, so the engine's interval
// plays no part and the figures are the engine's own path: HTTP read, parse, board write, notice.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/market_engine.h"
#include "settings/settings.h"
#include "tests/support/fake_exchange.h"

namespace vindral {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kBitget = 1;
constexpr std::uint32_t kBtc = 0;
constexpr auto kUpdateDeadline = 10s;

[[noreturn]] void die(const char* message) {
    std::fprintf(stderr, "vindral_engine_freshness: %s\n", message);
    std::exit(1);
}

// A one-connection-at-a-time HTTP responder on a loopback port of the system's choosing. Every
// request gets Bitget's ticker shape with the current price; the time just after the last byte
// was handed to the kernel is kept for the price it carried.
class LoopbackExchange {
  public:
    LoopbackExchange() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            die("cannot listen on loopback");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~LoopbackExchange() {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }

    std::uint16_t port() const { return port_; }

    void setPrice(double price) {
        std::lock_guard lock(mutex_);
        price_ = price;
    }

    // When the answer carrying `price` was written. The client may have read it before this
    // thread got back from send, so the time is waited for, until the deadline.
    std::optional<Clock::time_point> writtenAt(double price, Clock::time_point deadline) const {
        std::unique_lock lock(mutex_);
        if (!written_.wait_until(lock, deadline, [&] { return writtenPrice_ == price; })) {
            return std::nullopt;
        }
        return writtenAt_;
    }

  private:
    void serve() {
        while (!stopping_) {
            const int connection = ::accept(listener_, nullptr, nullptr);
            if (connection < 0) {
                continue;
            }
            answer(connection);
            ::close(connection);
        }
    }

    void answer(int connection) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            request.append(buffer, static_cast<std::size_t>(n));
        }
        double price = 0;
        {
            std::lock_guard lock(mutex_);
            price = price_;
        }
        const std::string body = test::composeTickerBody(kBitget, price, price - 100.0);
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        std::string_view rest = reply;
        while (!rest.empty()) {
            const ssize_t n = ::send(connection, rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        const Clock::time_point written = Clock::now();
        std::lock_guard lock(mutex_);
        writtenPrice_ = price;
        writtenAt_ = written;
        written_.notify_all();
    }

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable written_;
    double price_ = 1000.0;
    double writtenPrice_ = 0;
    Clock::time_point writtenAt_{};
    std::thread thread_;
};

double percentileUs(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const std::size_t index =
        std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()));
    return values[index];
}

void printLine(const char* what, const std::vector<double>& us) {
    std::printf("%-30s p50 %8.1f us   p99 %8.1f us   max %8.1f us\n", what, percentileUs(us, 0.5),
                percentileUs(us, 0.99), *std::max_element(us.begin(), us.end()));
}

}  // namespace
}  // namespace vindral

int main(int argc, char** argv) {
    using namespace vindral;
    int updates = 2000;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--updates=")) {
            updates = std::atoi(argv[i] + 10);
        } else {
            die("usage: vindral_engine_freshness [--updates=N]");
        }
    }
    if (updates < 1) {
        die("--updates must be at least 1");
    }

    LoopbackExchange exchange;
    ExchangeEndpoints endpoints;
    endpoints.baseUrls.fill(L"http://127.0.0.1:" + std::to_wstring(exchange.port()));

    Settings settings;
    settings.serverUrl.clear();
    // Long enough that only refreshNow starts fetches.
    settings.intervalMs = 300000;
    settings.exchanges.fill(false);
    settings.coins.fill(false);
    settings.exchanges[kBitget] = true;
    settings.coins[kBtc] = true;

    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t changes = 0;
    Clock::time_point changedAt{};

    MarketEngine engine(endpoints);
    engine.start(settings, [&] {
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(mutex);
        ++changes;
        changedAt = now;
        changed.notify_one();
    });

    std::uint64_t seen = 0;
    std::vector<double> toChangeUs;
    std::vector<double> toSnapshotUs;
    double price = 1000.0;
    // The start's own warm-up fetch is the first update waited for, and not measured.
    for (int i = -1; i < updates; ++i) {
        if (i >= 0) {
            price += 0.25;
            exchange.setPrice(price);
            engine.refreshNow();
        }
        const Clock::time_point deadline = Clock::now() + kUpdateDeadline;
        for (;;) {
            std::unique_lock lock(mutex);
            if (!changed.wait_until(lock, deadline, [&] { return changes != seen; })) {
                die("no change notice before the deadline");
            }
            seen = changes;
            const Clock::time_point noticeAt = changedAt;
            lock.unlock();
            const PriceBoard board = engine.snapshot();
            const Clock::time_point snapshotAt = Clock::now();
            if (board.cells[kBitget][kBtc].price != price) {
                continue;
            }
            const std::optional<Clock::time_point> writtenAt = exchange.writtenAt(price, deadline);
            if (!writtenAt) {
                die("the price arrived but its answer was never written");
            }
            if (i >= 0) {
                toChangeUs.push_back(
                    std::chrono::duration<double, std::micro>(noticeAt - *writtenAt).count());
                toSnapshotUs.push_back(
                    std::chrono::duration<double, std::micro>(snapshotAt - *writtenAt).count());
            }
            break;
        }
    }
    engine.stop();

    std::printf("engine freshness, direct road, %d updates over loopback\n", updates);
    printLine("answer written -> onChange", toChangeUs);
    printLine("answer written -> snapshot", toSnapshotUs);
    return 0;
}
