// The main window's rules without a window: sizes of each look at several DPIs and zooms,
// button geometry, placement and snapping, colours and flashes, and the texts, menu and
// commands that the window builds from its settings and board snapshot.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "settings/settings.h"
#include "ui/layout.h"
#include "ui/view_model.h"

namespace vindral {
namespace {

TEST(UiScale, RoundsHalfAwayFromZeroAfterDpiAndZoom) {
    struct Case {
        std::uint32_t dpi;
        int zoom;
        double logical;
        int px;
    };
    const Case cases[] = {
        {96, 100, 10, 10},   {144, 115, 10, 17}, {144, 100, 11.5, 17}, {120, 100, 10, 13},
        {96, 80, 10, 8},     {96, 115, 26, 30},  {96, 90, 5, 5},       {192, 150, 7, 21},
        {96, 100, 11.5, 12}, {96, 80, 22, 18},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scaled(c.dpi, c.zoom, c.logical), c.px)
            << c.dpi << " dpi, " << c.zoom << " %, " << c.logical;
    }
}

TEST(UiScale, DpiOnlyScalingMatchesMulDivRounding) {
    EXPECT_EQ(scaleByDpi(16, 96), 16);
    EXPECT_EQ(scaleByDpi(16, 144), 24);
    EXPECT_EQ(scaleByDpi(14, 120), 18);  // 17.5 rounds up
    EXPECT_EQ(scaleByDpi(14, 144), 21);
    EXPECT_EQ(scaleByDpi(-14, 120), -18);
}

TEST(UiLayout, LookFollowsTheTwoFlagsWithInitialsWinning) {
    EXPECT_EQ(lookFor(false, false), Look::Table);
    EXPECT_EQ(lookFor(true, false), Look::Mini);
    EXPECT_EQ(lookFor(false, true), Look::Strip);
    EXPECT_EQ(lookFor(true, true), Look::Strip);
}

TEST(UiLayout, TableViewAt96DpiMatchesTheMeasuredSizes) {
    const LayoutMetrics m = computeLayout(Look::Table, 96, 100, 3, 3, 0);
    LayoutMetrics expected;
    expected.pad = 10;
    expected.cornerRadius = 10;
    expected.headerHeight = 28;
    expected.columnHeaderHeight = 20;
    expected.rowHeight = 40;
    expected.footerHeight = 22;
    expected.labelWidth = 48;
    expected.columnWidth = 108;
    expected.windowWidth = 500;   // 4 x 108 + 48 + 20
    expected.windowHeight = 194;  // 3 x 40 + 4 + 28 + 22 + 20
    EXPECT_EQ(m, expected);

    // One exchange has no average column and is held at the minimum width.
    EXPECT_EQ(computeLayout(Look::Table, 96, 100, 1, 3, 0).windowWidth, 300);
    EXPECT_EQ(computeLayout(Look::Table, 96, 100, 2, 3, 0).windowWidth, 3 * 108 + 48 + 20);
    EXPECT_EQ(computeLayout(Look::Table, 96, 100, 5, 1, 0).windowWidth, 6 * 108 + 48 + 20);
    EXPECT_EQ(computeLayout(Look::Table, 96, 100, 5, 1, 0).windowHeight, 40 + 4 + 28 + 22 + 20);
    EXPECT_EQ(tableColumnCount(1), 1);
    EXPECT_EQ(tableColumnCount(2), 3);
    EXPECT_EQ(tableColumnCount(5), 6);
}

TEST(UiLayout, MiniModeAndStripAt96Dpi) {
    const LayoutMetrics mini = computeLayout(Look::Mini, 96, 100, 3, 3, 0);
    EXPECT_EQ(mini.windowWidth, 240);  // the computed 238 is raised to the minimum
    EXPECT_EQ(mini.windowHeight, 100);
    EXPECT_EQ(mini.headerHeight, 22);
    EXPECT_EQ(mini.rowHeight, 24);
    EXPECT_EQ(mini.labelWidth, 42);
    EXPECT_EQ(mini.miniPriceWidth, 112);
    EXPECT_EQ(mini.miniChangeWidth, 64);
    EXPECT_EQ(mini.columnWidth, 0);
    EXPECT_EQ(mini.footerHeight, 0);
    EXPECT_EQ(computeLayout(Look::Mini, 96, 100, 1, 1, 0).windowHeight, 24 + 6 + 22);

    const LayoutMetrics strip = computeLayout(Look::Strip, 96, 100, 3, 3, 333);
    EXPECT_EQ(strip.windowWidth, 333);
    EXPECT_EQ(strip.windowHeight, 22);
    EXPECT_EQ(strip.pad, 6);
    EXPECT_EQ(strip.cornerRadius, 6);
    EXPECT_EQ(strip.headerHeight, 0);
    EXPECT_EQ(strip.rowHeight, 22);
}

TEST(UiLayout, EveryZoomPresetAt96And144Dpi) {
    struct Case {
        std::uint32_t dpi;
        int zoom;
        int tableWidth;  // three exchanges, three coins
        int tableHeight;
        int singleExchangeWidth;
        int miniWidth;
        int miniHeight;
        int stripHeight;
    };
    const Case cases[] = {
        {96, 80, 398, 155, 240, 192, 80, 18},    {96, 90, 449, 175, 270, 216, 91, 20},
        {96, 100, 500, 194, 300, 240, 100, 22},  {96, 115, 575, 223, 345, 276, 116, 25},
        {96, 130, 648, 252, 390, 312, 130, 29},  {96, 150, 750, 291, 450, 360, 150, 33},
        {144, 80, 602, 233, 360, 288, 120, 26},  {144, 90, 677, 262, 405, 324, 134, 30},
        {144, 100, 750, 291, 450, 360, 150, 33}, {144, 115, 861, 335, 518, 414, 171, 38},
        {144, 130, 978, 379, 585, 468, 196, 43}, {144, 150, 1126, 437, 675, 540, 226, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dpi << " dpi, zoom " << c.zoom);
        const LayoutMetrics table = computeLayout(Look::Table, c.dpi, c.zoom, 3, 3, 0);
        EXPECT_EQ(table.windowWidth, c.tableWidth);
        EXPECT_EQ(table.windowHeight, c.tableHeight);
        EXPECT_EQ(computeLayout(Look::Table, c.dpi, c.zoom, 1, 3, 0).windowWidth,
                  c.singleExchangeWidth);
        const LayoutMetrics mini = computeLayout(Look::Mini, c.dpi, c.zoom, 3, 3, 0);
        EXPECT_EQ(mini.windowWidth, c.miniWidth);
        EXPECT_EQ(mini.windowHeight, c.miniHeight);
        EXPECT_EQ(computeLayout(Look::Strip, c.dpi, c.zoom, 3, 3, 0).windowHeight, c.stripHeight);
    }
}

TEST(UiButtons, TableButtonsSitAtTheRightOfTheHeader) {
    const ButtonRects rects = headerButtonRects(Look::Table, 96, 100, 500, 28);
    const int lefts[] = {366, 392, 418, 444, 470};
    for (int i = 0; i < kButtonCount; ++i) {
        EXPECT_EQ(rects[i], (PixelRect{lefts[i], 0, lefts[i] + 26, 28})) << "button " << i;
    }
    const ButtonRects mini = headerButtonRects(Look::Mini, 96, 100, 240, 22);
    EXPECT_EQ(mini[kButtonClose], (PixelRect{214, 0, 236, 22}));
    EXPECT_EQ(mini[kButtonPin], (PixelRect{126, 0, 148, 22}));
    // At 144 DPI and 115 %: buttons S(26) = 45 wide, S(4) = 7 from the right edge.
    const ButtonRects big = headerButtonRects(Look::Table, 144, 115, 861, 48);
    EXPECT_EQ(big[kButtonClose], (PixelRect{809, 0, 854, 48}));
    EXPECT_EQ(big[kButtonPin], (PixelRect{629, 0, 674, 48}));
}

TEST(UiButtons, HitTestIsHalfOpenAndTheStripHasNoButtons) {
    const ButtonRects rects = headerButtonRects(Look::Table, 96, 100, 500, 28);
    EXPECT_EQ(hitTestButton(rects, 366, 0), kButtonPin);
    EXPECT_EQ(hitTestButton(rects, 391, 27), kButtonPin);
    EXPECT_EQ(hitTestButton(rects, 392, 10), kButtonLook);
    EXPECT_EQ(hitTestButton(rects, 495, 10), kButtonClose);
    EXPECT_EQ(hitTestButton(rects, 496, 10), -1);
    EXPECT_EQ(hitTestButton(rects, 365, 10), -1);
    EXPECT_EQ(hitTestButton(rects, 400, 28), -1);

    const ButtonRects strip = headerButtonRects(Look::Strip, 96, 100, 300, 0);
    for (const PixelRect& r : strip) {
        EXPECT_EQ(r, PixelRect{});
    }
    EXPECT_EQ(hitTestButton(strip, 0, 0), -1);
    EXPECT_EQ(hitTestButton(strip, 290, 10), -1);
}

TEST(UiStrip, WidthIsTheSumOfMarginsGroupsAndGaps) {
    StripMeasures m;
    m.labelWidth = {10, 9, 8};
    m.priceWidth = {50, 40, 30};
    m.changeWidth = 45;
    // 6 + 6 + 5, three groups of label + 4 + price + 4 + change, two gaps of 10, and 6.
    EXPECT_EQ(initialsStripWidth(96, 100, m, {0, 1, 2}), 17 + 113 + 10 + 102 + 10 + 91 + 6);
    EXPECT_EQ(initialsStripWidth(96, 100, m, {1}), 17 + 102 + 6);
    EXPECT_EQ(initialsStripWidth(96, 100, m, {0, 2}), 17 + 113 + 10 + 91 + 6);
    // Scaled margins at 144 DPI: 9 + 9 + 8, gaps 6 around the price, 15 between, 9 at the end.
    EXPECT_EQ(initialsStripWidth(144, 100, m, {1}), 26 + 9 + 6 + 40 + 6 + 45 + 9);
}

TEST(UiStrip, PriceTemplateKeepsOnlyTheShapeOfTheNumber) {
    EXPECT_EQ(stripPriceTemplate(L"67,123.46"), L"00,000.00");
    EXPECT_EQ(stripPriceTemplate(L"0.987654"), L"0.000000");
    EXPECT_EQ(stripPriceTemplate(L"-1,234.500000"), L"-0,000.000000");
    // A price from a broken server does not stretch the strip across the screen.
    EXPECT_EQ(stripPriceTemplate(L"100,000,000,000,000,000,000,000.00"), L"000,000,000,000,");
    EXPECT_EQ(stripPriceTemplate(kStripNoPriceTemplate), L"0.00");
}

TEST(UiPlacement, DefaultCornerAndDocking) {
    const PixelRect work{0, 0, 1280, 770};
    EXPECT_EQ(defaultOrigin(work, 300, 194, 16), (PixelPoint{964, 560}));
    EXPECT_EQ(defaultOrigin(PixelRect{-1920, 0, 0, 1040}, 500, 194, 24), (PixelPoint{-524, 822}));

    // Near the right edge (within the margin): the gap to it stays when the width grows.
    EXPECT_EQ(dockedOrigin(PixelRect{964, 100, 1264, 294}, work, 500, 194, 16),
              (PixelPoint{764, 100}));
    // Exactly at the margin still counts; one pixel further does not.
    EXPECT_EQ(dockedOrigin(PixelRect{963, 100, 1263, 294}, work, 500, 194, 16).x, 963);
    // Flush with the right edge: stays flush.
    EXPECT_EQ(dockedOrigin(PixelRect{980, 100, 1280, 294}, work, 500, 194, 16).x, 780);
    // Near the bottom edge: the gap to it stays.
    EXPECT_EQ(dockedOrigin(PixelRect{100, 560, 400, 754}, work, 240, 100, 16),
              (PixelPoint{100, 654}));
    // A window past the right edge comes back flush with it.
    EXPECT_EQ(dockedOrigin(PixelRect{1000, 10, 1290, 60}, work, 300, 50, 16).x, 980);
    // The default corner survives a zoom in and back: 300 x 194 -> 345 x 223 -> 300 x 194.
    const PixelPoint home = defaultOrigin(work, 300, 194, 16);
    const PixelPoint zoomed =
        dockedOrigin(PixelRect{home.x, home.y, home.x + 300, home.y + 194}, work, 345, 223, 16);
    EXPECT_EQ(dockedOrigin(PixelRect{zoomed.x, zoomed.y, zoomed.x + 345, zoomed.y + 223}, work, 300,
                           194, 16),
              home);
    EXPECT_EQ(dockedOrigin(PixelRect{100, 100, 400, 294}, work, 500, 300, 16),
              (PixelPoint{100, 100}));
}

TEST(UiPlacement, EdgeSnappingPrefersLeftAndTop) {
    const PixelRect work{0, 0, 1280, 770};
    // Within 14 pixels of the left and top edges: flush with them, size kept.
    EXPECT_EQ(snapToWorkArea(PixelRect{13, 13, 313, 207}, work, 14), (PixelRect{0, 0, 300, 194}));
    EXPECT_EQ(snapToWorkArea(PixelRect{-13, -5, 287, 189}, work, 14), (PixelRect{0, 0, 300, 194}));
    // 14 away is not within the distance.
    EXPECT_EQ(snapToWorkArea(PixelRect{14, 14, 314, 208}, work, 14), (PixelRect{14, 14, 314, 208}));
    // Right and bottom edges.
    EXPECT_EQ(snapToWorkArea(PixelRect{970, 570, 1270, 764}, work, 14),
              (PixelRect{980, 576, 1280, 770}));
    // A window about as wide as the work area: the left edge wins.
    EXPECT_EQ(snapToWorkArea(PixelRect{5, 100, 1275, 200}, PixelRect{0, 0, 1280, 300}, 14),
              (PixelRect{0, 100, 1270, 200}));
    EXPECT_EQ(snapToWorkArea(PixelRect{100, 5, 200, 295}, PixelRect{0, 0, 1280, 300}, 14),
              (PixelRect{100, 0, 200, 290}));
}

TEST(UiOpacityZoom, AlphaIsClampedAndScaled) {
    EXPECT_EQ(opacityAlpha(95), 242);
    EXPECT_EQ(opacityAlpha(30), 76);
    EXPECT_EQ(opacityAlpha(20), 76);
    EXPECT_EQ(opacityAlpha(100), 255);
    EXPECT_EQ(opacityAlpha(101), 255);
    EXPECT_EQ(opacityAlpha(50), 127);
    EXPECT_EQ(clampZoom(79), 80);
    EXPECT_EQ(clampZoom(151), 150);
    EXPECT_EQ(clampZoom(120), 120);
}

TEST(UiOpacityZoom, WheelStepsThroughThePresets) {
    struct Case {
        int zoom;
        int delta;
        int next;
    };
    const Case cases[] = {
        {100, 120, 115}, {100, -120, 90}, {115, 1, 130}, {150, 120, 150}, {80, -120, 80},
        {120, 120, 115}, {120, -120, 90}, {100, 0, 100}, {80, 120, 90},   {130, -240, 115},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zoomAfterWheel(c.zoom, c.delta), c.next) << c.zoom << " by " << c.delta;
    }
}

