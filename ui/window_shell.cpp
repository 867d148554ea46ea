// Everything the user does to the window besides looking at it: the application and tray
// icons, the button tooltips, the context menu and its commands, opacity, zoom, the looks,
// hiding and showing, the saved position and the settings dialog.
#include "ui/main_window.h"

#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <iterator>

#include "core/format.h"
#include "settings/settings_dialog.h"
#include "ui/alerts_view.h"
#include "ui/menu_extras.h"
#include "ui/modal_dialog.h"
#include "ui/startup_shortcut.h"

namespace vindral {

namespace {

// True while the modal settings dialog runs; a second request is ignored meanwhile.
bool settingsDialogOpen = false;

constexpr Rgb kIconDisc = palette::kAccent;
constexpr Rgb kIconLetter{20, 20, 26};

// The shell's tooltip holds 128 characters, terminator included.
constexpr std::size_t kTrayTipChars = 128;

NOTIFYICONDATAW trayData(HWND hwnd, UINT flags) {
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = hwnd;
    nid.uID = kTrayIconId;
    nid.uFlags = flags;
    return nid;
}

void copyTip(NOTIFYICONDATAW& nid, const std::wstring& text) {
    const std::size_t n = std::min(text.size(), kTrayTipChars - 1);
    std::wmemcpy(nid.szTip, text.data(), n);
    nid.szTip[n] = L'\0';
}

// Builds a menu handle from the menu model; submenus belong to their parent once appended.
HMENU buildMenu(const std::vector<MenuItem>& items) {
    const HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return nullptr;
    }
    for (const MenuItem& item : items) {
        if (item.isSeparator()) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        } else if (!item.children.empty()) {
            const HMENU sub = buildMenu(item.children);
            if (sub != nullptr &&
                !AppendMenuW(menu, MF_POPUP | MF_STRING | (item.enabled ? 0 : MF_GRAYED),
                             reinterpret_cast<UINT_PTR>(sub), item.text.c_str())) {
                DestroyMenu(sub);
            }
        } else {
            AppendMenuW(menu,
                        MF_STRING | (item.checked ? MF_CHECKED : MF_UNCHECKED) |
                            (item.enabled ? 0 : MF_GRAYED),
                        static_cast<UINT_PTR>(item.id), item.text.c_str());
        }
    }
    return menu;
}

}  // namespace

