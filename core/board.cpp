#include "core/board.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/format.h"

namespace vindral {

namespace {

constexpr std::array<std::wstring_view, kCoinCount> kCoinSymbols{L"BTC", L"ETH", L"SUI"};
constexpr std::array<std::wstring_view, kExchangeCount> kExchangeNames{
    L"Binance", L"Bitget", L"Bybit", L"OKX", L"Coinbase"};
constexpr std::wstring_view kUnknownName = L"?";

// Freshness never falls below this, whatever the interval.
constexpr std::int64_t kMinFreshWindowMs = 6000;
constexpr std::int64_t kFreshSlackMs = 3000;

const PriceCell* cellAt(const PriceBoard& board, std::uint32_t exchange, std::uint32_t coin) {
    if (exchange >= kExchangeCount || coin >= kCoinCount) {
        return nullptr;
    }
    return &board.cells[exchange][coin];
}

bool isHealthy(const PriceCell& cell, std::int32_t intervalMs, std::int64_t nowMs) {
    return cell.hasData && cell.lastOk && isFresh(cell, intervalMs, nowMs);
}

}  // namespace

std::wstring coinSymbol(std::uint32_t coin) {
    return std::wstring(coin < kCoinCount ? kCoinSymbols[coin] : kUnknownName);
}

std::wstring exchangeName(std::uint32_t exchange) {
    return std::wstring(exchange < kExchangeCount ? kExchangeNames[exchange] : kUnknownName);
}

std::wstring coinInitialsText(std::uint32_t coin) {
    const std::wstring symbol = coinSymbol(coin);
    constexpr std::size_t kMaxInitials = 2;
    for (std::size_t length = 1; length <= kMaxInitials && length <= symbol.size(); ++length) {
        const std::wstring_view prefix = std::wstring_view(symbol).substr(0, length);
        bool clash = false;
        for (std::uint32_t other = 0; other < kCoinCount && !clash; ++other) {
            if (other != coin) {
                clash = std::wstring_view(kCoinSymbols[other]).substr(0, length) == prefix;
            }
        }
        if (!clash) {
            return std::wstring(prefix);
        }
    }
    return symbol.substr(0, kMaxInitials);
}

std::int32_t countExchanges(const EngineConfig& config) {
    return static_cast<std::int32_t>(
        std::count(config.exchanges.begin(), config.exchanges.end(), true));
}

std::int32_t countCoins(const EngineConfig& config) {
    return static_cast<std::int32_t>(std::count(config.coins.begin(), config.coins.end(), true));
}

IndexList enabledExchanges(const EngineConfig& config) {
    IndexList result;
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        if (config.exchanges[e]) {
            result.push_back(e);
        }
    }
    return result;
}

IndexList enabledCoins(const EngineConfig& config) {
    IndexList result;
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        if (config.coins[c]) {
            result.push_back(c);
        }
    }
    return result;
}

void applyExchangePreset(EngineConfig& config, std::int32_t count) {
    config.exchanges.fill(false);
    const std::int32_t used = std::clamp(count, 0, static_cast<std::int32_t>(kExchangeCount));
    for (std::int32_t i = 0; i < used; ++i) {
        config.exchanges[kExchangePresetOrder[i]] = true;
    }
}

EngineConfig toEngineConfig(EngineConfig& config) {
    config.intervalMs = std::clamp(config.intervalMs, kMinIntervalMs, kMaxIntervalMs);
    if (countExchanges(config) == 0) {
        config.exchanges[kExchangePresetOrder[0]] = true;
    }
    if (countCoins(config) == 0) {
        config.coins[0] = true;
    }
    EngineConfig result;
    result.intervalMs = config.intervalMs;
    result.exchanges = config.exchanges;
    result.coins = config.coins;
    result.serverUrl = normalizeServerUrl(config.serverUrl);
    result.kimchiPremium = config.kimchiPremium;
    return result;
}

std::wstring normalizeServerUrl(std::wstring_view url) {
    std::size_t begin = 0;
    while (begin < url.size() && isWideSpace(url[begin])) {
        ++begin;
    }
    std::size_t end = url.size();
    while (end > begin && (isWideSpace(url[end - 1]) || url[end - 1] == L'/')) {
        --end;
    }
    const std::wstring_view kept = url.substr(begin, end - begin);
    if (kept.empty()) {
        return {};
    }
    if (kept.find(L"://") != std::wstring_view::npos) {
        return std::wstring(kept);
    }
    return L"http://" + std::wstring(kept);
}

std::int64_t freshWindowMs(std::int32_t intervalMs) {
    return std::max(2 * static_cast<std::int64_t>(intervalMs) + kFreshSlackMs, kMinFreshWindowMs);
}

std::int64_t ageMs(std::int64_t nowMs, std::int64_t updatedAtMs) {
    std::int64_t age = 0;
    if (__builtin_sub_overflow(nowMs, updatedAtMs, &age)) {
        return updatedAtMs < 0 ? std::numeric_limits<std::int64_t>::max()
                               : std::numeric_limits<std::int64_t>::min();
    }
    return age;
}

bool isFresh(const PriceCell& cell, std::int32_t intervalMs, std::int64_t nowMs) {
    return cell.hasData && ageMs(nowMs, cell.updatedAtMs) <= freshWindowMs(intervalMs);
}