TEST(UiColours, ChangesFlashesAndStatus) {
    EXPECT_EQ(changeColor(0.004, true), palette::kDimText);
    EXPECT_EQ(changeColor(-0.004, false), palette::kDimText);
    EXPECT_EQ(changeColor(0.005, true), palette::kRed);
    EXPECT_EQ(changeColor(-0.005, true), palette::kBlue);
    EXPECT_EQ(changeColor(1.5, false), palette::kRiseGreen);
    EXPECT_EQ(changeColor(-1.5, false), palette::kRed);

    EXPECT_EQ(statusColor(BoardHealth::AllFresh), palette::kAllGood);
    EXPECT_EQ(statusColor(BoardHealth::SomeFresh), palette::kWarning);
    EXPECT_EQ(statusColor(BoardHealth::Failing), palette::kRed);
    EXPECT_EQ(statusColor(BoardHealth::Idle), palette::kDimText);

    // 30 % of the target over the background (22, 24, 29) at the start, truncated.
    EXPECT_EQ(flashFill(1, 1000, 1000, true), (Rgb{87, 40, 44}));
    EXPECT_EQ(flashFill(-1, 1000, 1000, true), (Rgb{39, 60, 95}));
    EXPECT_EQ(flashFill(1, 1000, 1000, false), (Rgb{26, 75, 59}));
    EXPECT_EQ(flashFill(1, 1000, 1350, true), (Rgb{54, 32, 36}));
    EXPECT_FALSE(flashFill(1, 1000, 1700, true).has_value());
    EXPECT_FALSE(flashFill(0, 1000, 1000, true).has_value());
    EXPECT_TRUE(flashActive(-1, 1000, 1699));
    EXPECT_FALSE(flashActive(-1, 1000, 1700));
}

