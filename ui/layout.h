// Geometry and colour rules of the main window, free of any window-system type, so that the
// sizes of each look at every DPI and zoom can be checked without a window. Lengths are given
// in logical units (96 DPI, zoom 100 %) and become device pixels through `scaled`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/board.h"

namespace vindral {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;

    bool operator==(const Rgb&) const = default;
};

namespace palette {
inline constexpr Rgb kBackground{22, 24, 29};
inline constexpr Rgb kHeaderBand{15, 16, 20};
inline constexpr Rgb kSeparator{38, 41, 49};
inline constexpr Rgb kBorder{60, 64, 74};
inline constexpr Rgb kMainText{234, 236, 240};
inline constexpr Rgb kDimText{128, 134, 147};
inline constexpr Rgb kAccent{240, 185, 11};
inline constexpr Rgb kWarning{255, 167, 38};
inline constexpr Rgb kButtonHover{50, 54, 64};
inline constexpr Rgb kCloseHover{196, 43, 28};
inline constexpr Rgb kAllGood{46, 204, 113};
inline constexpr Rgb kRed{240, 80, 80};
inline constexpr Rgb kBlue{80, 145, 250};
inline constexpr Rgb kRiseGreen{38, 194, 129};
}  // namespace palette

inline constexpr std::uint32_t kBaseDpi = 96;

// Device pixels of a logical length: lround(dpi * x / 96 * zoom / 100), in that order.
int scaled(std::uint32_t dpi, std::int32_t zoomPct, double logical);
// The platform's MulDiv(value, dpi, 96): rounded half away from zero, zoom not applied.
int scaleByDpi(int logical, std::uint32_t dpi);

// coinInitials wins over miniMode everywhere.
enum class Look { Table, Mini, Strip };
Look lookFor(bool miniMode, bool coinInitials);

struct LayoutMetrics {
    int pad = 0;
    int cornerRadius = 0;
    int headerHeight = 0;
    int columnHeaderHeight = 0;
    int rowHeight = 0;
    int footerHeight = 0;
    int labelWidth = 0;
    int columnWidth = 0;
    int miniPriceWidth = 0;
    int miniChangeWidth = 0;
    // The kimchi premium is shown: one more table column, or its text after the change.
    bool kimchiPremium = false;
    int miniPremiumWidth = 0;
    int windowWidth = 0;
    int windowHeight = 0;

    bool operator==(const LayoutMetrics&) const = default;
};

// Columns of the table view: one per exchange, plus the average when there are two or more.
int tableColumnCount(int exchangeCount);

// Columns of the table view with the kimchi premium's column (Upbit and the premium) last.
int tableColumnCount(int exchangeCount, bool kimchiPremium);

// Metrics of a look for the given numbers of selected exchanges and coins. The strip's width
// is measured from its texts (`initialsStripWidth`) and passed in; the other looks ignore it.
// With the kimchi premium the table has one more column and the mini rows a premium text.
LayoutMetrics computeLayout(Look look, std::uint32_t dpi, std::int32_t zoomPct, int exchangeCount,
                            int coinCount, int stripWidth, bool kimchiPremium = false);

struct PixelRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int width() const { return right - left; }
    int height() const { return bottom - top; }
    // Half-open like the platform's PtInRect: an empty rectangle contains nothing.
    bool contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
    bool operator==(const PixelRect&) const = default;
};

struct PixelPoint {
    int x = 0;
    int y = 0;

    bool operator==(const PixelPoint&) const = default;
};

// Header buttons, left to right.
inline constexpr int kButtonPin = 0;
inline constexpr int kButtonLook = 1;
inline constexpr int kButtonSettings = 2;
inline constexpr int kButtonHide = 3;
inline constexpr int kButtonClose = 4;
inline constexpr int kButtonCount = 5;
using ButtonRects = std::array<PixelRect, kButtonCount>;

// Right-aligned in the header band; all empty in the strip, which has no buttons.
ButtonRects headerButtonRects(Look look, std::uint32_t dpi, std::int32_t zoomPct, int windowWidth,
                              int headerHeight);
// The first button containing the point, or -1.
int hitTestButton(const ButtonRects& rects, int x, int y);