CoinAggregate aggregateCoin(const PriceBoard& board, std::uint32_t coin, const IndexList& exchanges,
                            std::int64_t nowMs) {
    std::vector<const PriceCell*> used;
    for (const std::uint32_t exchange : exchanges) {
        const PriceCell* cell = cellAt(board, exchange, coin);
        if (cell != nullptr && isFresh(*cell, board.config.intervalMs, nowMs)) {
            used.push_back(cell);
        }
    }
    CoinAggregate result;
    if (used.empty()) {
        return result;
    }
    result.count = static_cast<std::int32_t>(used.size());
    // Summed in shares of the mean, so that prices near the top of the double range cannot add
    // up to infinity.
    double referenceSum = 0;
    std::int32_t referenceCount = 0;
    double minPrice = used.front()->price;
    double maxPrice = used.front()->price;
    for (const PriceCell* cell : used) {
        result.meanPrice += cell->price / result.count;
        minPrice = std::min(minPrice, cell->price);
        maxPrice = std::max(maxPrice, cell->price);
        if (cell->open24h > 0) {
            referenceSum += cell->open24h / result.count;
            ++referenceCount;
        }
    }
    if (referenceCount == result.count) {
        result.meanOpen24h = referenceSum;
    }
    result.spreadPct = (maxPrice - minPrice) / result.meanPrice * 100.0;
    return result;
}

CoinView coinView(const PriceBoard& board, std::uint32_t coin, const IndexList& exchanges,
                  std::int64_t nowMs) {
    CoinView view;
    if (exchanges.empty()) {
        return view;
    }
    if (exchanges.size() == 1) {
        const PriceCell* cell = cellAt(board, exchanges.front(), coin);
        if (cell == nullptr) {
            return view;
        }
        view.hasValue = cell->hasData;
        view.price = cell->price;
        view.open24h = cell->open24h;
        if (cell->hasData) {
            view.stale = ageMs(nowMs, cell->updatedAtMs) > freshWindowMs(board.config.intervalMs);
        } else {
            view.failed = !cell->error.empty();
        }
        return view;
    }
    view.multi = true;
    const CoinAggregate aggregate = aggregateCoin(board, coin, exchanges, nowMs);
    view.hasValue = aggregate.count >= 1;
    view.price = aggregate.meanPrice;
    view.open24h = aggregate.meanOpen24h;
    if (aggregate.count == 0) {
        view.failed = boardHealth(board, exchanges, enabledCoins(board.config), nowMs) ==
                      BoardHealth::Failing;
    }
    return view;
}

BoardHealth boardHealth(const PriceBoard& board, const IndexList& exchanges, const IndexList& coins,
                        std::int64_t nowMs) {
    if (exchanges.empty()) {
        return BoardHealth::Idle;
    }
    std::size_t visited = 0;
    std::size_t healthy = 0;
    std::size_t failing = 0;
    for (const std::uint32_t exchange : exchanges) {
        for (const std::uint32_t coin : coins) {
            const PriceCell* cell = cellAt(board, exchange, coin);
            if (cell == nullptr) {
                continue;
            }
            ++visited;
            if (isHealthy(*cell, board.config.intervalMs, nowMs)) {
                ++healthy;
            } else if (!cell->error.empty()) {
                ++failing;
            }
        }
    }
    if (visited > 0 && healthy == visited) {
        return BoardHealth::AllFresh;
    }
    if (healthy > 0) {
        return BoardHealth::SomeFresh;
    }
    if (failing > 0) {
        return BoardHealth::Failing;
    }
    return BoardHealth::Idle;
}

std::optional<double> change24hPct(double price, double reference) {
    if (!(reference > 0)) {
        return std::nullopt;
    }
    const double change = (price / reference - 1.0) * 100.0;
    return std::isfinite(change) ? std::optional(change) : std::nullopt;
}

std::optional<double> coveragePct(const BoardStats& stats, const IndexList& exchanges) {
    std::uint64_t ok = 0;
    std::uint64_t attempts = 0;
    for (const std::uint32_t exchange : exchanges) {
        if (exchange < kExchangeCount) {
            const ExchangeStats& counters = stats.exchanges[exchange];
            ok += counters.ok;
            attempts += counters.ok + counters.failed + counters.overrun;
        }
    }
    if (attempts == 0) {
        return std::nullopt;
    }
    return static_cast<double>(ok) * 100.0 / static_cast<double>(attempts);
}

std::uint64_t overrunSum(const BoardStats& stats, const IndexList& exchanges) {
    std::uint64_t sum = 0;
    for (const std::uint32_t exchange : exchanges) {
        if (exchange < kExchangeCount) {
            sum += stats.exchanges[exchange].overrun;
        }
    }
    return sum;
}

std::int64_t lastUpdateMs(const PriceBoard& board, const IndexList& exchanges,
                          const IndexList& coins) {
    std::int64_t latest = 0;
    for (const std::uint32_t exchange : exchanges) {
        for (const std::uint32_t coin : coins) {
            if (const PriceCell* cell = cellAt(board, exchange, coin)) {
                latest = std::max(latest, cell->updatedAtMs);
            }
        }
    }
    return latest;
}

}  // namespace vindral
