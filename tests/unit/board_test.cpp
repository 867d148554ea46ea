#include "core/board.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace vindral {
namespace {

constexpr std::int64_t kNow = 1'700'000'000'000;
constexpr std::uint32_t kBinance = 0;
constexpr std::uint32_t kBitget = 1;
constexpr std::uint32_t kBybit = 2;
constexpr std::uint32_t kBtc = 0;
constexpr std::uint32_t kEth = 1;

PriceCell cellWith(double price, std::int64_t updatedAtMs, double open24h = 0) {
    PriceCell cell;
    cell.hasData = true;
    cell.lastOk = true;
    cell.price = price;
    cell.prevPrice = price;
    cell.open24h = open24h;
    cell.updatedAtMs = updatedAtMs;
    cell.seq = 1;
    return cell;
}

PriceCell failedCell(const char* error) {
    PriceCell cell;
    cell.error = error;
    return cell;
}

// A board with a 5000 ms interval: prices older than 13000 ms are stale.
PriceBoard boardAt5s() {
    PriceBoard board;
    board.config.intervalMs = 5000;
    return board;
}

TEST(Catalog, NamesSymbolsAndInitials) {
    EXPECT_EQ(coinSymbol(0), L"BTC");
    EXPECT_EQ(coinSymbol(1), L"ETH");
    EXPECT_EQ(coinSymbol(2), L"SUI");
    EXPECT_EQ(coinSymbol(3), L"?");
    EXPECT_EQ(coinSymbol(std::numeric_limits<std::uint32_t>::max()), L"?");

    const wchar_t* names[] = {L"Binance", L"Bitget", L"Bybit", L"OKX", L"Coinbase"};
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        EXPECT_EQ(exchangeName(e), names[e]);
    }
    EXPECT_EQ(exchangeName(5), L"?");

    EXPECT_EQ(coinInitialsText(0), L"B");
    EXPECT_EQ(coinInitialsText(1), L"E");
    EXPECT_EQ(coinInitialsText(2), L"S");
    EXPECT_EQ(coinInitialsText(3), L"?");
}

TEST(EngineConfigTest, DefaultsAndCounts) {
    const EngineConfig config;
    EXPECT_EQ(config.intervalMs, 5000);
    EXPECT_EQ(enabledExchanges(config), IndexList{kBitget});
    EXPECT_EQ(enabledCoins(config), (IndexList{0, 1, 2}));
    EXPECT_TRUE(config.serverUrl.empty());
    EXPECT_EQ(countExchanges(config), 1);
    EXPECT_EQ(countCoins(config), 3);

    const PriceBoard board;
    EXPECT_EQ(board.config, EngineConfig{});
    for (const auto& row : board.cells) {
        for (const PriceCell& cell : row) {
            EXPECT_FALSE(cell.hasData || cell.lastOk);
            EXPECT_EQ(cell.updatedAtMs, 0);
        }
    }
}

