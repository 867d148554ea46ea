// The main window's side of the cell tooltip: which cell the pointer rests on, and when the tip
// shows, follows the board and goes away.
#include "ui/main_window.h"

namespace vindral {

void MainWindow::onHoverAt(POINT screen) {
    if (!trackingNcLeave_) {
        TRACKMOUSEEVENT tme{};
        tme.cbSize = sizeof tme;
        tme.dwFlags = TME_LEAVE | TME_NONCLIENT;
        tme.hwndTrack = hwnd_;
        trackingNcLeave_ = TrackMouseEvent(&tme) != FALSE;
    }
    POINT client = screen;
    ScreenToClient(hwnd_, &client);
    const std::optional<HoverCell> cell =
        hoverCellAt(look(), metrics_, dpi_, settings_.zoomPct, selectedExchanges_, selectedCoins_,
                    client.x, client.y);
    if (!hoverTip_.hover(cell)) {
        return;
    }
    if (cell) {
        SetTimer(hwnd_, kTimerHoverTip, kHoverTipDelayMs, nullptr);
    } else {
        KillTimer(hwnd_, kTimerHoverTip);
    }
}

void MainWindow::endHover() {
    // The pointer may have left through a button (client area), whose own leave tracking then
    // replaced ours: ask again at the next move over the cells.
    trackingNcLeave_ = false;
    if (hoverTip_.hover(std::nullopt)) {
        KillTimer(hwnd_, kTimerHoverTip);
    }
}

void MainWindow::showHoverTip() {
    const std::optional<HoverCell> cell = hoverTip_.hovered();
    if (!cell) {
        KillTimer(hwnd_, kTimerHoverTip);
        return;
    }
    POINT cursor{};
    GetCursorPos(&cursor);
    // Below and right of the pointer, clear of the cursor image.
    cursor.x += s(kHoverTipOffset);
    cursor.y += s(kHoverTipOffset);
    hoverTip_.show(cell->premium ? premiumTipText(cell->coin)
                                 : hoverTipText(board_, *cell, selectedExchanges_),
                   cursor);
    SetTimer(hwnd_, kTimerHoverTip, kHoverTipRefreshMs, nullptr);
}

}  // namespace vindral
