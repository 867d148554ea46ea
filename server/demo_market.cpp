#include "server/demo_market.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>
#include <random>
#include <string>

#include "core/board.h"
#include "core/format.h"

namespace vindral {
namespace {

using Clock = std::chrono::steady_clock;

struct CoinModel {
    double level;         // where the price starts and is pulled back to
    double ticksPerUnit;  // prices are quoted in whole ticks (cents for BTC), as exchanges do
};

constexpr std::array<CoinModel, kCoinCount> kCoins{{
    {97000.0, 100.0},  // BTC
    {3600.0, 100.0},   // ETH
    {4.2, 10000.0},    // SUI
}};

// Relative price bias and typical answer time of each exchange, in catalog order.
constexpr std::array<double, kExchangeCount> kExchangeBias{-0.0002, 0.0, 0.00015, 0.0001, 0.00025};
constexpr std::array<double, kExchangeCount> kBaseLatencyMs{45, 70, 95, 120, 160};
constexpr double kLatencyJitterMeanMs = 20;

// About 4 % a day, pulled back towards the level with a time constant of an hour.
constexpr double kVolatilityPerSqrtSecond = 0.00015;
constexpr double kReversionPerSecond = 1.0 / 3600.0;
constexpr double kQuoteNoise = 0.00005;
constexpr double kOpen24hSpread = 0.04;

constexpr std::array<const char*, 4> kFailureTexts{"시간 초과", "HTTP 502",
                                                   "HTTP 429 요청 한도 초과", "연결 끊김"};

// The Korean market: the won rate wanders a little around its level, and each coin's premium
// swings smoothly between about +1 % and +3 % over a quarter of an hour, each coin in its own
// phase, so that a window shows it move without jumping.
constexpr double kFxLevel = 1390.0;
constexpr double kFxVolatilityPerSqrtSecond = 0.00003;
constexpr double kPremiumMid = 0.02;
constexpr double kPremiumSwing = 0.01;
constexpr double kPremiumPeriodSeconds = 900.0;
constexpr std::array<double, kCoinCount> kPremiumPhase{0.0, 2.1, 4.2};
constexpr double kUpbitLatencyMs = 60;
constexpr double kFxLatencyMs = 80;
// The bank re-posts its rate every few minutes; the demo's latest post is this old.
constexpr std::int64_t kFxPostedAgoMs = 3 * 60 * 1000;
constexpr std::int64_t kMinuteMs = 60 * 1000;
constexpr char kFxProvider[] = "하나은행";

// Upbit's won price steps: coarser as the price grows.
double upbitTick(double krw) {
    constexpr std::array<std::pair<double, double>, 7> kSteps{{
        {2000000, 1000},
        {1000000, 500},
        {500000, 100},
        {100000, 50},
        {10000, 10},
        {1000, 1},
        {100, 0.1},
    }};
    for (const auto& [from, tick] : kSteps) {
        if (krw >= from)
            return tick;
    }
    return 0.01;
}

class DemoSource final : public PriceSource {
  public:
    explicit DemoSource(const DemoMarketOptions& options)
        : options_(options), random_(options.seed) {
        std::uniform_real_distribution<double> openShift(-kOpen24hSpread, kOpen24hSpread);
        const Clock::time_point now = Clock::now();
        for (std::size_t c = 0; c < kCoinCount; ++c) {
            logPrice_[c] = std::log(kCoins[c].level);
            open24h_[c] = kCoins[c].level * (1.0 + openShift(random_));
            lastMove_[c] = now;
        }
        logFx_ = std::log(kFxLevel);
        lastFxMove_ = now;
        started_ = now;
    }

    FetchOutcome fetch(std::uint32_t exchange, std::uint32_t coin) override {
        FetchOutcome outcome;
        if (exchange >= kExchangeCount || coin >= kCoinCount) {
            outcome.error = "알 수 없는 거래소";
            return outcome;
        }
        std::unique_lock lock(mutex_);
        const double latencyMs = drawLatencyMs(exchange, coin);
        const bool fails = std::bernoulli_distribution(options_.failureProbability)(random_);
        const std::size_t failureIndex =
            std::uniform_int_distribution<std::size_t>(0, kFailureTexts.size() - 1)(random_);
        if (options_.simulateLatency) {
            const auto wait = std::chrono::duration<double, std::milli>(latencyMs);
            wake_.wait_for(lock, wait, [this] { return cancelled_; });
        }
        if (cancelled_) {
            outcome.error = "취소됨";
            return outcome;
        }
        if (fails) {
            outcome.error = kFailureTexts[failureIndex];
            return outcome;
        }
        const double bias = 1.0 + kExchangeBias[exchange];
        const double noise = 1.0 + std::normal_distribution<double>(0.0, kQuoteNoise)(random_);
        outcome.ok = true;
        outcome.price = roundToTick(std::exp(movedLogPrice(coin)) * bias * noise, coin);
        outcome.open24h = roundToTick(open24h_[coin] * bias, coin);
        outcome.latencyMs = latencyMs;
        return outcome;
    }