HICON makeAppIcon(int size) {
    const int n = std::max(size, 1);
    const WindowDc screen(nullptr);
    const MemoryDc memory(screen.get());
    if (memory.get() == nullptr) {
        return nullptr;
    }
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = n;
    bi.bmiHeader.biHeight = -n;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    GdiHandle<HBITMAP> color(
        CreateDIBSection(memory.get(), &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!color || bits == nullptr) {
        return nullptr;
    }
    {
        const HDC dc = memory.get();
        const SelectScope selectedBitmap(dc, color.get());
        fillRect(dc, 0, 0, n, n, Rgb{0, 0, 0});
        {
            const SelectScope pen(dc, GetStockObject(NULL_PEN));
            const SelectScope brush(dc, GetStockObject(DC_BRUSH));
            SetDCBrushColor(dc, toColorRef(kIconDisc));
            Ellipse(dc, 0, 0, n + 1, n + 1);
        }
        const GdiHandle<HFONT> font(CreateFontW(
            -(7 * n / 10), 0, 0, 0, 900, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
            CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH, L"Segoe UI"));
        SetBkMode(dc, TRANSPARENT);
        const wchar_t initial[] = {kAppTitle[0], L'\0'};
        drawText(dc, initial, RECT{0, 0, n, n}, font.get(), kIconLetter,
                 DT_SINGLELINE | DT_VCENTER | DT_CENTER | DT_NOPREFIX);
        GdiFlush();
    }
    // Drawn pixels become opaque, the black corners outside the disc fully transparent.
    auto* pixels = static_cast<std::uint32_t*>(bits);
    for (int i = 0; i < n * n; ++i) {
        pixels[i] = (pixels[i] & 0x00FFFFFFu) != 0 ? (pixels[i] | 0xFF000000u) : 0;
    }
    const GdiHandle<HBITMAP> mask(CreateBitmap(n, n, 1, 1, nullptr));
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmMask = mask.get();
    info.hbmColor = color.get();
    return CreateIconIndirect(&info);
}

void MainWindow::addTrayIcon() {
    NOTIFYICONDATAW nid = trayData(hwnd_, NIF_MESSAGE | NIF_ICON | NIF_TIP);
    nid.uCallbackMessage = kMsgTrayCallback;
    nid.hIcon = smallIcon_;
    copyTip(nid, trayTipWithNotes(kTrayTipInitial, settings_.clickThrough,
                                  showsServerHint(settings_, serverAnsweredOnce_)));
    trayIconAdded_ = Shell_NotifyIconW(NIM_ADD, &nid) != FALSE;
}

void MainWindow::updateTrayTip() {
    if (!trayIconAdded_) {
        return;
    }
    NOTIFYICONDATAW nid = trayData(hwnd_, NIF_TIP);
    const auto tip = [this](bool withPremium) {
        return trayTipWithNotes(trayTipText(board_, selectedExchanges_, selectedCoins_,
                                            wallClockMs(), withPremium),
                                settings_.clickThrough,
                                showsServerHint(settings_, serverAnsweredOnce_)) +
               alertsTipLine(alertBook_);
    };
    std::wstring text = tip(settings_.kimchiPremium);
    // Premiums that would push prices past the shell's limit are left out rather than cut.
    if (text.size() >= kTrayTipChars) {
        text = tip(false);
    }
    copyTip(nid, text);
    Shell_NotifyIconW(NIM_MODIFY, &nid);
}

void MainWindow::removeTrayIcon() {
    if (!trayIconAdded_) {
        return;
    }
    NOTIFYICONDATAW nid = trayData(hwnd_, 0);
    Shell_NotifyIconW(NIM_DELETE, &nid);
    trayIconAdded_ = false;
}

void MainWindow::onTrayCallback(UINT event) {
    if (event == WM_LBUTTONUP) {
        if (IsWindowVisible(hwnd_)) {
            hideToTray();
        } else {
            showFromTray();
        }
    } else if (event == WM_RBUTTONUP) {
        POINT p{};
        GetCursorPos(&p);
        showContextMenu(p);
    }
}

// The buttons' tips get the mouse messages handed over by the window procedure rather than by
// letting the tooltip control subclass the window: under Wine the subclass costs three round
// trips to the window server on every message the window receives, thirty frames a second.
void MainWindow::createTooltips() {
    tooltipHwnd_ =
        CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance_, nullptr);
    if (tooltipHwnd_ == nullptr) {
        return;
    }
    for (int i = 0; i < kButtonCount; ++i) {
        TOOLINFOW ti{};
        ti.cbSize = sizeof ti;
        ti.uFlags = 0;
        ti.hwnd = hwnd_;
        ti.uId = static_cast<UINT_PTR>(i);
        ti.rect = toRect(buttonRects_[i]);
        ti.lpszText = LPSTR_TEXTCALLBACKW;
        SendMessageW(tooltipHwnd_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    }
}

void MainWindow::relayToTooltips(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (tooltipHwnd_ == nullptr) {
        return;
    }
    MSG relayed{};
    relayed.hwnd = hwnd_;
    relayed.message = msg;
    relayed.wParam = wParam;
    relayed.lParam = lParam;
    SendMessageW(tooltipHwnd_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&relayed));
}

void MainWindow::updateToolRects() {
    if (tooltipHwnd_ == nullptr) {
        return;
    }
    for (int i = 0; i < kButtonCount; ++i) {
        TOOLINFOW ti{};
        ti.cbSize = sizeof ti;
        ti.hwnd = hwnd_;
        ti.uId = static_cast<UINT_PTR>(i);
        ti.rect = toRect(buttonRects_[i]);
        SendMessageW(tooltipHwnd_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&ti));
    }
}