TEST(UiTexts, HeaderInfoPerLook) {
    EXPECT_EQ(headerInfoText(Look::Table, 5000, {0, 1, 2}, false), L"5초 · 3곳");
    EXPECT_EQ(headerInfoText(Look::Table, 5000, {1}, false), L"5초 · 1곳");
    EXPECT_EQ(headerInfoText(Look::Mini, 5000, {0, 1, 2}, false), L"5초 · 평균 3곳");
    EXPECT_EQ(headerInfoText(Look::Mini, 90000, {1}, false), L"1분 30초 · Bitget");
    EXPECT_EQ(headerInfoText(Look::Mini, 60000, {4}, true), L"1분 · Coinbase · 서버");
    EXPECT_EQ(headerInfoText(Look::Table, 2500, {0, 1, 2, 3, 4}, true), L"2초 · 5곳 · 서버");
}

TEST(UiTexts, ButtonGlyphsAndTooltipsFollowTheFlags) {
    EXPECT_EQ(buttonGlyph(kButtonPin, true, false), L'\xE840');
    EXPECT_EQ(buttonGlyph(kButtonPin, false, false), L'\xE718');
    EXPECT_EQ(buttonGlyph(kButtonLook, false, true), L'\xE740');
    EXPECT_EQ(buttonGlyph(kButtonLook, false, false), L'\xE73F');
    EXPECT_EQ(buttonGlyph(kButtonSettings, true, true), L'\xE713');
    EXPECT_EQ(buttonGlyph(kButtonHide, true, true), L'\xE921');
    EXPECT_EQ(buttonGlyph(kButtonClose, true, true), L'\xE8BB');

    EXPECT_EQ(buttonTooltip(kButtonPin, true, false), L"항상 위 해제");
    EXPECT_EQ(buttonTooltip(kButtonPin, false, false), L"항상 위에 고정");
    EXPECT_EQ(buttonTooltip(kButtonLook, false, true), L"표 보기 (일반 모드)");
    EXPECT_EQ(buttonTooltip(kButtonLook, false, false), L"미니 모드");
    EXPECT_EQ(buttonTooltip(kButtonSettings, false, false), L"설정");
    EXPECT_EQ(buttonTooltip(kButtonHide, false, false), L"트레이로 숨기기");
    EXPECT_EQ(buttonTooltip(kButtonClose, false, false), L"종료");
    EXPECT_EQ(buttonTooltip(5, false, false), L"");
}

