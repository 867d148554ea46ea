// The window's side of the price alerts: loading and saving them with the settings, running
// them on every board, the tray notification, the bell on a coin whose alert fired, and the
// alert dialog.
#include "core/kernel_handle_win.h"
#include "ui/main_window.h"
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <string>

#include "core/format.h"
#include "ui/alerts_dialog.h"
#include "ui/alerts_view.h"
#include "ui/modal_dialog.h"

namespace vindral {

namespace {

// The shell's balloon holds 256 characters of text, terminator included.
constexpr std::size_t kBalloonTextChars = 256;
constexpr std::size_t kBalloonTitleChars = 64;

// The file named by the test variable; empty in normal use.
std::wstring testNotifyLogPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(kTestNotifyLogVariable, path, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(path, length);
}

// Another process cannot read a tray balloon, so a test reads what it said here.
void appendTestNotifyLog(const std::vector<std::wstring>& texts) {
    const std::wstring path = testNotifyLogPath();
    if (path.empty()) {
        return;
    }
    const KernelHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return;
    }
    std::string lines;
    for (const std::wstring& text : texts) {
        lines += toUtf8(kAlertTitle) + '\t' + toUtf8(text) + '\n';
    }
    DWORD written = 0;
    WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
}

template <std::size_t N>
void copyText(wchar_t (&target)[N], const std::wstring& text) {
    const std::size_t n = std::min(text.size(), N - 1);
    std::wmemcpy(target, text.data(), n);
    target[n] = L'\0';
}

// A small bell: a dome on a rim, and the clapper below.
void drawBell(HDC dc, const RECT& box, Rgb color) {
    const int w = box.right - box.left;
    const int h = box.bottom - box.top;
    const SelectScope pen(dc, GetStockObject(NULL_PEN));
    const SelectScope brush(dc, GetStockObject(DC_BRUSH));
    SetDCBrushColor(dc, toColorRef(color));
    const POINT dome[] = {
        {box.left + w / 2, box.top},
        {box.left + w * 3 / 4, box.top + h / 5},
        {box.left + w * 4 / 5, box.top + h * 3 / 5},
        {box.left + w, box.top + h * 4 / 5},
        {box.left, box.top + h * 4 / 5},
        {box.left + w / 5, box.top + h * 3 / 5},
        {box.left + w / 4, box.top + h / 5},
    };
    Polygon(dc, dome, static_cast<int>(std::size(dome)));
    const int r = std::max(1, w / 6);
    Ellipse(dc, box.left + w / 2 - r, box.bottom - 2 * r, box.left + w / 2 + r + 1, box.bottom + 1);
}

}  // namespace

void MainWindow::loadAlerts() {
    const AlertSettings stored = loadAlertSettings(settingsIniPath());
    alertBook_.alerts = stored.alerts;
    alertSound_ = stored.sound;
}

void MainWindow::saveAlerts() const {
    saveAlertSettings(AlertSettings{alertBook_.alerts, alertSound_}, settingsIniPath());
}

void MainWindow::checkAlerts(std::int64_t now) {
    const std::vector<AlertFiring> fired =
        evaluateAlerts(alertBook_, board_, selectedExchanges_, now);
    if (fired.empty()) {
        return;
    }
    std::vector<std::wstring> texts;
    for (const AlertFiring& firing : fired) {
        texts.push_back(alertNotificationText(firing, selectedExchanges_));
        if (firing.alert.coin < kCoinCount) {
            alertMarks_[firing.alert.coin] = true;
        }
    }
    notifyAlerts(texts);
    // The time of the firing is kept, and a one-shot alert is gone.
    saveAlerts();
}

void MainWindow::notifyAlerts(const std::vector<std::wstring>& texts) {
    std::wstring joined;
    for (const std::wstring& text : texts) {
        joined += (joined.empty() ? L"" : L"\n") + text;
    }
    if (trayIconAdded_) {
        NOTIFYICONDATAW nid{};
        nid.cbSize = sizeof nid;
        nid.hWnd = hwnd_;
        nid.uID = kTrayIconId;
        nid.uFlags = NIF_INFO;
        // The beep is ours to give or not, per the setting.
        nid.dwInfoFlags = NIIF_INFO | NIIF_NOSOUND;
        copyText<kBalloonTitleChars>(nid.szInfoTitle, kAlertTitle);
        copyText<kBalloonTextChars>(nid.szInfo, joined);
        Shell_NotifyIconW(NIM_MODIFY, &nid);
    }
    if (alertSound_) {
        MessageBeep(MB_ICONASTERISK);
    }
    appendTestNotifyLog(texts);
}

void MainWindow::clearAlertMarks() {
    if (std::any_of(alertMarks_.begin(), alertMarks_.end(), [](bool m) { return m; })) {
        alertMarks_.fill(false);
        InvalidateRect(hwnd_, nullptr, FALSE);
    }
}

void MainWindow::paintAlertMark(HDC dc, const RECT& label, std::uint32_t coin, std::int64_t now) {
    if (coin >= kCoinCount || !alertMarks_[coin]) {
        return;
    }
    const int size = s(9);
    const int top = (label.top + label.bottom) / 2 - size / 2;
    const RECT box{label.right - size, top, label.right, top + size};
    drawBell(dc, box, bellLit(now) ? palette::kAccent : palette::kDimText);
}

LRESULT MainWindow::answerAlertTest(UINT msg, WPARAM wParam) const {
    if (testNotifyLogPath().empty()) {
        return 0;
    }
    if (msg == kMsgTestArmedAlerts) {
        return armedAlertCount(alertBook_);
    }
    const auto quote =
        alertQuote(board_, static_cast<std::uint32_t>(wParam), selectedExchanges_, wallClockMs());
    return quote ? static_cast<LRESULT>(std::llround(quote->price * 100)) : -1;
}

void MainWindow::paintAlertSegment(HDC dc, const RECT& segment, std::uint32_t coin,
                                   std::int64_t now) {
    // The strip has no room beside its initials: the segment blinks, with a small bell on top.
    if (coin >= kCoinCount || !alertMarks_[coin] || !bellLit(now)) {
        return;
    }
    fillRect(dc, segment, alertTint());
    const int size = s(7);
    const RECT box{segment.right - size - s(2), segment.top + s(1), segment.right - s(2),
                   segment.top + s(1) + size};
    drawBell(dc, box, palette::kAccent);
}

void MainWindow::openAlerts() {
    if (ModalDialogScope::active()) {
        return;
    }
    const ModalDialogScope modal;
    if (!IsWindowVisible(hwnd_)) {
        showFromTray();
    }
    const std::vector<Alert> shown = alertBook_.alerts;
    AlertSettings edited{shown, alertSound_};
    if (!showAlertsDialog(instance_, hwnd_, edited)) {
        return;
    }
    replaceAlertsFromDialog(alertBook_, shown, std::move(edited.alerts));
    alertSound_ = edited.sound;
    saveAlerts();
    updateTrayTip();
}

}  // namespace vindral
