// The tooltip of the price cells: hovering a cell of the table or a row of the mini view shows
// the exchange, the coin, the last update and the full error text that the cell can only show
// cut. The cells lie in the window's caption area (the window is dragged from anywhere but its
// buttons), where a tooltip's own mouse tracking sees nothing, so the window reports the pointer
// and the tip is a tracking tooltip placed beside it.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <optional>
#include <string>

#include "ui/cell_texts.h"

namespace vindral {

// Well apart from the window's own timer ids (1, 2), so that new ones beside them never clash.
inline constexpr UINT_PTR kTimerHoverTip = 41;
// The pointer rests this long on a cell before its tip shows; while it shows, the text follows the
// board once a second.
inline constexpr UINT kHoverTipDelayMs = 500;
inline constexpr UINT kHoverTipRefreshMs = 1000;
// Logical lengths: the widest line before the tip wraps, and its distance from the pointer.
inline constexpr double kHoverTipMaxWidth = 360;
inline constexpr double kHoverTipOffset = 16;

class HoverTip {
  public:
    HoverTip() = default;
    ~HoverTip();
    HoverTip(const HoverTip&) = delete;
    HoverTip& operator=(const HoverTip&) = delete;

    // Without the tooltip control (creation failed) everything else does nothing.
    void create(HWND owner, HINSTANCE instance, int maxWidthPx);
    // The cell under the pointer, or none; true when it differs from the one before, which hides
    // the tip.
    bool hover(const std::optional<HoverCell>& cell);
    const std::optional<HoverCell>& hovered() const { return hovered_; }
    // Shows `text` (empty hides) beside the screen point.
    void show(const std::wstring& text, POINT screen);
    void hide();

  private:
    TOOLINFOW toolInfo();

    HWND owner_ = nullptr;
    HWND tip_ = nullptr;
    std::wstring text_;
    std::optional<HoverCell> hovered_;
    bool shown_ = false;
};

}  // namespace vindral