// Text widths of the initials strip, per catalog coin, in device pixels.
struct StripMeasures {
    std::array<int, kCoinCount> labelWidth{};
    std::array<int, kCoinCount> priceWidth{};
    int changeWidth = 0;
    int premiumWidth = 0;  // 0 while the kimchi premium is not shown

    bool operator==(const StripMeasures&) const = default;
};

// The change column of the strip is as wide as this text in the small font.
inline constexpr wchar_t kStripChangeTemplate[] = L"+00.00%";
// The premium after the change (strip and mini rows) is as wide as this text in the small font.
inline constexpr wchar_t kPremiumCompactTemplate[] = L"김프 +00.0%";
// Stands in for the price of a coin without one when measuring.
inline constexpr wchar_t kStripNoPriceTemplate[] = L"0.00";
// The price text with every digit 1 to 9 turned into 0, so that the measured width follows
// the number of digits and the format, not every tick.
// No price makes the strip wider than this many characters; a longer one is cut when drawn.
inline constexpr std::size_t kStripMaxPriceChars = 16;
std::wstring stripPriceTemplate(std::wstring priceText);

// Margins, dot, groups of label, price and change, and the gaps between the groups.
int initialsStripWidth(std::uint32_t dpi, std::int32_t zoomPct, const StripMeasures& measures,
                       const IndexList& coins);

// Window placement. Distances are logical and scaled by DPI only.
inline constexpr int kEdgeMarginLogical = 16;
inline constexpr int kSnapDistanceLogical = 14;

// Bottom-right corner of the work area, `margin` pixels from both edges.
PixelPoint defaultOrigin(const PixelRect& work, int width, int height, int margin);
// Top-left corner for a new size: a window within `margin` of the right or bottom edge of the
// work area keeps its gap to that edge (none when it was at or past the edge).
PixelPoint dockedOrigin(const PixelRect& window, const PixelRect& work, int width, int height,
                        int margin);
// Snaps a proposed window rectangle flush to the work-area edges within `snap` pixels; left
// and top win over right and bottom. Size is kept.
PixelRect snapToWorkArea(const PixelRect& proposed, const PixelRect& work, int snap);

// Opacity and zoom.
inline constexpr int kMinOpacityPct = 30;
inline constexpr int kMaxOpacityPct = 100;
inline constexpr int kMinZoomPct = 80;
inline constexpr int kMaxZoomPct = 150;
inline constexpr std::array<int, 11> kIntervalPresetsSec{1, 2, 3, 5, 10, 15, 30, 60, 120, 180, 300};
inline constexpr std::array<int, 7> kOpacityPresetsPct{100, 95, 90, 80, 70, 60, 50};
inline constexpr std::array<int, 6> kZoomPresetsPct{80, 90, 100, 115, 130, 150};
inline constexpr std::array<int, 3> kExchangeCountPresets{1, 3, 5};

// Layered-window alpha: clamp(pct, 30, 100) * 255 / 100.
int opacityAlpha(int opacityPct);
int clampZoom(int zoomPct);
// One preset step from the current zoom by the sign of a wheel delta; a zoom that is not a
// preset steps from 100. Past either end, or for a zero delta, the zoom stays.
int zoomAfterWheel(int zoomPct, int wheelDelta);

// Colours of rises and falls: Korean style red up, blue down; otherwise green up, red down.
inline constexpr double kFlatChangePct = 0.005;
Rgb riseColor(bool koreanColors);
Rgb fallColor(bool koreanColors);
// Dim for a change whose magnitude is below 0.005 %.
Rgb changeColor(double changePct, bool koreanColors);
Rgb statusColor(BoardHealth health);

// Price flashes start at 30 % of the rise or fall colour over the background and fade out.
inline constexpr std::int64_t kFlashMs = 700;
bool flashActive(int direction, std::int64_t startMs, std::int64_t nowMs);
// The fill of a flash at `nowMs`; empty when no flash shows.
std::optional<Rgb> flashFill(int direction, std::int64_t startMs, std::int64_t nowMs,
                             bool koreanColors);

}  // namespace vindral
