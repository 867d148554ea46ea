// The vocabulary of the market data core: the coin and exchange catalogs, the engine
// configuration, the price board the engine fills and the pure rules that read it.
// Nothing here locks or does I/O; the engine owns the live board and hands out copies.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vindral {

inline constexpr std::uint32_t kCoinCount = 3;
inline constexpr std::uint32_t kExchangeCount = 5;

// Exchange indices in the order the user adds them when picking a number of exchanges:
// Bitget, Binance, Bybit, OKX, Coinbase.
inline constexpr std::array<std::uint32_t, kExchangeCount> kExchangePresetOrder{1, 0, 2, 3, 4};

inline constexpr std::int32_t kMinIntervalMs = 1000;
inline constexpr std::int32_t kMaxIntervalMs = 300000;
inline constexpr std::int32_t kDefaultIntervalMs = 5000;

// The footer draws a coverage below this in the warning colour.
inline constexpr double kCoverageWarnBelowPct = 95.0;

// "BTC", "ETH", "SUI"; "?" for any other index.
std::wstring coinSymbol(std::uint32_t coin);
// "Binance", "Bitget", "Bybit", "OKX", "Coinbase"; "?" for any other index.
std::wstring exchangeName(std::uint32_t exchange);
// Shortest prefix of the coin's symbol that no other coin shares ("B", "E", "S").
std::wstring coinInitialsText(std::uint32_t coin);

struct EngineConfig {
    std::int32_t intervalMs = kDefaultIntervalMs;
    std::array<bool, kExchangeCount> exchanges{false, true, false, false, false};
    std::array<bool, kCoinCount> coins{true, true, true};
    // Normalized base URL of the price server; empty means the engine polls the exchanges itself.
    std::wstring serverUrl;
    // Upbit's KRW prices and the USD/KRW rate are fetched (and the kimchi premium shown).
    bool kimchiPremium = false;

    bool operator==(const EngineConfig&) const = default;
};

struct PriceCell {
    bool hasData = false;
    bool lastOk = false;
    double price = 0;
    double prevPrice = 0;
    double open24h = 0;  // 0 when the exchange gave no 24-hour reference
    double latencyMs = 0;
    std::int64_t updatedAtMs = 0;  // wall clock, ms since 1970 UTC; 0 = never
    std::uint64_t seq = 0;         // changes whenever a new price is accepted
    std::string error;             // Korean UTF-8 text of the latest failure
};

struct ExchangeStats {
    std::uint64_t scheduled = 0;
    std::uint64_t ok = 0;
    std::uint64_t failed = 0;
    std::uint64_t overrun = 0;
    double lastLatencyMs = 0;
    double avgLatencyMs = 0;
    double maxLatencyMs = 0;
};

struct BoardStats {
    std::array<ExchangeStats, kExchangeCount> exchanges{};
    std::uint64_t ticks = 0;
    std::int64_t lastTickMs = 0;
    std::int64_t statsSinceMs = 0;
    std::uint32_t inFlight = 0;
};

using CellGrid = std::array<std::array<PriceCell, kCoinCount>, kExchangeCount>;

enum class FxSource : std::uint8_t {
    Bank,  // a Korean bank's posted rate (the Dunamu quotation feed), re-posted during the day
    Ecb,   // the ECB's daily reference rate (through Frankfurter), one per working day
};

// One USD/KRW reading.
struct FxQuote {
    double krwPerUsd = 0;
    std::int64_t postedAtMs = 0;  // when the source posted it, ms since 1970 UTC
    FxSource source = FxSource::Bank;
    std::string provider;  // UTF-8 name shown to the user: "하나은행", "ECB"
};

// The rate as the board keeps it; like a price cell, a failed fetch keeps the last rate.
struct FxCell {
    bool hasData = false;
    bool lastOk = false;
    FxQuote quote;
    std::string error;  // Korean UTF-8 text of the latest failure
};