TEST(EngineConfigTest, ExchangePresets) {
    struct Case {
        std::int32_t count;
        IndexList enabled;
    };
    const Case cases[] = {
        {-1, {}},
        {0, {}},
        {1, {kBitget}},
        {2, {kBinance, kBitget}},
        {3, {kBinance, kBitget, kBybit}},
        {5, {0, 1, 2, 3, 4}},
        {7, {0, 1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        EngineConfig config;
        config.exchanges.fill(true);
        applyExchangePreset(config, c.count);
        EXPECT_EQ(enabledExchanges(config), c.enabled) << "count " << c.count;
    }
}

TEST(EngineConfigTest, NormalizeServerUrl) {
    struct Case {
        const wchar_t* input;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"", L""},
        {L"   ", L""},
        {L"/", L""},
        {L" \t/ //\r\n", L""},
        {L"192.168.0.10:12500/ ", L"http://192.168.0.10:12500"},
        {L"  prices.lan:12500", L"http://prices.lan:12500"},
        {L"https://prices.example//", L"https://prices.example"},
        {L"http://host:1/api/ / ", L"http://host:1/api"},
        {L"host/path://x", L"host/path://x"},
        {L"ftp://files", L"ftp://files"},
        {L"\u3000host\u00A0/\u2003", L"http://host"},
        {L"/host", L"http:///host"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(normalizeServerUrl(c.input), c.expected) << "input [" << c.input << "]";
    }
}

TEST(EngineConfigTest, ToEngineConfigClampsInterval) {
    struct Case {
        std::int32_t input;
        std::int32_t expected;
    };
    const Case cases[] = {
        {std::numeric_limits<std::int32_t>::min(), 1000},
        {0, 1000},
        {999, 1000},
        {1000, 1000},
        {5000, 5000},
        {300000, 300000},
        {300001, 300000},
        {std::numeric_limits<std::int32_t>::max(), 300000},
    };
    for (const Case& c : cases) {
        EngineConfig record;
        record.intervalMs = c.input;
        EXPECT_EQ(toEngineConfig(record).intervalMs, c.expected) << c.input;
        EXPECT_EQ(record.intervalMs, c.expected) << "written back for " << c.input;
    }
}

TEST(EngineConfigTest, ToEngineConfigFallsBackAndNormalizesOnDerivedRecords) {
    // The settings record extends the engine part; the corrections land in its base.
    struct Record : EngineConfig {
        int displayOnly = 42;
    };
    Record record;
    record.exchanges.fill(false);
    record.coins.fill(false);
    record.serverUrl = L" 10.0.0.2:12500/ ";

    const EngineConfig result = toEngineConfig(record);
    EXPECT_EQ(enabledExchanges(result), IndexList{kBitget});
    EXPECT_EQ(enabledCoins(result), IndexList{kBtc});
    EXPECT_EQ(result.serverUrl, L"http://10.0.0.2:12500");
    EXPECT_EQ(enabledExchanges(record), IndexList{kBitget});
    EXPECT_EQ(enabledCoins(record), IndexList{kBtc});
    EXPECT_EQ(record.serverUrl, L" 10.0.0.2:12500/ ");
    EXPECT_EQ(record.displayOnly, 42);

    EngineConfig blanks;
    blanks.serverUrl = L" \t ";
    EXPECT_TRUE(toEngineConfig(blanks).serverUrl.empty());

    EngineConfig chosen;
    chosen.exchanges = {true, false, false, true, false};
    chosen.coins = {false, true, true};
    const EngineConfig kept = toEngineConfig(chosen);
    EXPECT_EQ(kept.exchanges, chosen.exchanges);
    EXPECT_EQ(kept.coins, chosen.coins);
}

TEST(Freshness, WindowFollowsInterval) {
    struct Case {
        std::int32_t intervalMs;
        std::int64_t windowMs;
    };
    const Case cases[] = {
        {0, 6000},
        {1000, 6000},
        {1500, 6000},
        {1501, 6002},
        {5000, 13000},
        {300000, 603000},
        {std::numeric_limits<std::int32_t>::max(), 4294970294},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(freshWindowMs(c.intervalMs), c.windowMs) << c.intervalMs;
    }
}

TEST(Freshness, BoundaryFutureAndMissingData) {
    for (const std::int32_t interval : {1000, 5000, 300000}) {
        const std::int64_t window = freshWindowMs(interval);
        EXPECT_TRUE(isFresh(cellWith(1, kNow - window), interval, kNow)) << interval;
        EXPECT_FALSE(isFresh(cellWith(1, kNow - window - 1), interval, kNow)) << interval;
    }
    EXPECT_TRUE(isFresh(cellWith(1, kNow + 60'000), 1000, kNow));
    PriceCell never = cellWith(1, kNow);
    never.hasData = false;
    EXPECT_FALSE(isFresh(never, 1000, kNow));
    // Times from elsewhere can be anything; the age must not overflow.
    EXPECT_FALSE(isFresh(cellWith(1, std::numeric_limits<std::int64_t>::min()), 1000,
                         std::numeric_limits<std::int64_t>::max()));
    EXPECT_TRUE(isFresh(cellWith(1, std::numeric_limits<std::int64_t>::max()), 1000,
                        std::numeric_limits<std::int64_t>::min()));
}

TEST(Aggregate, MeanSpreadAndReferences) {
    PriceBoard board = boardAt5s();
    board.cells[kBinance][kBtc] = cellWith(100, kNow - 1000, 90);
    board.cells[kBitget][kBtc] = cellWith(102, kNow, 94);

    const CoinAggregate both = aggregateCoin(board, kBtc, {kBinance, kBitget}, kNow);
    EXPECT_EQ(both.count, 2);
    EXPECT_DOUBLE_EQ(both.meanPrice, 101);
    EXPECT_DOUBLE_EQ(both.meanOpen24h, 92);
    EXPECT_NEAR(both.spreadPct, 1.98019801980198, 1e-12);

    board.cells[kBitget][kBtc].open24h = 0;
    const CoinAggregate partial = aggregateCoin(board, kBtc, {kBinance, kBitget}, kNow);
    EXPECT_DOUBLE_EQ(partial.meanPrice, 101);
    EXPECT_EQ(partial.meanOpen24h, 0);
    EXPECT_FALSE(change24hPct(coinView(board, kBtc, {kBinance, kBitget}, kNow).price,
                              coinView(board, kBtc, {kBinance, kBitget}, kNow).open24h));
}

TEST(Aggregate, PricesNearTheTopOfTheRangeAverageToAFiniteNumber) {
    PriceBoard board = boardAt5s();
    board.cells[kBinance][kBtc] = cellWith(1.5e308, kNow, 1.7e308);
    board.cells[kBitget][kBtc] = cellWith(1.7e308, kNow, 1.7e308);
    const CoinAggregate a = aggregateCoin(board, kBtc, {kBinance, kBitget}, kNow);
    EXPECT_DOUBLE_EQ(a.meanPrice, 1.6e308);
    EXPECT_DOUBLE_EQ(a.meanOpen24h, 1.7e308);
    EXPECT_NEAR(a.spreadPct, 12.5, 1e-9);
}

TEST(Aggregate, UsesOnlyFreshShownCells) {
    PriceBoard board = boardAt5s();
    board.cells[kBinance][kEth] = cellWith(2000, kNow - 13000);
    board.cells[kBitget][kEth] = cellWith(2100, kNow - 13001);  // stale
    board.cells[kBybit][kEth] = cellWith(1900, kNow);
    board.cells[kBybit][kEth].lastOk = false;  // failed since, but its price is still fresh
    board.cells[kBybit][kEth].error = "시간 초과";

    const CoinAggregate shown = aggregateCoin(board, kEth, {kBinance, kBitget, kBybit}, kNow);
    EXPECT_EQ(shown.count, 2);
    EXPECT_DOUBLE_EQ(shown.meanPrice, 1950);
    EXPECT_EQ(shown.meanOpen24h, 0);

    const CoinAggregate one = aggregateCoin(board, kEth, {kBinance, 9}, kNow);
    EXPECT_EQ(one.count, 1);
    EXPECT_DOUBLE_EQ(one.meanPrice, 2000);
    EXPECT_EQ(one.spreadPct, 0);

    const CoinAggregate none = aggregateCoin(board, kEth, {kBitget}, kNow);
    EXPECT_EQ(none.count, 0);
    EXPECT_EQ(none.meanPrice, 0);
    EXPECT_EQ(none.spreadPct, 0);
    EXPECT_EQ(aggregateCoin(board, 7, {kBinance}, kNow).count, 0);
}

TEST(View, SingleExchange) {
    PriceBoard board = boardAt5s();
    const IndexList bitget{kBitget};

    board.cells[kBitget][kBtc] = failedCell("연결 실패");
    CoinView view = coinView(board, kBtc, bitget, kNow);
    EXPECT_FALSE(view.hasValue);
    EXPECT_TRUE(view.failed);
    EXPECT_FALSE(view.multi);

    board.cells[kBitget][kBtc] = PriceCell{};
    view = coinView(board, kBtc, bitget, kNow);
    EXPECT_FALSE(view.hasValue || view.failed || view.stale);

    board.cells[kBitget][kBtc] = cellWith(65000, kNow - 60'000, 64000);
    board.cells[kBitget][kBtc].lastOk = false;
    board.cells[kBitget][kBtc].error = "연결 실패";
    view = coinView(board, kBtc, bitget, kNow);
    EXPECT_TRUE(view.hasValue);
    EXPECT_TRUE(view.stale);
    EXPECT_FALSE(view.failed);
    EXPECT_EQ(view.price, 65000);
    EXPECT_EQ(view.open24h, 64000);

    board.cells[kBitget][kBtc].updatedAtMs = kNow - 13000;
    view = coinView(board, kBtc, bitget, kNow);
    EXPECT_TRUE(view.hasValue);
    EXPECT_FALSE(view.stale);

    view = coinView(board, kBtc, {}, kNow);
    EXPECT_FALSE(view.hasValue || view.failed || view.stale || view.multi);
    EXPECT_EQ(view.price, 0);
}

TEST(View, SeveralExchanges) {
    PriceBoard board = boardAt5s();
    const IndexList shown{kBinance, kBitget};
    board.cells[kBinance][kBtc] = cellWith(100, kNow - 20'000);
    board.cells[kBitget][kBtc] = cellWith(102, kNow - 20'000);

    // Neither fresh and no error anywhere: still loading.
    CoinView view = coinView(board, kBtc, shown, kNow);
    EXPECT_TRUE(view.multi);
    EXPECT_FALSE(view.hasValue || view.failed || view.stale);

    // An error on another coin of the shown board, no healthy cell: failed.
    board.cells[kBitget][kEth] = failedCell("응답 오류");
    view = coinView(board, kBtc, shown, kNow);
    EXPECT_FALSE(view.hasValue);
    EXPECT_TRUE(view.failed);

    // An error on a coin that is not shown does not count.
    board.config.coins = {true, false, true};
    EXPECT_FALSE(coinView(board, kBtc, shown, kNow).failed);
    board.config.coins = {true, true, true};

    // One fresh cell: its price, never marked stale.
    board.cells[kBitget][kBtc].updatedAtMs = kNow;
    view = coinView(board, kBtc, shown, kNow);
    EXPECT_TRUE(view.hasValue);
    EXPECT_FALSE(view.stale || view.failed);
    EXPECT_EQ(view.price, 102);
}

TEST(Health, Levels) {
    PriceBoard board = boardAt5s();
    const IndexList exchanges{kBinance, kBitget};
    const IndexList coins{kBtc, kEth};
    auto health = [&] { return boardHealth(board, exchanges, coins, kNow); };

    EXPECT_EQ(boardHealth(board, {}, coins, kNow), BoardHealth::Idle);
    EXPECT_EQ(boardHealth(board, exchanges, {}, kNow), BoardHealth::Idle);
    EXPECT_EQ(health(), BoardHealth::Idle);

    board.cells[kBinance][kEth] = failedCell("연결 실패");
    EXPECT_EQ(health(), BoardHealth::Failing);

    board.cells[kBinance][kBtc] = cellWith(1, kNow);
    EXPECT_EQ(health(), BoardHealth::SomeFresh);

    for (const std::uint32_t e : exchanges) {
        for (const std::uint32_t c : coins) {
            board.cells[e][c] = cellWith(1, kNow);
        }
    }
    EXPECT_EQ(health(), BoardHealth::AllFresh);

    // A fresh price whose last fetch failed is not healthy.
    board.cells[kBitget][kEth].lastOk = false;
    EXPECT_EQ(health(), BoardHealth::SomeFresh);

    // Stale everywhere, errors nowhere: idle rather than failing.
    for (const std::uint32_t e : exchanges) {
        for (const std::uint32_t c : coins) {
            board.cells[e][c] = cellWith(1, kNow - 13001);
        }
    }
    EXPECT_EQ(health(), BoardHealth::Idle);
}

TEST(Change24h, NeedsPositiveReference) {
    EXPECT_NEAR(change24hPct(110, 100).value(), 10, 1e-9);
    EXPECT_NEAR(change24hPct(95, 100).value(), -5, 1e-9);
    EXPECT_FALSE(change24hPct(110, 0));
    EXPECT_FALSE(change24hPct(110, -1));
    EXPECT_FALSE(change24hPct(110, std::numeric_limits<double>::quiet_NaN()));
    // A change too large for a double is no change to show.
    EXPECT_FALSE(change24hPct(1e308, 1e-308));
    EXPECT_FALSE(change24hPct(std::numeric_limits<double>::quiet_NaN(), 100));
}

TEST(Footer, CoverageOverrunAndLastUpdate) {
    BoardStats stats;
    stats.exchanges[kBinance] = {.ok = 95, .failed = 3, .overrun = 2};
    stats.exchanges[kBitget] = {.ok = 94, .failed = 6};
    stats.exchanges[kBybit] = {.scheduled = 10};

    const std::optional<double> full = coveragePct(stats, {kBinance});
    ASSERT_TRUE(full);
    EXPECT_DOUBLE_EQ(*full, 95.0);
    EXPECT_FALSE(*full < kCoverageWarnBelowPct);

    const std::optional<double> low = coveragePct(stats, {kBitget});
    ASSERT_TRUE(low);
    EXPECT_DOUBLE_EQ(*low, 94.0);
    EXPECT_TRUE(*low < kCoverageWarnBelowPct);

    EXPECT_DOUBLE_EQ(coveragePct(stats, {kBinance, kBitget}).value(), 189 * 100.0 / 200);
    EXPECT_FALSE(coveragePct(stats, {kBybit}));
    EXPECT_FALSE(coveragePct(stats, {}));

    EXPECT_EQ(overrunSum(stats, {kBinance, kBitget}), 2u);
    EXPECT_EQ(overrunSum(stats, {kBitget}), 0u);

    PriceBoard board;
    EXPECT_EQ(lastUpdateMs(board, {kBinance, kBitget}, {kBtc, kEth}), 0);
    board.cells[kBinance][kEth] = cellWith(1, kNow - 5);
    board.cells[kBitget][kBtc].updatedAtMs = kNow - 2;  // counts even without data
    board.cells[kBybit][kBtc] = cellWith(1, kNow);      // not shown
    EXPECT_EQ(lastUpdateMs(board, {kBinance, kBitget}, {kBtc, kEth}), kNow - 2);
    EXPECT_EQ(lastUpdateMs(board, {kBinance, kBitget}, {kEth}), kNow - 5);
}

}  // namespace
}  // namespace vindral