constexpr std::int64_t kNow = 1'700'000'000'000;

PriceCell cellWith(double price, double open24h, std::int64_t updatedAtMs, bool lastOk = true) {
    PriceCell c;
    c.hasData = true;
    c.lastOk = lastOk;
    c.price = price;
    c.prevPrice = price;
    c.open24h = open24h;
    c.updatedAtMs = updatedAtMs;
    c.seq = 1;
    return c;
}

TEST(UiTexts, CellStatusShowsAgeWhenStaleAndRetryWhenFailing) {
    // With 5000 ms a price is fresh for 13000 ms.
    EXPECT_EQ(cellStatusText(cellWith(1, 0, kNow - 13000), 5000, kNow), L"");
    EXPECT_EQ(cellStatusText(cellWith(1, 0, kNow - 13001), 5000, kNow), L"13초 전");
    EXPECT_EQ(cellStatusText(cellWith(1, 0, kNow - 125000), 5000, kNow), L"2분 전");
    EXPECT_EQ(cellStatusText(cellWith(1, 0, kNow - 1000, false), 5000, kNow), L"재시도");
    EXPECT_EQ(cellStatusText(cellWith(1, 0, kNow - 20000, false), 5000, kNow), L"20초 전");
    EXPECT_EQ(cellStatusText(PriceCell{}, 5000, kNow), L"");
}

