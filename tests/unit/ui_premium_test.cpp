// The window's rules for the kimchi premium without a window: the room each look makes for it at
// every DPI and zoom, which cell the pointer rests on, the tray line and the menu toggle.
#include <gtest/gtest.h>

#include <vector>

#include "core/format.h"
#include "core/kimchi_premium.h"
#include "settings/settings.h"
#include "ui/cell_texts.h"
#include "ui/layout.h"
#include "ui/menu_extras.h"
#include "ui/view_model.h"

namespace vindral {
namespace {

constexpr std::uint32_t kBinance = 0, kBitget = 1, kBybit = 2;
constexpr std::uint32_t kBtc = 0, kEth = 1, kSui = 2;
constexpr std::int64_t kNow = 1'790'000'000'000;

TEST(UiPremiumLayout, TheTableWidensByOneColumnAndTheMiniRowsByThePremiumAtEveryDpiAndZoom) {
    for (const std::uint32_t dpi : {96u, 120u, 144u}) {
        for (const int zoom : kZoomPresetsPct) {
            SCOPED_TRACE(testing::Message() << dpi << " dpi, zoom " << zoom);
            for (const int exchanges : {2, 3, 5}) {
                const LayoutMetrics off = computeLayout(Look::Table, dpi, zoom, exchanges, 3, 0);
                const LayoutMetrics on =
                    computeLayout(Look::Table, dpi, zoom, exchanges, 3, 0, true);
                EXPECT_EQ(on.windowWidth, off.windowWidth + off.columnWidth) << exchanges;
                EXPECT_EQ(on.windowHeight, off.windowHeight);
                EXPECT_TRUE(on.kimchiPremium);
                EXPECT_FALSE(off.kimchiPremium);
            }
            const LayoutMetrics miniOff = computeLayout(Look::Mini, dpi, zoom, 3, 3, 0);
            const LayoutMetrics miniOn = computeLayout(Look::Mini, dpi, zoom, 3, 3, 0, true);
            EXPECT_EQ(miniOff.miniPremiumWidth, 0);
            EXPECT_EQ(miniOn.miniPremiumWidth, scaled(dpi, zoom, 80));
            EXPECT_EQ(miniOn.windowHeight, miniOff.windowHeight);
        }
    }
    // The figures the end-to-end run measures: three exchanges at 100 %.
    EXPECT_EQ(computeLayout(Look::Table, 96, 100, 3, 3, 0, true).windowWidth, 608);
    EXPECT_EQ(computeLayout(Look::Table, 144, 100, 3, 3, 0, true).windowWidth, 912);
    // One exchange and the premium still fit the minimum width.
    EXPECT_EQ(computeLayout(Look::Table, 96, 100, 1, 3, 0, true).windowWidth, 300);
    EXPECT_EQ(computeLayout(Look::Table, 96, 150, 1, 3, 0, true).windowWidth, 450);
    EXPECT_EQ(tableColumnCount(1, true), 2);
    EXPECT_EQ(tableColumnCount(3, true), 5);
    EXPECT_EQ(tableColumnCount(3, false), 4);
    // 42 + 112 + 64 + 80 + 2 x 10: the mini view outgrows its minimum.
    EXPECT_EQ(computeLayout(Look::Mini, 96, 100, 3, 3, 0, true).windowWidth, 318);
    EXPECT_EQ(computeLayout(Look::Mini, 144, 100, 3, 3, 0, true).windowWidth, 477);
}

TEST(UiPremiumLayout, TheStripAddsAGapAndThePremiumPerCoin) {
    StripMeasures m;
    m.labelWidth = {9, 9, 9};
    m.priceWidth = {60, 50, 40};
    m.changeWidth = 40;
    const int off = initialsStripWidth(96, 100, m, {kBtc, kEth, kSui});
    m.premiumWidth = 55;
    EXPECT_EQ(initialsStripWidth(96, 100, m, {kBtc, kEth, kSui}), off + 3 * (4 + 55));
    EXPECT_EQ(
        initialsStripWidth(144, 100, m, {kEth}),
        initialsStripWidth(144, 100, StripMeasures{m.labelWidth, m.priceWidth, 40, 0}, {kEth}) + 6 +
            55);
}

TEST(UiPremiumLayout, HoverFindsThePremiumColumnAndTheMiniPremium) {
    const IndexList three{kBinance, kBitget, kBybit};
    const IndexList coins{kBtc, kSui};
    const LayoutMetrics table = computeLayout(Look::Table, 96, 100, 3, 2, 0, true);
    // Columns from x 58, 108 wide: three exchanges, the average (382-489), the premium (490-597).
    struct Case {
        int x, y;
        std::optional<HoverCell> expected;
    };
    const Case cases[] = {
        {489, 60, HoverCell{kBtc, std::nullopt, false}},
        {490, 60, HoverCell{kBtc, std::nullopt, true}},
        {597, 100, HoverCell{kSui, std::nullopt, true}},
        {598, 60, std::nullopt},
        {166, 60, HoverCell{kBtc, kBitget, false}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hoverCellAt(Look::Table, table, 96, 100, three, coins, c.x, c.y), c.expected)
            << c.x << "," << c.y;
    }
    // With one exchange the premium follows its column directly.
    const LayoutMetrics single = computeLayout(Look::Table, 96, 100, 1, 2, 0, true);
    EXPECT_EQ(hoverCellAt(Look::Table, single, 96, 100, {kBitget}, coins, 100, 60),
              (HoverCell{kBtc, kBitget, false}));
    EXPECT_EQ(hoverCellAt(Look::Table, single, 96, 100, {kBitget}, coins, 200, 60),
              (HoverCell{kBtc, std::nullopt, true}));
    EXPECT_EQ(hoverCellAt(Look::Table, single, 96, 100, {kBitget}, coins, 280, 60), std::nullopt);

    // Mini rows: the premium is the last 80 px before the right padding (318 - 10 - 80 = 228).
    const LayoutMetrics mini = computeLayout(Look::Mini, 96, 100, 1, 2, 0, true);
    EXPECT_EQ(hoverCellAt(Look::Mini, mini, 96, 100, {kBitget}, coins, 227, 30),
              (HoverCell{kBtc, kBitget, false}));
    EXPECT_EQ(hoverCellAt(Look::Mini, mini, 96, 100, {kBitget}, coins, 228, 30),
              (HoverCell{kBtc, std::nullopt, true}));
    EXPECT_EQ(hoverCellAt(Look::Mini, mini, 96, 100, {kBitget}, coins, 308, 30), std::nullopt);
}

PriceCell freshCell(double price, double open24h) {
    PriceCell cell;
    cell.hasData = true;
    cell.lastOk = true;
    cell.price = price;
    cell.prevPrice = price;
    cell.open24h = open24h;
    cell.updatedAtMs = kNow - 1000;
    cell.seq = 1;
    return cell;
}

TEST(UiPremiumTexts, TrayLinesCarryThePremiumOnlyWhenAsked) {
    PriceBoard board;
    board.config.intervalMs = 5000;
    board.config.kimchiPremium = true;
    board.cells[kBitget][kBtc] = freshCell(100, 99);
    board.cells[kBitget][kEth] = freshCell(2000, 0);
    board.krw.upbit[kBtc] = freshCell(101'200, 0);  // 100 USDT at 1,000 KRW: +1.2 %
    board.krw.fx.hasData = true;
    board.krw.fx.lastOk = true;
    board.krw.fx.quote = FxQuote{1000, kNow - 3'600'000, FxSource::Bank, "하나은행"};

    EXPECT_EQ(trayTipText(board, {kBitget}, {kBtc, kEth, kSui}, kNow, true),
              L"BTC $100.00 (+1.01%) · 김프 +1.2%\nETH $2,000.00 · 김프 —\nSUI - · 김프 —");
    EXPECT_EQ(trayTipText(board, {kBitget}, {kBtc}, kNow, false), L"BTC $100.00 (+1.01%)");

    // A rate older than its freshness window gives no number.
    board.krw.fx.quote.postedAtMs = kNow - kFxFreshWindowMs - 1;
    EXPECT_EQ(trayTipText(board, {kBitget}, {kBtc}, kNow, true), L"BTC $100.00 (+1.01%) · 김프 —");
}

TEST(UiPremiumMenu, TheToggleFollowsTheInitialsAndIsGreyedUnderADialog) {
    Settings s;
    s.kimchiPremium = true;
    std::vector<MenuItem> menu = buildContextMenu(s, true);
    addMenuExtras(menu, s, MenuExtras{false, false, true});
    const MenuItem* item = nullptr;
    for (const MenuItem& m : menu) {
        item = m.id == kCmdKimchiPremium ? &m : item;
    }
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text, L"김프 표시");
    EXPECT_TRUE(item->checked);
    EXPECT_FALSE(item->enabled);
    EXPECT_FALSE(commandAllowedWhileModal(kCmdKimchiPremium));
    EXPECT_FALSE(buildContextMenu(Settings{}, true)[12].checked) << "off by default";
    EXPECT_EQ(buildContextMenu(Settings{}, true)[12].id, kCmdKimchiPremium);
}

}  // namespace
}  // namespace vindral