// The Korean market beside the exchanges, filled only while config.kimchiPremium is on:
// Upbit's KRW price per coin (a cell like an exchange's), its fetch statistics and the rate.
struct KrwBoard {
    std::array<PriceCell, kCoinCount> upbit{};
    ExchangeStats upbitStats;
    FxCell fx;
};

// Snapshot of the engine's board; cells are indexed [exchange][coin].
struct PriceBoard {
    EngineConfig config;
    CellGrid cells{};
    BoardStats stats;
    KrwBoard krw;
    // On the server road: a board has come from the price server since the engine started.
    bool serverAnswered = false;
};

struct CoinAggregate {
    std::int32_t count = 0;  // fresh cells averaged
    double meanPrice = 0;
    double meanOpen24h = 0;  // 0 unless every averaged cell had a reference price
    double spreadPct = 0;
};

struct CoinView {
    bool hasValue = false;
    bool stale = false;
    bool failed = false;
    bool multi = false;  // two or more exchanges shown: the price is an average
    double price = 0;
    double open24h = 0;
};

enum class BoardHealth { AllFresh, SomeFresh, Failing, Idle };

// Lists of shown exchanges or coins hold indices in ascending order.
using IndexList = std::vector<std::uint32_t>;

std::int32_t countExchanges(const EngineConfig& config);
std::int32_t countCoins(const EngineConfig& config);
// Enabled exchange (coin) indices in ascending order: the lists the window shows.
IndexList enabledExchanges(const EngineConfig& config);
IndexList enabledCoins(const EngineConfig& config);

// Enables the first min(count, 5) exchanges of the preset order and nothing else.
void applyExchangePreset(EngineConfig& config, std::int32_t count);

// Clamps the interval and falls back to Bitget alone and BTC alone when nothing is selected;
// those corrections are written back into `config`. The result also carries the normalized
// server URL (the record keeps the text the user typed).
EngineConfig toEngineConfig(EngineConfig& config);

// Trims blanks, drops trailing slashes and adds "http://" when no scheme is given;
// empty when nothing is left.
std::wstring normalizeServerUrl(std::wstring_view url);

// How long a price counts as fresh: max(2 * interval + 3000 ms, 6000 ms).
std::int64_t freshWindowMs(std::int32_t intervalMs);
// now - updatedAtMs, saturated instead of overflowing: times can come from a server and be
// anything.
std::int64_t ageMs(std::int64_t nowMs, std::int64_t updatedAtMs);
// A timestamp in the future counts as fresh.
bool isFresh(const PriceCell& cell, std::int32_t intervalMs, std::int64_t nowMs);

// Mean over the fresh cells of the shown exchanges; failed fetches count while their
// stored price is fresh. Indices outside the catalogs are ignored.
CoinAggregate aggregateCoin(const PriceBoard& board, std::uint32_t coin, const IndexList& exchanges,
                            std::int64_t nowMs);

// What the window draws for one coin. With several exchanges and no fresh price, the coin
// counts as failed when the health of the shown board (the board config's coins) is Failing.
CoinView coinView(const PriceBoard& board, std::uint32_t coin, const IndexList& exchanges,
                  std::int64_t nowMs);

BoardHealth boardHealth(const PriceBoard& board, const IndexList& exchanges, const IndexList& coins,
                        std::int64_t nowMs);

// (price / reference - 1) * 100; empty without a positive reference or when it is not finite.
std::optional<double> change24hPct(double price, double reference);

// Successful fetches in percent of all attempts (ok + failed + overrun) of the shown
// exchanges; empty when there were none.
std::optional<double> coveragePct(const BoardStats& stats, const IndexList& exchanges);
// Sum of the overrun counters of the shown exchanges.
std::uint64_t overrunSum(const BoardStats& stats, const IndexList& exchanges);
// Latest updatedAtMs over the shown cells, with or without data; 0 when none was ever updated.
std::int64_t lastUpdateMs(const PriceBoard& board, const IndexList& exchanges,
                          const IndexList& coins);

}  // namespace vindral