TEST(UiTexts, AgesOfAHundredHoursAndMoreReadLongAgo) {
    constexpr std::int64_t kHourMs = 3'600'000;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    struct Case {
        std::int64_t updatedAtMs;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {kNow - 99 * kHourMs, L"99시간 전"},
        {kNow - 100 * kHourMs + 1, L"99시간 전"},
        {kNow - 100 * kHourMs, L"오래 전"},
        {0, L"오래 전"},     // a server that sent no time
        {-5, L"오래 전"},    // or a negative one
        {kMin, L"오래 전"},  // or one that saturated on its way onto our clock
        {kMin + 1, L"오래 전"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cellStatusText(cellWith(1, 0, c.updatedAtMs), 5000, kNow), c.expected)
            << c.updatedAtMs;
    }
}

TEST(UiTexts, FooterCoverageBacklogAndWarning) {
    PriceBoard board;
    const IndexList shown{0, 1};
    FooterTexts f = footerTexts(board, shown, {0});
    EXPECT_EQ(f.left, L"커버리지 —");
    EXPECT_FALSE(f.leftWarns);
    EXPECT_EQ(f.right, L"갱신 --:--:--");

    board.stats.exchanges[0].ok = 50;
    board.stats.exchanges[1].ok = 45;
    board.stats.exchanges[1].failed = 3;
    board.stats.exchanges[0].overrun = 2;
    board.stats.exchanges[4].failed = 1000;  // not shown
    f = footerTexts(board, shown, {0});
    EXPECT_EQ(f.left, L"커버리지 95.0% · 밀림 2");
    EXPECT_FALSE(f.leftWarns);

    board.stats.exchanges[0].overrun = 0;
    board.stats.exchanges[1].failed = 6;
    board.stats.exchanges[0].ok = 49;
    f = footerTexts(board, shown, {0});
    EXPECT_EQ(f.left, L"커버리지 94.0%");
    EXPECT_TRUE(f.leftWarns);
}

TEST(UiTexts, TrayTipHasOneLinePerCoin) {
    PriceBoard board;
    board.config.intervalMs = 5000;
    board.cells[1][0] = cellWith(67123.456, 66000, kNow - 1000);
    board.cells[1][2] = cellWith(1.2345, 0, kNow - 1000);
    EXPECT_EQ(trayTipText(board, {1}, {0, 1, 2}, kNow),
              L"BTC $67,123.46 (+1.70%)\nETH -\nSUI $1.2345");

    // A stale price does not count, even with a single exchange.
    board.cells[1][0].updatedAtMs = kNow - 60000;
    EXPECT_EQ(trayTipText(board, {1}, {0}, kNow), L"BTC -");

    // Averages over the fresh cells of the shown exchanges.
    board.cells[0][1] = cellWith(100, 100, kNow);
    board.cells[1][1] = cellWith(102, 100, kNow);
    EXPECT_EQ(trayTipText(board, {0, 1}, {1}, kNow), L"ETH $101.00 (+1.00%)");
}

const MenuItem* findItem(const std::vector<MenuItem>& items, int id) {
    for (const MenuItem& item : items) {
        if (item.id == id) {
            return &item;
        }
        if (const MenuItem* inner = findItem(item.children, id)) {
            return inner;
        }
    }
    return nullptr;
}

std::vector<int> checkedIds(const std::vector<MenuItem>& items) {
    std::vector<int> ids;
    for (const MenuItem& item : items) {
        if (item.checked) {
            ids.push_back(item.id);
        }
    }
    return ids;
}

