#include "ui/main_window.h"

#include <windowsx.h>

#include <climits>

#include "core/format.h"
#include "ui/alerts_view.h"
#include "ui/menu_extras.h"
#include "ui/modal_dialog.h"
#include "ui/startup_shortcut.h"

namespace vindral {

MainWindow::MainWindow() = default;

MainWindow::~MainWindow() {
    teardown();
}

bool MainWindow::create(HINSTANCE instance) {
    instance_ = instance;
    settings_ = loadSettings();
    loadAlerts();

    bigIcon_ = makeAppIcon(GetSystemMetrics(SM_CXICON));
    smallIcon_ = makeAppIcon(GetSystemMetrics(SM_CXSMICON));

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = &MainWindow::staticWindowProc;
    wc.hInstance = instance;
    wc.hIcon = bigIcon_;
    wc.hIconSm = smallIcon_;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kWindowClassName;
    if (RegisterClassExW(&wc) == 0) {
        return false;
    }

    taskbarCreatedMsg_ = RegisterWindowMessageW(L"TaskbarCreated");

    const int x = settings_.posX == INT_MIN ? 0 : settings_.posX;
    const int y = settings_.posY == INT_MIN ? 0 : settings_.posY;
    // Not topmost here: the z-order follows the setting below, and is re-applied on every change.
    const HWND hwnd = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW, kWindowClassName, kAppTitle,
                                      WS_POPUP, x, y, 100, 100, nullptr, nullptr, instance, this);
    if (hwnd == nullptr) {
        return false;
    }

    dpi_ = GetDpiForWindow(hwnd_);
    if (dpi_ == 0) {
        dpi_ = kBaseDpi;
    }
    // A layered window shows nothing until its alpha is set.
    applyOpacity(settings_.opacityPct);
    applyClickThrough();
    createFonts();
    createTooltips();
    hoverTip_.create(hwnd_, instance_, s(kHoverTipMaxWidth));
    layoutWindow();

