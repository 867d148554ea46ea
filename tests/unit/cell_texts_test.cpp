// Text boxes of a table cell, the cell under the pointer and its hover text.
#include "ui/cell_texts.h"

#include <gtest/gtest.h>

#include <string>

#include "core/format.h"

namespace vindral {
namespace {

constexpr std::uint32_t kBinance = 0, kBitget = 1, kBybit = 2;
constexpr std::uint32_t kBtc = 0, kEth = 1, kSui = 2;

bool inside(const PixelRect& inner, const PixelRect& outer) {
    return inner.left >= outer.left && inner.right <= outer.right && inner.top >= outer.top &&
           inner.bottom <= outer.bottom && inner.left <= inner.right && inner.top <= inner.bottom;
}

TEST(CellTextBoxes, EveryBoxStaysInItsCellAndTheLowerTextsNeverMeet) {
    struct Case {
        std::uint32_t dpi;
        int zoomPct;
        int changeWidth;
    };
    const Case cases[] = {
        {96, 100, 0},   {96, 100, 40}, {96, 100, 91},    {96, 100, 5000},
        {144, 115, 60}, {192, 150, 0}, {96, 80, 100000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.dpi << " dpi, " << c.zoomPct << " %, change " << c.changeWidth);
        const int colW = scaled(c.dpi, c.zoomPct, 108);
        const int rowH = scaled(c.dpi, c.zoomPct, 40);
        const PixelRect cell{200, 80, 200 + colW, 80 + rowH};
        const CellTextBoxes b = tableCellBoxes(cell, rowH, c.dpi, c.zoomPct, c.changeWidth);
        EXPECT_TRUE(inside(b.price, cell));
        EXPECT_TRUE(inside(b.change, cell));
        EXPECT_TRUE(inside(b.status, cell));
        EXPECT_LE(b.price.bottom, b.change.top + scaled(c.dpi, c.zoomPct, 1))
            << "the price sits above the lower line";
        if (c.changeWidth > 0) {
            EXPECT_LE(b.status.right, b.change.left) << "status and change never overlap";
        }
    }
}

TEST(CellTextBoxes, TheSpecifiedBoxesAtOneHundredPercent) {
    const PixelRect cell{58, 48, 166, 88};
    const CellTextBoxes none = tableCellBoxes(cell, 40, 96, 100, 0);
    EXPECT_EQ(none.price, (PixelRect{58, 52, 158, 70}));
    EXPECT_EQ(none.change, (PixelRect{66, 69, 158, 84}));
    EXPECT_EQ(none.status, none.change);
    const CellTextBoxes some = tableCellBoxes(cell, 40, 96, 100, 40);
    EXPECT_EQ(some.change, (PixelRect{118, 69, 158, 84}));
    EXPECT_EQ(some.status, (PixelRect{66, 69, 114, 84}));
}

TEST(HoverCell, TableCellsAverageColumnAndMiniRows) {
    const IndexList three{kBinance, kBitget, kBybit};
    const IndexList coins{kBtc, kSui};
    const LayoutMetrics table = computeLayout(Look::Table, 96, 100, 3, 2, 0);
    // Columns start at pad + label = 58 and are 108 wide; rows start at 28 + 20 and are 40 high.
    struct Case {
        int x, y;
        std::optional<HoverCell> expected;
    };
    const Case tableCases[] = {
        {58, 48, HoverCell{kBtc, kBinance}},
        {165, 87, HoverCell{kBtc, kBinance}},
        {166, 88, HoverCell{kSui, kBitget}},
        {300, 100, HoverCell{kSui, kBybit}},
        {400, 60, HoverCell{kBtc, std::nullopt}},  // the average
        {489, 60, HoverCell{kBtc, std::nullopt}},
        {490, 60, std::nullopt},   // right margin
        {57, 60, std::nullopt},    // coin label
        {100, 47, std::nullopt},   // column headers
        {100, 128, std::nullopt},  // footer
        {-1, -1, std::nullopt},
    };
    for (const Case& c : tableCases) {
        EXPECT_EQ(hoverCellAt(Look::Table, table, 96, 100, three, coins, c.x, c.y), c.expected)
            << c.x << "," << c.y;
    }

    const LayoutMetrics mini = computeLayout(Look::Mini, 96, 100, 1, 2, 0);
    // Rows start at 22 + 3 and are 24 high.
    EXPECT_EQ(hoverCellAt(Look::Mini, mini, 96, 100, {kBitget}, coins, 100, 25),
              (HoverCell{kBtc, kBitget}));
    EXPECT_EQ(hoverCellAt(Look::Mini, mini, 96, 100, three, coins, 100, 49),
              (HoverCell{kSui, std::nullopt}));
    EXPECT_EQ(hoverCellAt(Look::Mini, mini, 96, 100, three, coins, 100, 24), std::nullopt);
    EXPECT_EQ(hoverCellAt(Look::Mini, mini, 96, 100, three, coins, 100, 73), std::nullopt);

    const LayoutMetrics strip = computeLayout(Look::Strip, 96, 100, 3, 2, 300);
    EXPECT_EQ(hoverCellAt(Look::Strip, strip, 96, 100, three, coins, 50, 10), std::nullopt);
}

TEST(HoverTip, ExchangeCoinUpdateTimeAndTheWholeError) {
    PriceBoard board;
    const std::int64_t updated = 1'700'000'000'000;
    board.cells[kBitget][kEth].hasData = true;
    board.cells[kBitget][kEth].updatedAtMs = updated;
    const std::string longError = "서버 HTTP 500 " + std::string(200, 'x');
    board.cells[kBybit][kEth].error = longError;
    board.cells[kBinance][kEth].error = "줄\r\n바꿈";
    const std::wstring clock = formatClock(updated);

    EXPECT_EQ(hoverTipText(board, {kEth, kBitget}, {kBitget, kBybit}),
              L"Bitget · ETH · 갱신 " + clock);
    EXPECT_EQ(hoverTipText(board, {kEth, kBybit}, {kBitget, kBybit}),
              L"Bybit · ETH · 갱신 --:--:--\n" + fromUtf8(longError));
    EXPECT_EQ(hoverTipText(board, {kEth, std::nullopt}, {kBinance, kBitget}),
              L"Binance · ETH · 갱신 --:--:--\n줄  바꿈\nBitget · ETH · 갱신 " + clock);
    EXPECT_EQ(hoverTipText(board, {kEth, kBybit}, {kBitget}), L"") << "not a shown exchange";

    board.cells[kBybit][kEth].error = std::string(5000, 'y');
    const std::wstring cut = hoverTipText(board, {kEth, kBybit}, {kBybit});
    EXPECT_EQ(cut.size(), kHoverTipMaxChars);
    EXPECT_EQ(cut.back(), L'…');
}

}  // namespace
}  // namespace vindral
