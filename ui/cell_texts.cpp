#include "ui/cell_texts.h"

#include <algorithm>

#include "core/format.h"

namespace vindral {

namespace {

// Logical distances inside a table cell.
constexpr double kCellInset = 8;
constexpr double kPriceTop = 4;
constexpr double kPriceBelowMiddle = 2;
constexpr double kLowerBelowMiddle = 1;
constexpr double kLowerBottom = 4;
constexpr double kStatusGap = 4;
// Mini rows start this far below the header.
constexpr double kMiniRowsTop = 3;

PixelRect clipTo(PixelRect r, const PixelRect& outer) {
    r.left = std::clamp(r.left, outer.left, outer.right);
    r.right = std::clamp(r.right, r.left, outer.right);
    r.top = std::clamp(r.top, outer.top, outer.bottom);
    r.bottom = std::clamp(r.bottom, r.top, outer.bottom);
    return r;
}

// The index of a band of `size` starting at `origin` that holds `v`, or empty.
std::optional<std::size_t> bandAt(int v, int origin, int size, std::size_t count) {
    if (size <= 0 || v < origin) {
        return std::nullopt;
    }
    const auto index = static_cast<std::size_t>((v - origin) / size);
    return index < count ? std::optional(index) : std::nullopt;
}

}  // namespace

CellTextBoxes tableCellBoxes(const PixelRect& cell, int rowHeight, std::uint32_t dpi,
                             std::int32_t zoomPct, int changeWidth) {
    const auto s = [&](double logical) { return scaled(dpi, zoomPct, logical); };
    const int middle = cell.top + rowHeight / 2;
    CellTextBoxes boxes;
    boxes.price = clipTo({cell.left, cell.top + s(kPriceTop), cell.right - s(kCellInset),
                          middle + s(kPriceBelowMiddle)},
                         cell);
    const PixelRect lower = clipTo({cell.left + s(kCellInset), middle + s(kLowerBelowMiddle),
                                    cell.right - s(kCellInset), cell.bottom - s(kLowerBottom)},
                                   cell);
    boxes.change = lower;
    boxes.status = lower;
    if (changeWidth > 0) {
        boxes.change.left = std::max(lower.left, lower.right - changeWidth);
        boxes.status.right = std::max(lower.left, boxes.change.left - s(kStatusGap));
    }
    return boxes;
}

std::optional<HoverCell> hoverCellAt(Look look, const LayoutMetrics& m, std::uint32_t dpi,
                                     std::int32_t zoomPct, const IndexList& exchanges,
                                     const IndexList& coins, int x, int y) {
    if (look == Look::Table) {
        const int rowsTop = m.headerHeight + m.columnHeaderHeight;
        const std::optional<std::size_t> row = bandAt(y, rowsTop, m.rowHeight, coins.size());
        const std::size_t columns = static_cast<std::size_t>(
            tableColumnCount(static_cast<int>(exchanges.size()), m.kimchiPremium));
        const std::optional<std::size_t> column =
            bandAt(x, m.pad + m.labelWidth, m.columnWidth, columns);
        if (!row || !column) {
            return std::nullopt;
        }
        HoverCell cell{coins[*row], std::nullopt};
        if (m.kimchiPremium && *column + 1 == columns) {
            cell.premium = true;
        } else if (*column < exchanges.size()) {
            cell.exchange = exchanges[*column];
        }
        return cell;
    }
    if (look == Look::Mini) {
        const int rowsTop = m.headerHeight + scaled(dpi, zoomPct, kMiniRowsTop);
        const std::optional<std::size_t> row = bandAt(y, rowsTop, m.rowHeight, coins.size());
        if (!row || x < m.pad || x >= m.windowWidth - m.pad) {
            return std::nullopt;
        }
        HoverCell cell{coins[*row], std::nullopt};
        if (m.miniPremiumWidth > 0 && x >= m.windowWidth - m.pad - m.miniPremiumWidth) {
            cell.premium = true;
        } else if (exchanges.size() == 1) {
            cell.exchange = exchanges.front();
        }
        return cell;
    }
    return std::nullopt;
}

std::wstring hoverTipText(const PriceBoard& board, const HoverCell& hovered,
                          const IndexList& exchanges) {
    std::wstring text;
    for (const std::uint32_t e : exchanges) {
        if (e >= kExchangeCount || hovered.coin >= kCoinCount ||
            (hovered.exchange && *hovered.exchange != e)) {
            continue;
        }
        const PriceCell& cell = board.cells[e][hovered.coin];
        if (!text.empty()) {
            text += L'\n';
        }
        text += exchangeName(e) + L" · " + coinSymbol(hovered.coin) + L" · 갱신 " +
                formatClock(cell.updatedAtMs);
        if (!cell.error.empty()) {
            text += L'\n';
            // A server's text could bring line breaks of its own; one error is one line.
            std::wstring error = fromUtf8(cell.error);
            std::replace_if(
                error.begin(), error.end(), [](wchar_t c) { return c < L' '; }, L' ');
            text += error;
        }
    }
    if (text.size() > kHoverTipMaxChars) {
        text.resize(kHoverTipMaxChars - 1);
        text += L'…';
    }
    return text;
}

}  // namespace vindral