void MainWindow::onTooltipText(NMTTDISPINFOW* info) {
    const UINT_PTR id = info->hdr.idFrom;
    if (id >= static_cast<UINT_PTR>(kButtonCount)) {
        return;
    }
    const std::wstring text =
        buttonTooltip(static_cast<int>(id), settings_.alwaysOnTop, settings_.miniMode);
    lstrcpynW(info->szText, text.c_str(), static_cast<int>(std::size(info->szText)));
    info->lpszText = info->szText;
}

void MainWindow::showContextMenu(POINT screen) {
    std::vector<MenuItem> items =
        withAlertsItem(buildContextMenu(settings_, IsWindowVisible(hwnd_) != FALSE));
    addMenuExtras(items, settings_,
                  MenuExtras{showsServerHint(settings_, serverAnsweredOnce_),
                             startupShortcutPointsHere(), ModalDialogScope::active()});
    const HMENU menu = buildMenu(items);
    if (menu == nullptr) {
        return;
    }
    // Without this the menu would not close when the user clicks elsewhere (tray case).
    SetForegroundWindow(hwnd_);
    const int id =
        static_cast<int>(TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_NONOTIFY | TPM_RETURNCMD,
                                        screen.x, screen.y, 0, hwnd_, nullptr));
    DestroyMenu(menu);
    PostMessageW(hwnd_, WM_NULL, 0, 0);
    if (id != 0) {
        runCommand(id);
    }
}

void MainWindow::applyOpacity(int opacityPct) {
    SetLayeredWindowAttributes(hwnd_, 0, static_cast<BYTE>(opacityAlpha(opacityPct)), LWA_ALPHA);
}

void MainWindow::applyClickThrough() {
    const LONG_PTR style = GetWindowLongPtrW(hwnd_, GWL_EXSTYLE);
    const LONG_PTR wanted = settings_.clickThrough ? (style | WS_EX_TRANSPARENT)
                                                   : (style & ~LONG_PTR{WS_EX_TRANSPARENT});
    if (wanted != style) {
        SetWindowLongPtrW(hwnd_, GWL_EXSTYLE, wanted);
    }
}

void MainWindow::setZoom(int zoomPct) {
    const int z = clampZoom(zoomPct);
    if (z == settings_.zoomPct) {
        return;
    }
    Settings next = settings_;
    next.zoomPct = z;
    applySettings(next);
}

void MainWindow::toggleMiniMode() {
    applySettings(toggledLook(settings_));
}

void MainWindow::showFromTray() {
    ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
    applyZOrder();
    if (!settings_.alwaysOnTop) {
        // HWND_NOTOPMOST leaves a covered window where it is; a show request should bring it
        // into view, yet not take the focus from the user's work.
        SetWindowPos(hwnd_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    board_ = engine_.snapshot();
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void MainWindow::hideToTray() {
    savePosition();
    ShowWindow(hwnd_, SW_HIDE);
}

void MainWindow::savePosition() {
    // A hidden window's position is not saved again.
    if (!IsWindowVisible(hwnd_)) {
        return;
    }
    RECT r{};
    GetWindowRect(hwnd_, &r);
    settings_.posX = r.left;
    settings_.posY = r.top;
    saveSettings(settings_);
}

void MainWindow::openSettings() {
    if (settingsDialogOpen || ModalDialogScope::active()) {
        return;
    }
    settingsDialogOpen = true;
    const ModalDialogScope modal;
    if (!IsWindowVisible(hwnd_)) {
        showFromTray();
    }
    Settings copy = settings_;
    const HWND hwnd = hwnd_;
    // The preview changes only the live alpha, never the settings.
    const bool accepted = showSettingsDialog(instance_, hwnd_, copy, [hwnd](int opacityPct) {
        SetLayeredWindowAttributes(hwnd, 0, static_cast<BYTE>(opacityAlpha(opacityPct)), LWA_ALPHA);
    });
    if (accepted) {
        applySettings(copy);
    }
    settingsDialogOpen = false;
}

}  // namespace vindral