    std::array<FetchOutcome, kCoinCount> fetchUpbit(const IndexList& coins) override {
        std::array<FetchOutcome, kCoinCount> outcomes;
        std::unique_lock lock(mutex_);
        const double latencyMs = kUpbitLatencyMs + drawJitterMs();
        const bool fails = std::bernoulli_distribution(options_.failureProbability)(random_);
        wait(lock, latencyMs);
        const double krwPerUsd = std::exp(movedLogFx());
        const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        for (const std::uint32_t coin : coins) {
            if (coin >= kCoinCount)
                continue;
            FetchOutcome& outcome = outcomes[coin];
            outcome.latencyMs = latencyMs;
            if (cancelled_) {
                outcome.error = "업비트 취소됨";
                continue;
            }
            if (fails) {
                outcome.error = "업비트 시간 초과";
                continue;
            }
            const double premium =
                kPremiumMid +
                kPremiumSwing * std::sin(2 * std::numbers::pi * seconds / kPremiumPeriodSeconds +
                                         kPremiumPhase[coin]);
            const double krw = std::exp(movedLogPrice(coin)) * krwPerUsd * (1 + premium);
            const double tick = upbitTick(krw);
            outcome.ok = true;
            outcome.price = std::max(1.0, std::round(krw / tick)) * tick;
        }
        return outcomes;
    }

    FxFetch fetchFx() override {
        FxFetch result;
        std::unique_lock lock(mutex_);
        wait(lock, kFxLatencyMs + drawJitterMs());
        if (cancelled_) {
            result.error = "환율 조회 실패 (취소됨)";
            return result;
        }
        FxQuote quote;
        // Banks post to the hundredth of a won, on the minute.
        quote.krwPerUsd = std::round(std::exp(movedLogFx()) * 100) / 100;
        quote.postedAtMs = (wallClockMs() - kFxPostedAgoMs) / kMinuteMs * kMinuteMs;
        quote.source = FxSource::Bank;
        quote.provider = kFxProvider;
        result.quote = quote;
        return result;
    }

    void cancel() override {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        wake_.notify_all();
    }

  private:
    double drawJitterMs() {
        return std::exponential_distribution<double>(1.0 / kLatencyJitterMeanMs)(random_);
    }

    void wait(std::unique_lock<std::mutex>& lock, double ms) {
        if (options_.simulateLatency) {
            wake_.wait_for(lock, std::chrono::duration<double, std::milli>(ms),
                           [this] { return cancelled_; });
        }
    }

    double movedLogFx() {
        const Clock::time_point now = Clock::now();
        const double dt = std::chrono::duration<double>(now - lastFxMove_).count();
        lastFxMove_ = now;
        if (dt > 0) {
            const double pull = -kReversionPerSecond * (logFx_ - std::log(kFxLevel));
            const double step = std::normal_distribution<double>(0.0, 1.0)(random_);
            logFx_ += pull * dt + kFxVolatilityPerSqrtSecond * std::sqrt(dt) * step;
        }
        return logFx_;
    }

    double drawLatencyMs(std::uint32_t exchange, std::uint32_t coin) {
        const double jitter =
            std::exponential_distribution<double>(1.0 / kLatencyJitterMeanMs)(random_);
        double latency = kBaseLatencyMs[exchange] + jitter;
        // Coinbase quotes SUI in USD, so the real fetch needs a second request for the rate.
        if (exchange == 4 && coin >= 2)
            latency *= 2;
        return latency;
    }

    // Moves the coin's walk on to now and returns its log price.
    double movedLogPrice(std::uint32_t coin) {
        const Clock::time_point now = Clock::now();
        const double dt = std::chrono::duration<double>(now - lastMove_[coin]).count();
        lastMove_[coin] = now;
        if (dt > 0) {
            const double pull =
                -kReversionPerSecond * (logPrice_[coin] - std::log(kCoins[coin].level));
            const double step = std::normal_distribution<double>(0.0, 1.0)(random_);
            logPrice_[coin] += pull * dt + kVolatilityPerSqrtSecond * std::sqrt(dt) * step;
        }
        return logPrice_[coin];
    }

    // Dividing by the tick count gives the double nearest to the decimal price, so it prints
    // as the exchange would quote it.
    static double roundToTick(double price, std::uint32_t coin) {
        const double ticks = kCoins[coin].ticksPerUnit;
        return std::max(1.0, std::round(price * ticks)) / ticks;
    }

    const DemoMarketOptions options_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool cancelled_ = false;
    std::mt19937_64 random_;
    std::array<double, kCoinCount> logPrice_{};
    std::array<double, kCoinCount> open24h_{};
    std::array<Clock::time_point, kCoinCount> lastMove_{};
    double logFx_ = 0;
    Clock::time_point lastFxMove_{};
    Clock::time_point started_{};
};

}  // namespace

std::unique_ptr<PriceSource> makeDemoSource(const DemoMarketOptions& options) {
    return std::make_unique<DemoSource>(options);
}

}  // namespace vindral
