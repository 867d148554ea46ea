// The kimchi premium in the window: the table's Upbit column (the KRW price above, the premium
// below), the premium text after the change in the mini rows and the initials strip, and its
// hover text. Drawn only while the option is on; the other looks' geometry makes room for it.
#include "core/format.h"
#include "core/kimchi_premium.h"
#include "ui/main_window.h"

namespace vindral {

namespace {

constexpr UINT kSingleLine = DT_SINGLELINE | DT_NOPREFIX;
constexpr UINT kCentredRight = kSingleLine | DT_VCENTER | DT_RIGHT;
constexpr UINT kBottomRight = kSingleLine | DT_BOTTOM | DT_RIGHT;
constexpr UINT kFit = DT_END_ELLIPSIS;

}  // namespace

PremiumView MainWindow::premiumFor(std::uint32_t coin, std::int64_t now) const {
    if (coin >= kCoinCount) {
        return {};
    }
    return premiumView(board_, coin, selectedExchanges_, board_.krw.upbit[coin], board_.krw.fx,
                       now);
}

Rgb MainWindow::premiumColor(const PremiumView& view) const {
    return premiumIsDim(view) ? palette::kDimText : changeColor(view.pct, settings_.koreanColors);
}

void MainWindow::paintPremiumHeader(HDC dc, const RECT& rect) {
    drawText(dc, kPremiumColumnTitle, rect, fonts_[kFontSmall].get(), palette::kDimText,
             kCentredRight);
}

void MainWindow::paintPremiumCell(HDC dc, const RECT& rect, std::uint32_t coin, std::int64_t now) {
    if (coin >= kCoinCount) {
        return;
    }
    const HFONT small = fonts_[kFontSmall].get();
    const PriceCell& krw = board_.krw.upbit[coin];
    const PremiumView view = premiumFor(coin, now);
    const std::wstring premium = premiumText(view);
    const CellTextBoxes boxes = cellBoxes(rect, textWidth(dc, premium, small));

    std::wstring status;
    Rgb statusColor = palette::kWarning;
    if (krw.hasData) {
        const bool fresh = isFresh(krw, board_.config.intervalMs, now);
        // A won price has three digits and a sign more than a USDT one: in the cell font BTC's
        // "₩137,569,000" no longer fits an exchange-wide column at 144 DPI.
        drawCellText(dc, formatKrwPrice(krw.price), rect, toRect(boxes.price),
                     fonts_[kFontCompactPrice].get(),
                     fresh ? palette::kMainText : palette::kDimText, kBottomRight | kFit);
        status = cellStatusText(krw, board_.config.intervalMs, now);
    } else if (!krw.error.empty()) {
        drawCellText(dc, L"조회 실패", rect, toRect(boxes.price), small, palette::kRed,
                     kBottomRight);
        status = fromUtf8(krw.error);
        statusColor = palette::kDimText;
    } else {
        drawCellText(dc, L"조회 중…", rect, toRect(boxes.price), small, palette::kDimText,
                     kBottomRight);
    }
    drawCellText(dc, premium, rect, toRect(boxes.change), small, premiumColor(view),
                 kSingleLine | DT_RIGHT | kFit);
    if (!status.empty()) {
        drawCellText(dc, status, rect, toRect(boxes.status), small, statusColor,
                     kSingleLine | kFit);
    }
}

void MainWindow::paintCompactPremium(HDC dc, const RECT& group, const RECT& box, std::uint32_t coin,
                                     std::int64_t now) {
    const PremiumView view = premiumFor(coin, now);
    drawCellText(dc, compactPremiumText(view), group, box, fonts_[kFontSmall].get(),
                 premiumColor(view), kCentredRight | kFit);
}

std::wstring MainWindow::premiumTipText(std::uint32_t coin) const {
    if (coin >= kCoinCount) {
        return {};
    }
    return premiumHoverText(board_, coin, selectedExchanges_, board_.krw.upbit[coin], board_.krw.fx,
                            wallClockMs());
}

}  // namespace vindral