TEST(UiMenu, StructureAndLabels) {
    const Settings settings;
    const std::vector<MenuItem> menu = buildContextMenu(settings, true);
    std::vector<std::wstring> top;
    for (const MenuItem& item : menu) {
        top.push_back(item.isSeparator() ? L"-" : item.text);
    }
    const std::vector<std::wstring> expected{L"설정...",
                                             L"지금 새로고침\tF5",
                                             L"-",
                                             L"조회 간격",
                                             L"거래소 수",
                                             L"투명도",
                                             L"크기\tCtrl+휠",
                                             L"-",
                                             L"미니 모드\tM",
                                             L"항상 위",
                                             L"상승 빨강 / 하락 파랑",
                                             L"코인 이름 이니셜로 (B · E · S)",
                                             L"김프 표시",
                                             L"-",
                                             L"트레이로 숨기기",
                                             L"종료"};
    EXPECT_EQ(top, expected);

    const std::vector<MenuItem>& intervals = menu[3].children;
    ASSERT_EQ(intervals.size(), 11u);
    EXPECT_EQ(intervals.front().id, 200);
    EXPECT_EQ(intervals.front().text, L"1초");
    EXPECT_EQ(intervals[7].text, L"1분");
    EXPECT_EQ(intervals.back().id, 210);
    EXPECT_EQ(intervals.back().text, L"5분");

    const std::vector<MenuItem>& exchanges = menu[4].children;
    ASSERT_EQ(exchanges.size(), 5u);
    EXPECT_EQ(exchanges[0].text, L"기본 1개 (Bitget)");
    EXPECT_EQ(exchanges[1].text, L"평균 3개 (+Binance, Bybit)");
    EXPECT_EQ(exchanges[2].text, L"최대 5개 (+OKX, Coinbase)");
    EXPECT_TRUE(exchanges[3].isSeparator());
    EXPECT_EQ(exchanges[4].id, kCmdSettings);
    EXPECT_EQ(exchanges[4].text, L"직접 선택...");

    EXPECT_EQ(menu[5].children.front().text, L"100%");
    EXPECT_EQ(menu[5].children.back().id, 306);
    EXPECT_EQ(menu[6].children.front().text, L"80%");
    EXPECT_EQ(menu[6].children.back().id, 405);

    const std::vector<MenuItem> hidden = buildContextMenu(settings, false);
    EXPECT_EQ(hidden[14].id, kCmdShow);
    EXPECT_EQ(hidden[14].text, L"창 보이기");
    EXPECT_EQ(findItem(hidden, kCmdHide), nullptr);
}

TEST(UiMenu, ChecksFollowTheSettings) {
    Settings s;  // 5 s, Bitget alone, opacity 95, zoom 100, initials on
    std::vector<MenuItem> menu = buildContextMenu(s, true);
    EXPECT_EQ(checkedIds(menu[3].children), std::vector<int>{203});
    EXPECT_EQ(checkedIds(menu[4].children), std::vector<int>{500});
    EXPECT_EQ(checkedIds(menu[5].children), std::vector<int>{301});
    EXPECT_EQ(checkedIds(menu[6].children), std::vector<int>{402});
    EXPECT_EQ(checkedIds(menu), (std::vector<int>{kCmdToggleMini, kCmdAlwaysOnTop, kCmdKoreanColors,
                                                  kCmdCoinInitials}));

    // Values that are not presets check nothing; two exchanges match no count.
    s.intervalMs = 7000;
    s.opacityPct = 42;
    s.zoomPct = 120;
    s.exchanges = {true, true, false, false, false};
    s.alwaysOnTop = false;
    s.koreanColors = false;
    s.coinInitials = false;
    s.miniMode = false;
    menu = buildContextMenu(s, true);
    EXPECT_TRUE(checkedIds(menu[3].children).empty());
    EXPECT_TRUE(checkedIds(menu[4].children).empty());
    EXPECT_TRUE(checkedIds(menu[5].children).empty());
    EXPECT_TRUE(checkedIds(menu[6].children).empty());
    EXPECT_TRUE(checkedIds(menu).empty());

    // Plain mini mode also checks the mini item; 300 s is the last interval preset.
    s.miniMode = true;
    s.intervalMs = 300000;
    s.exchanges = {true, true, true, true, true};
    menu = buildContextMenu(s, true);
    EXPECT_EQ(checkedIds(menu), std::vector<int>{kCmdToggleMini});
    EXPECT_EQ(checkedIds(menu[3].children), std::vector<int>{210});
    EXPECT_EQ(checkedIds(menu[4].children), std::vector<int>{502});
}