    const POINT saved{settings_.posX, settings_.posY};
    if (settings_.posX == INT_MIN || MonitorFromPoint(saved, MONITOR_DEFAULTTONULL) == nullptr) {
        MONITORINFO mi{};
        mi.cbSize = sizeof mi;
        GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &mi);
        const PixelPoint p =
            defaultOrigin(toPixelRect(mi.rcWork), metrics_.windowWidth, metrics_.windowHeight,
                          scaleByDpi(kEdgeMarginLogical, dpi_));
        SetWindowPos(hwnd_, nullptr, p.x, p.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
        SetWindowPos(hwnd_, nullptr, saved.x, saved.y, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    applyZOrder();
    addTrayIcon();

    // Runs on engine threads: only the atomic flag and a post, never the board.
    engine_.start(settings_, [this, target = hwnd_] {
        if (boardChangePending_.exchange(1) == 0) {
            PostMessageW(target, kMsgBoardChanged, 0, 0);
        }
    });
    board_ = engine_.snapshot();

    SetTimer(hwnd_, kTimerTick, kTickMs, nullptr);
    ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
    UpdateWindow(hwnd_);
    return true;
}

void MainWindow::teardown() {
    if (tornDown_) {
        return;
    }
    tornDown_ = true;
    engine_.stop();
    deleteFonts();
    if (bigIcon_ != nullptr) {
        DestroyIcon(bigIcon_);
        bigIcon_ = nullptr;
    }
    if (smallIcon_ != nullptr) {
        DestroyIcon(smallIcon_);
        smallIcon_ = nullptr;
    }
}

LRESULT CALLBACK MainWindow::staticWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MainWindow* self = nullptr;
    if (msg == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<MainWindow*>(cs->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (self == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return self->handleMessage(msg, wParam, lParam);
}

LRESULT MainWindow::handleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    // Explorer restarted: the tray icon is gone and must be added again.
    if (taskbarCreatedMsg_ != 0 && msg == taskbarCreatedMsg_) {
        trayIconAdded_ = false;
        addTrayIcon();
        updateTrayTip();
        return 0;
    }
    if (msg >= WM_MOUSEFIRST && msg <= WM_MOUSELAST) {
        relayToTooltips(msg, wParam, lParam);
    }
    switch (msg) {
        case WM_DESTROY:
            KillTimer(hwnd_, kTimerTick);
            KillTimer(hwnd_, kTimerFlash);
            flashTimerRunning_ = false;
            savePosition();
            saveSettings(settings_);
            removeTrayIcon();
            PostQuitMessage(0);
            return 0;
        case WM_CLOSE:
            close();
            return 0;
        case WM_COMMAND:
            // Never sent in normal use (the menu returns its command instead); lets a test
            // driver run any menu command by id.
            if (lParam == 0) {
                runCommand(LOWORD(wParam));
                return 0;
            }
            break;
        case WM_PAINT: {
            PAINTSTRUCT ps{};
            const HDC dc = BeginPaint(hwnd_, &ps);
            if (dc != nullptr) {
                paint(dc, ps.rcPaint);
            }
            EndPaint(hwnd_, &ps);
            return 0;
        }
        case WM_PRINTCLIENT: {
            RECT client{};
            GetClientRect(hwnd_, &client);
            paint(reinterpret_cast<HDC>(wParam), client);
            return 0;
        }
        case WM_ERASEBKGND:
            // The paint covers every pixel.
            return 1;
        case WM_NOTIFY: {
            auto* header = reinterpret_cast<NMHDR*>(lParam);
            if (header != nullptr && header->code == TTN_GETDISPINFOW) {
                onTooltipText(reinterpret_cast<NMTTDISPINFOW*>(lParam));
                return 0;
            }
            break;
        }
        case WM_CONTEXTMENU: {
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (p.x == -1 && p.y == -1) {
                // From the keyboard: open at the window's bottom-left corner.
                RECT r{};
                GetWindowRect(hwnd_, &r);
                p = POINT{r.left, r.bottom};
            }
            showContextMenu(p);
            return 0;
        }
        case WM_NCHITTEST: {
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ScreenToClient(hwnd_, &p);
            // Everything but the buttons is caption, so the system drags the window from there.
            return hitTestButton(p) >= 0 ? HTCLIENT : HTCAPTION;
        }
        case WM_NCLBUTTONDBLCLK:
            if (wParam == HTCAPTION) {
                toggleMiniMode();
                return 0;
            }
            break;
        case WM_NCRBUTTONDOWN:
            // Kept from the default handling: under Wine it swallows the button-up on the
            // caption for a system menu this window does not have, so no menu would open.
            if (wParam == HTCAPTION) {
                return 0;
            }
            break;
        case WM_NCRBUTTONUP:
            showContextMenu(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return 0;
        case WM_KEYDOWN:
            if (wParam == VK_F5) {
                engine_.refreshNow();
            } else if (wParam == 'M') {
                toggleMiniMode();
            }
            return 0;
        case WM_TIMER:
            if (wParam == kTimerHoverTip) {
                showHoverTip();
                return 0;
            }
            onTimer(static_cast<UINT_PTR>(wParam));
            return 0;
        case WM_NCMOUSEMOVE:
            // Pointing at the window (all caption but the buttons) is seeing its alerts.
            clearAlertMarks();
            onHoverAt(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            break;
        case WM_NCMOUSELEAVE:
            trackingNcLeave_ = false;
            endHover();
            return 0;
        case WM_NCLBUTTONDOWN:
            clearAlertMarks();
            // A drag starts: the tip would stand in the way.
            endHover();
            break;
        case WM_MOUSEMOVE: {
            clearAlertMarks();
            endHover();
            const int b = hitTestButton(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            if (b != hoverButton_) {
                hoverButton_ = b;
                InvalidateRect(hwnd_, nullptr, FALSE);
            }
            if (!trackingLeave_) {
                TRACKMOUSEEVENT tme{};
                tme.cbSize = sizeof tme;
                tme.dwFlags = TME_LEAVE;
                tme.hwndTrack = hwnd_;
                trackingLeave_ = TrackMouseEvent(&tme) != FALSE;
            }
            return 0;
        }
        case WM_MOUSELEAVE:
            trackingLeave_ = false;
            if (hoverButton_ != -1) {
                hoverButton_ = -1;
                InvalidateRect(hwnd_, nullptr, FALSE);
            }
            return 0;
        case WM_LBUTTONDOWN:
            clearAlertMarks();
            pressedButton_ = hitTestButton(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            SetCapture(hwnd_);
            return 0;
        case WM_LBUTTONUP: {
            ReleaseCapture();
            const int b = hitTestButton(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            const int pressed = pressedButton_;
            pressedButton_ = -1;
            // Only a press and release on the same button acts.
            if (b >= 0 && b == pressed) {
                onLeftButtonUp(b);
            }
            return 0;
        }
        case WM_MOUSEWHEEL:
            if ((GET_KEYSTATE_WPARAM(wParam) & MK_CONTROL) == 0) {
                break;
            }
            setZoom(zoomAfterWheel(settings_.zoomPct, GET_WHEEL_DELTA_WPARAM(wParam)));
            return 0;
        case WM_MOVING:
            return onMoving(reinterpret_cast<RECT*>(lParam));
        case WM_EXITSIZEMOVE:
            savePosition();
            return 0;
        case WM_DPICHANGED: {
            dpi_ = HIWORD(wParam);
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            // The size comes from the new layout, only the position from the suggestion.
            SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            createFonts();
            layoutWindow();
            return 0;
        }
        case kMsgBoardChanged:
            onBoardChanged();
            return 0;
        case kMsgTrayCallback:
            onTrayCallback(LOWORD(lParam));
            return 0;
        case kMsgShowWindow:
            showFromTray();
            return 0;
        case kMsgTestSnapshot:
            return writeTestSnapshot(static_cast<unsigned>(wParam)) ? 1 : 0;
        case kMsgTestAlertPrice:
        case kMsgTestArmedAlerts:
            return answerAlertTest(msg, wParam);
        default:
            break;
    }
    return DefWindowProcW(hwnd_, msg, wParam, lParam);
}

void MainWindow::onLeftButtonUp(int button) {
    switch (button) {
        case kButtonPin:
            runCommand(kCmdAlwaysOnTop);
            break;
        case kButtonLook:
            toggleMiniMode();
            break;
        case kButtonSettings:
            openSettings();
            break;
        case kButtonHide:
            hideToTray();
            break;
        case kButtonClose:
            close();
            break;
        default:
            break;
    }
}

void MainWindow::onTimer(UINT_PTR id) {
    if (id != kTimerFlash) {
        if (IsWindowVisible(hwnd_)) {
            InvalidateRect(hwnd_, nullptr, FALSE);
        }
        return;
    }
    const std::int64_t now = wallClockMs();
    if (IsWindowVisible(hwnd_)) {
        repaintChangedFlashes(now);
    }
    if (!anyFlashActive(flashes_, now)) {
        KillTimer(hwnd_, kTimerFlash);
        flashTimerRunning_ = false;
    }
}

void MainWindow::repaintChangedFlashes(std::int64_t now) {
    // Drawn at once through the window's DC, one box around every fill that moved on: under
    // Wine an invalidation and the paint message it brings cost a dozen more round trips to
    // the window server, thirty times a second.
    if (const std::optional<PixelRect> changed =
            changedFlashArea(paintedFlashes_, now, settings_.koreanColors)) {
        const WindowDc windowDc(hwnd_);
        paint(windowDc.get(), toRect(*changed));
    }
}

LRESULT MainWindow::onMoving(RECT* proposed) {
    const HMONITOR monitor = MonitorFromRect(proposed, MONITOR_DEFAULTTONEAREST);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    if (GetMonitorInfoW(monitor, &mi)) {
        const PixelRect snapped = snapToWorkArea(toPixelRect(*proposed), toPixelRect(mi.rcWork),
                                                 scaleByDpi(kSnapDistanceLogical, dpi_));
        *proposed = toRect(snapped);
    }
    return TRUE;
}

void MainWindow::onBoardChanged() {
    // Cleared before the snapshot, so that a change during the copy posts a new notice.
    boardChangePending_.store(0);
    board_ = engine_.snapshot();
    serverAnsweredOnce_ = serverAnsweredOnce_ || board_.serverAnswered;
    const std::int64_t now = wallClockMs();

    const bool changed = trackFlashes(flashes_, board_, selectedExchanges_, selectedCoins_, now);

    if (settings_.coinInitials) {
        const auto before = strip_.priceWidth;
        measureInitialsStrip();
        if (strip_.priceWidth != before) {
            layoutWindow();
        }
    }
    if (changed && !flashTimerRunning_) {
        flashTimerRunning_ = true;
        SetTimer(hwnd_, kTimerFlash, kFlashFrameMs, nullptr);
    }
    checkAlerts(now);
    updateTrayTip();
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void MainWindow::applySettings(const Settings& next) {
    const bool engineChanged = engineSettingsDiffer(next, settings_);
    const bool zoomChanged = next.zoomPct != settings_.zoomPct;
    settings_ = next;
    if (engineChanged) {
        engine_.applySettings(settings_);
        board_ = engine_.snapshot();
    }
    if (zoomChanged) {
        createFonts();
    }
    applyZOrder();
    applyOpacity(settings_.opacityPct);
    applyClickThrough();
    layoutWindow();
    updateTrayTip();
    saveSettings(settings_);
}

void MainWindow::close() {
    // DestroyWindow hides the window before WM_DESTROY arrives, where a hidden window's
    // position is no longer stored; so it is stored here, while the window still shows.
    savePosition();
    DestroyWindow(hwnd_);
}

void MainWindow::applyZOrder() {
    SetWindowPos(hwnd_, settings_.alwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void MainWindow::runCommand(int id) {
    if (ModalDialogScope::active() && !commandAllowedWhileModal(id)) {
        return;
    }
    if (const auto next = settingsForExtraCommand(settings_, id)) {
        applySettings(*next);
        return;
    }
    if (id == kCmdStartWithWindows) {
        setStartupShortcut(!startupShortcutPointsHere());
        return;
    }
    if (const auto next = settingsForCommand(settings_, id)) {
        applySettings(*next);
        return;
    }
    if (const auto zoom = zoomForCommand(id)) {
        setZoom(*zoom);
        return;
    }
    switch (id) {
        case kCmdSettings:
            openSettings();
            break;
        case kCmdRefresh:
            engine_.refreshNow();
            break;
        case kCmdToggleMini:
            toggleMiniMode();
            break;
        case kCmdHide:
            hideToTray();
            break;
        case kCmdShow:
            showFromTray();
            break;
        case kCmdExit:
            close();
            break;
        case kCmdAlerts:
            openAlerts();
            break;
        default:
            break;
    }
}

}  // namespace vindral
