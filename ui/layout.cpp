#include "ui/layout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vindral {

int scaled(std::uint32_t dpi, std::int32_t zoomPct, double logical) {
    const double px = static_cast<double>(dpi) * logical / 96.0 * zoomPct / 100.0;
    return static_cast<int>(std::lround(px));
}

int scaleByDpi(int logical, std::uint32_t dpi) {
    const std::int64_t product = static_cast<std::int64_t>(logical) * dpi;
    const std::int64_t half = kBaseDpi / 2;
    const std::int64_t rounded =
        product >= 0 ? (product + half) / kBaseDpi : -((-product + half) / kBaseDpi);
    return static_cast<int>(rounded);
}

Look lookFor(bool miniMode, bool coinInitials) {
    if (coinInitials) {
        return Look::Strip;
    }
    return miniMode ? Look::Mini : Look::Table;
}

int tableColumnCount(int exchangeCount) {
    return exchangeCount > 1 ? exchangeCount + 1 : exchangeCount;
}

int tableColumnCount(int exchangeCount, bool kimchiPremium) {
    return tableColumnCount(exchangeCount) + (kimchiPremium ? 1 : 0);
}

LayoutMetrics computeLayout(Look look, std::uint32_t dpi, std::int32_t zoomPct, int exchangeCount,
                            int coinCount, int stripWidth, bool kimchiPremium) {
    const auto s = [&](double x) { return scaled(dpi, zoomPct, x); };
    LayoutMetrics m;
    m.kimchiPremium = kimchiPremium;
    switch (look) {
        case Look::Table:
            m.pad = s(10);
            m.cornerRadius = s(10);
            m.headerHeight = s(28);
            m.columnHeaderHeight = s(20);
            m.rowHeight = s(40);
            m.footerHeight = s(22);
            m.labelWidth = s(48);
            m.columnWidth = s(108);
            m.windowWidth = std::max(
                tableColumnCount(exchangeCount, kimchiPremium) * s(108) + s(48) + 2 * m.pad,
                s(300));
            m.windowHeight = coinCount * s(40) + s(4) + s(28) + s(22) + s(20);
            break;
        case Look::Mini:
            m.pad = s(10);
            m.cornerRadius = s(10);
            m.headerHeight = s(22);
            m.rowHeight = s(24);
            m.labelWidth = s(42);
            m.miniPriceWidth = s(112);
            m.miniChangeWidth = s(64);
            m.miniPremiumWidth = kimchiPremium ? s(80) : 0;
            m.windowWidth =
                std::max(s(112) + s(64) + m.miniPremiumWidth + 2 * m.pad + s(42), s(240));
            m.windowHeight = coinCount * s(24) + s(6) + s(22);
            break;
        case Look::Strip:
            m.pad = s(6);
            m.cornerRadius = s(6);
            m.rowHeight = s(22);
            m.windowWidth = stripWidth;
            m.windowHeight = s(22);
            break;
    }
    return m;
}

ButtonRects headerButtonRects(Look look, std::uint32_t dpi, std::int32_t zoomPct, int windowWidth,
                              int headerHeight) {
    ButtonRects rects{};
    if (look == Look::Strip) {
        return rects;
    }
    const int bw = scaled(dpi, zoomPct, look == Look::Mini ? 22 : 26);
    const int right = windowWidth - scaled(dpi, zoomPct, 4);
    for (int i = 0; i < kButtonCount; ++i) {
        const int fromRight = kButtonCount - i;
        rects[i] = PixelRect{right - fromRight * bw, 0, right - (fromRight - 1) * bw, headerHeight};
    }
    return rects;
}

int hitTestButton(const ButtonRects& rects, int x, int y) {
    for (int i = 0; i < kButtonCount; ++i) {
        if (rects[i].contains(x, y)) {
            return i;
        }
    }
    return -1;
}

std::wstring stripPriceTemplate(std::wstring priceText) {
    if (priceText.size() > kStripMaxPriceChars) {
        priceText.resize(kStripMaxPriceChars);
    }
    for (wchar_t& c : priceText) {
        if (c >= L'1' && c <= L'9') {
            c = L'0';
        }
    }
    return priceText;
}

int initialsStripWidth(std::uint32_t dpi, std::int32_t zoomPct, const StripMeasures& measures,
                       const IndexList& coins) {
    const auto s = [&](double x) { return scaled(dpi, zoomPct, x); };
    int total = s(6) + s(6) + s(5);
    for (std::size_t i = 0; i < coins.size(); ++i) {
        const std::uint32_t c = coins[i];
        if (c >= kCoinCount) {
            continue;
        }
        total +=
            measures.labelWidth[c] + s(4) + measures.priceWidth[c] + s(4) + measures.changeWidth;
        if (measures.premiumWidth > 0) {
            total += s(4) + measures.premiumWidth;
        }
        if (i + 1 < coins.size()) {
            total += s(10);
        }
    }
    return total + s(6);
}