TEST(UiCommands, SettingCommandsChangeOneThing) {
    const Settings base;
    auto next = settingsForCommand(base, kCmdAlwaysOnTop);
    ASSERT_TRUE(next);
    EXPECT_FALSE(next->alwaysOnTop);
    EXPECT_FALSE(settingsForCommand(base, kCmdKoreanColors)->koreanColors);
    EXPECT_FALSE(settingsForCommand(base, kCmdCoinInitials)->coinInitials);
    // The premium is off by default and a toggle like the others; it is an engine setting.
    const std::optional<Settings> premium = settingsForCommand(base, kCmdKimchiPremium);
    ASSERT_TRUE(premium);
    EXPECT_TRUE(premium->kimchiPremium);
    EXPECT_TRUE(engineSettingsDiffer(base, *premium));
    EXPECT_FALSE(settingsForCommand(*premium, kCmdKimchiPremium)->kimchiPremium);
    EXPECT_EQ(settingsForCommand(base, 200)->intervalMs, 1000);
    EXPECT_EQ(settingsForCommand(base, 205)->intervalMs, 15000);
    EXPECT_EQ(settingsForCommand(base, 210)->intervalMs, 300000);
    EXPECT_EQ(settingsForCommand(base, 300)->opacityPct, 100);
    EXPECT_EQ(settingsForCommand(base, 306)->opacityPct, 50);
    EXPECT_EQ(settingsForCommand(base, 500)->exchanges,
              (std::array<bool, 5>{false, true, false, false, false}));
    EXPECT_EQ(settingsForCommand(base, 501)->exchanges,
              (std::array<bool, 5>{true, true, true, false, false}));
    EXPECT_EQ(settingsForCommand(base, 502)->exchanges,
              (std::array<bool, 5>{true, true, true, true, true}));
    for (const int id : {kCmdSettings, kCmdRefresh, kCmdToggleMini, kCmdHide, kCmdShow, kCmdExit,
                         211, 307, 400, 503, 199, 0}) {
        EXPECT_FALSE(settingsForCommand(base, id).has_value()) << id;
    }
    EXPECT_EQ(zoomForCommand(400), 80);
    EXPECT_EQ(zoomForCommand(403), 115);
    EXPECT_EQ(zoomForCommand(405), 150);
    EXPECT_FALSE(zoomForCommand(406).has_value());
    EXPECT_FALSE(zoomForCommand(399).has_value());
}

TEST(UiCommands, LookToggleGoesTableStripTable) {
    struct Case {
        bool mini, initials, nextMini, nextInitials;
    };
    const Case cases[] = {
        {false, false, true, true},   // table -> strip
        {false, true, false, false},  // strip -> table
        {true, true, false, false},   // strip (with mini) -> table
        {true, false, false, false},  // plain mini -> table
    };
    for (const Case& c : cases) {
        Settings s;
        s.miniMode = c.mini;
        s.coinInitials = c.initials;
        const Settings next = toggledLook(s);
        EXPECT_EQ(next.miniMode, c.nextMini);
        EXPECT_EQ(next.coinInitials, c.nextInitials);
    }
}

TEST(UiCommands, OnlyEngineFieldsRestartTheEngine) {
    const Settings a;
    Settings b = a;
    b.opacityPct = 50;
    b.zoomPct = 150;
    b.miniMode = true;
    b.posX = 10;
    EXPECT_FALSE(engineSettingsDiffer(a, b));
    b.intervalMs = 1000;
    EXPECT_TRUE(engineSettingsDiffer(a, b));
    b = a;
    b.coins[2] = false;
    EXPECT_TRUE(engineSettingsDiffer(a, b));
    b = a;
    b.serverUrl = L"http://127.0.0.1:1";
    EXPECT_TRUE(engineSettingsDiffer(a, b));
}

TEST(UiFlashes, CellsFlashOnNewPricesButNotAtFirstSight) {
    PriceBoard board;
    board.config.intervalMs = 5000;
    FlashState state;
    board.cells[1][0] = cellWith(100, 0, kNow);
    board.cells[1][0].seq = 7;
    EXPECT_FALSE(trackFlashes(state, board, {1}, {0}, kNow));
    EXPECT_EQ(state.lastSeq[3], 7u);
    EXPECT_EQ(state.cellFlashDir[3], 0);

    // A new stamp with a higher price flashes up; the single-cell average flashes too.
    board.cells[1][0].prevPrice = 100;
    board.cells[1][0].price = 101;
    board.cells[1][0].seq = 8;
    EXPECT_TRUE(trackFlashes(state, board, {1}, {0}, kNow + 10));
    EXPECT_EQ(state.cellFlashDir[3], 1);
    EXPECT_EQ(state.cellFlashAt[3], kNow + 10);
    EXPECT_EQ(state.averageFlashDir[0], 1);
    EXPECT_TRUE(anyFlashActive(state, kNow + 709));
    EXPECT_FALSE(anyFlashActive(state, kNow + 710));

    // Same stamp: nothing new. A new stamp with an unchanged price: no flash.
    EXPECT_FALSE(trackFlashes(state, board, {1}, {0}, kNow + 20));
    board.cells[1][0].prevPrice = 101;
    board.cells[1][0].seq = 9;
    EXPECT_FALSE(trackFlashes(state, board, {1}, {0}, kNow + 30));
    EXPECT_EQ(state.cellFlashAt[3], kNow + 10);

    // A drop flashes down.
    board.cells[1][0].price = 99;
    board.cells[1][0].seq = 10;
    EXPECT_TRUE(trackFlashes(state, board, {1}, {0}, kNow + 40));
    EXPECT_EQ(state.cellFlashDir[3], -1);
    EXPECT_EQ(state.averageFlashDir[0], -1);

    // Cells that are not shown are not looked at.
    board.cells[0][0] = cellWith(5, 0, kNow);
    board.cells[0][0].seq = 3;
    trackFlashes(state, board, {1}, {0}, kNow + 50);
    EXPECT_EQ(state.lastSeq[0], 0u);
}

