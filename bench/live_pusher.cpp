// vindral_live_pusher: the fake exchange streams on a loopback port, pushing a new price of every
// cell every --push-ms, so that a price server following them (--feeds live --exchange-ws-base)
// sends its sessions boards as often as it may. bench/footprint.py measures the window on them.
// Prints its base URL ("ws://127.0.0.1:PORT") and pushes until SIGTERM or SIGINT.
//
//   vindral_live_pusher [--push-ms 250]
#include <signal.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <random>
#include <string_view>

#include "server/load/fake_ws_exchange.h"
#include "server/ws_protocol.h"

namespace {

constexpr std::array<double, vindral::kCoinCount> kStartPrices{97000.0, 3600.0, 4.2};
// Each push moves a price by up to this share, up or down.
constexpr double kStepShare = 0.0002;

}  // namespace

int main(int argc, char** argv) {
    long pushMs = 250;
    if (argc == 3 && std::string_view(argv[1]) == "--push-ms") {
        const std::string_view value(argv[2]);
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), pushMs);
        if (error != std::errc() || end != value.data() + value.size() || pushMs < 10) {
            pushMs = 0;
        }
    } else if (argc != 1) {
        pushMs = 0;
    }
    if (pushMs == 0) {
        std::fprintf(stderr, "usage: vindral_live_pusher [--push-ms MS (10 or more)]\n");
        return 2;
    }

    // The signals are taken by sigtimedwait, which is also the pacing between pushes.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    vindral::test::FakeWsExchange exchange;
    std::printf("%s\n", exchange.baseUrl().c_str());
    std::fflush(stdout);

    std::mt19937 random(12500);
    std::uniform_real_distribution<double> step(-kStepShare, kStepShare);
    std::array<std::array<double, vindral::kCoinCount>, vindral::kExchangeCount> prices{};
    for (auto& row : prices) {
        row = kStartPrices;
    }
    const timespec pause{pushMs / 1000, (pushMs % 1000) * 1000000L};
    for (;;) {
        for (std::uint32_t e = 0; e < vindral::kExchangeCount; ++e) {
            for (std::uint32_t c = 0; c < vindral::kCoinCount; ++c) {
                prices[e][c] *= 1.0 + step(random);
                exchange.push(e, c, prices[e][c], kStartPrices[c]);
            }
            // Coinbase quotes some coins in USD and converts them with this rate.
            exchange.push(e, vindral::kCoinCount, 1.0, 1.0);
        }
        const int signal = sigtimedwait(&stop, nullptr, &pause);
        if (signal == SIGTERM || signal == SIGINT) {
            return 0;
        }
        if (signal < 0 && errno != EAGAIN && errno != EINTR) {
            return 1;
        }
    }
}