PixelPoint defaultOrigin(const PixelRect& work, int width, int height, int margin) {
    return PixelPoint{work.right - width - margin, work.bottom - height - margin};
}

PixelPoint dockedOrigin(const PixelRect& window, const PixelRect& work, int width, int height,
                        int margin) {
    // Near an edge the gap to it is kept rather than closed, so that zooming in and back out
    // returns the window to where it was; a window at or past the edge stays flush with it.
    PixelPoint p{window.left, window.top};
    const int rightGap = work.right - window.right;
    if (std::abs(rightGap) <= margin) {
        p.x = work.right - std::max(rightGap, 0) - width;
    }
    const int bottomGap = work.bottom - window.bottom;
    if (std::abs(bottomGap) <= margin) {
        p.y = work.bottom - std::max(bottomGap, 0) - height;
    }
    return p;
}

PixelRect snapToWorkArea(const PixelRect& proposed, const PixelRect& work, int snap) {
    const int width = proposed.width();
    const int height = proposed.height();
    int left = proposed.left;
    int top = proposed.top;
    if (std::abs(proposed.left - work.left) < snap) {
        left = work.left;
    } else if (std::abs(proposed.right - work.right) < snap) {
        left = work.right - width;
    }
    if (std::abs(proposed.top - work.top) < snap) {
        top = work.top;
    } else if (std::abs(proposed.bottom - work.bottom) < snap) {
        top = work.bottom - height;
    }
    return PixelRect{left, top, left + width, top + height};
}

int opacityAlpha(int opacityPct) {
    return std::clamp(opacityPct, kMinOpacityPct, kMaxOpacityPct) * 255 / 100;
}

int clampZoom(int zoomPct) {
    return std::clamp(zoomPct, kMinZoomPct, kMaxZoomPct);
}

int zoomAfterWheel(int zoomPct, int wheelDelta) {
    const auto at = [](int z) {
        return static_cast<int>(std::find(kZoomPresetsPct.begin(), kZoomPresetsPct.end(), z) -
                                kZoomPresetsPct.begin());
    };
    const int count = static_cast<int>(kZoomPresetsPct.size());
    int index = at(zoomPct);
    if (index == count) {
        index = at(100);
    }
    if (wheelDelta > 0 && index + 1 < count) {
        return kZoomPresetsPct[index + 1];
    }
    if (wheelDelta < 0 && index > 0) {
        return kZoomPresetsPct[index - 1];
    }
    return zoomPct;
}

Rgb riseColor(bool koreanColors) {
    return koreanColors ? palette::kRed : palette::kRiseGreen;
}

Rgb fallColor(bool koreanColors) {
    return koreanColors ? palette::kBlue : palette::kRed;
}

Rgb changeColor(double changePct, bool koreanColors) {
    if (std::fabs(changePct) < kFlatChangePct) {
        return palette::kDimText;
    }
    return changePct > 0 ? riseColor(koreanColors) : fallColor(koreanColors);
}

Rgb statusColor(BoardHealth health) {
    switch (health) {
        case BoardHealth::AllFresh:
            return palette::kAllGood;
        case BoardHealth::SomeFresh:
            return palette::kWarning;
        case BoardHealth::Failing:
            return palette::kRed;
        case BoardHealth::Idle:
            break;
    }
    return palette::kDimText;
}

bool flashActive(int direction, std::int64_t startMs, std::int64_t nowMs) {
    return direction != 0 && nowMs - startMs < kFlashMs;
}

std::optional<Rgb> flashFill(int direction, std::int64_t startMs, std::int64_t nowMs,
                             bool koreanColors) {
    if (!flashActive(direction, startMs, nowMs)) {
        return std::nullopt;
    }
    const double elapsed = static_cast<double>(nowMs - startMs);
    const double a = std::clamp((1.0 - elapsed / kFlashMs) * 0.3, 0.0, 1.0);
    const Rgb target = direction > 0 ? riseColor(koreanColors) : fallColor(koreanColors);
    const Rgb bg = palette::kBackground;
    const auto mix = [a](std::uint8_t from, std::uint8_t to) {
        return static_cast<std::uint8_t>(static_cast<int>(from + (to - from) * a));
    };
    return Rgb{mix(bg.r, target.r), mix(bg.g, target.g), mix(bg.b, target.b)};
}

}  // namespace vindral