TEST(UiFlashes, AveragesFlashWhenTheMeanMoves) {
    PriceBoard board;
    board.config.intervalMs = 5000;
    board.cells[0][1] = cellWith(100, 0, kNow);
    board.cells[1][1] = cellWith(102, 0, kNow);
    FlashState state;
    EXPECT_FALSE(trackFlashes(state, board, {0, 1}, {1}, kNow));
    EXPECT_DOUBLE_EQ(state.lastAverage[1], 101);

    // The first exchange goes stale: the mean becomes 102 without any new stamp.
    board.cells[0][1].updatedAtMs = kNow - 20000;
    EXPECT_TRUE(trackFlashes(state, board, {0, 1}, {1}, kNow + 100));
    EXPECT_EQ(state.averageFlashDir[1], 1);
    EXPECT_DOUBLE_EQ(state.lastAverage[1], 102);

    // No fresh price at all keeps the last average.
    board.cells[1][1].updatedAtMs = kNow - 20000;
    EXPECT_FALSE(trackFlashes(state, board, {0, 1}, {1}, kNow + 200));
    EXPECT_DOUBLE_EQ(state.lastAverage[1], 102);

    const FlashRef multi = coinFlash(state, 1, {0, 1});
    EXPECT_EQ(multi.direction, 1);
    EXPECT_EQ(multi.startMs, kNow + 100);
    EXPECT_EQ(coinFlash(state, 1, {1}).direction, state.cellFlashDir[4]);
    EXPECT_EQ(coinFlash(state, 1, {}).direction, 0);
}

// A flash frame repaints exactly the painted fills whose colour moved on or ended, and nothing
// once the screen shows every fill as it should.
TEST(UiFlashes, FramesRepaintOnlyFillsThatChanged) {
    const PixelRect cellA{10, 40, 110, 80};
    const PixelRect cellB{110, 80, 210, 120};
    const auto painted = [](PixelRect area, int direction, std::int64_t start, std::int64_t at) {
        return PaintedFlash{area, direction, start, *flashFill(direction, start, at, true)};
    };

    EXPECT_FALSE(changedFlashArea({}, kNow, true));
    // Painted a moment ago with the colour it still has: nothing to do.
    EXPECT_FALSE(changedFlashArea({painted(cellA, 1, kNow, kNow)}, kNow, true));
    // The same fill under the other colour scheme is a different colour.
    EXPECT_EQ(changedFlashArea({painted(cellA, 1, kNow, kNow)}, kNow, false), cellA);

    // Over a whole fade each frame either finds the painted colour unchanged or asks for its
    // cell; the last request comes when the flash is over, and then no more.
    std::vector<PaintedFlash> screen{painted(cellA, -1, kNow, kNow)};
    int repaints = 0;
    std::int64_t lastRepaint = 0;
    for (std::int64_t t = kNow; t <= kNow + 2 * kFlashMs; t += 33) {
        const std::optional<PixelRect> area = changedFlashArea(screen, t, true);
        if (!area) {
            continue;
        }
        EXPECT_EQ(*area, cellA);
        ++repaints;
        lastRepaint = t;
        const std::optional<Rgb> fill = flashFill(-1, kNow, t, true);
        screen = fill ? std::vector<PaintedFlash>{{cellA, -1, kNow, *fill}}
                      : std::vector<PaintedFlash>{};
    }
    EXPECT_GE(repaints, 2);
    EXPECT_GE(lastRepaint, kNow + kFlashMs);
    EXPECT_LT(lastRepaint, kNow + kFlashMs + 33);
    EXPECT_TRUE(screen.empty());

    // Two fills that moved: one box around both; a fill that did not move adds nothing.
    const PixelRect still{300, 0, 400, 20};
    const std::optional<PixelRect> both =
        changedFlashArea({painted(cellA, 1, kNow, kNow), painted(cellB, -1, kNow - 100, kNow - 100),
                          painted(still, 1, kNow + 300, kNow + 300)},
                         kNow + 300, true);
    EXPECT_EQ(both, (PixelRect{10, 40, 210, 120}));
}
}  // namespace
}  // namespace vindral
