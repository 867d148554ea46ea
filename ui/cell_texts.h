// Where the texts of a price cell go, so that none leaves its cell or runs into another, and what
// hovering a cell tells: the exchange, the coin, the last update and the full error text that the
// cell itself can only show cut. Free of window-system types, like layout.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/board.h"
#include "ui/layout.h"

namespace vindral {

struct CellTextBoxes {
    PixelRect price;   // upper half: the price or the cell's state, right-aligned
    PixelRect change;  // lower right: the 24-hour change
    PixelRect status;  // lower left: age, "재시도", the spread or the error text
};

// The boxes of a table cell. The status box ends a gap before a change text `changeWidth` wide (0
// when none is drawn); every box lies inside the cell, clipped to an empty one when there is no
// room.
CellTextBoxes tableCellBoxes(const PixelRect& cell, int rowHeight, std::uint32_t dpi,
                             std::int32_t zoomPct, int changeWidth);

// The cell under the pointer: a coin and one exchange, or a coin and every shown exchange (the
// average column of the table, a row of the mini view), or a coin's kimchi premium (the Upbit
// column of the table, the premium text of a mini row).
struct HoverCell {
    std::uint32_t coin = 0;
    std::optional<std::uint32_t> exchange;
    bool premium = false;
    bool operator==(const HoverCell&) const = default;
};

// Only the cells of the table and the rows of the mini view have a hover text.
std::optional<HoverCell> hoverCellAt(Look look, const LayoutMetrics& metrics, std::uint32_t dpi,
                                     std::int32_t zoomPct, const IndexList& exchanges,
                                     const IndexList& coins, int x, int y);

// A tooltip holds about this many characters; longer texts end in "…".
inline constexpr std::size_t kHoverTipMaxChars = 1000;

// One line per exchange, "Bitget · BTC · 갱신 12:34:56", each followed by the cell's full error
// text when it has one.
std::wstring hoverTipText(const PriceBoard& board, const HoverCell& cell,
                          const IndexList& exchanges);

}  // namespace vindral
