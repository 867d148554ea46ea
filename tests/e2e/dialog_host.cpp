// Shows the settings dialog alone, so that its end-to-end test does not depend on the main
// window: dialog_host INI. It loads the settings from INI, opens a layered window of class
// "VindralDialogHost" at the loaded opacity as the owner that the preview acts on, runs the
// dialog and, on OK, writes the result back to INI. Exit code: 1 after OK, 2 after Cancel.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <string>

#include "settings/settings.h"
#include "settings/settings_dialog.h"

namespace {

constexpr wchar_t kHostClass[] = L"VindralDialogHost";
constexpr int kHostSizePx = 200;
constexpr int kExitConfirmed = 1;
constexpr int kExitCancelled = 2;
constexpr int kExitFailed = 3;

void setOpacity(HWND hwnd, int pct) {
    const int clamped = pct < 30 ? 30 : (pct > 100 ? 100 : pct);
    SetLayeredWindowAttributes(hwnd, 0, static_cast<BYTE>(clamped * 255 / 100), LWA_ALPHA);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &argc);
    if (argv == nullptr) {
        return kExitFailed;
    }
    const std::wstring iniPath = argc > 0 ? argv[argc - 1] : L"";
    LocalFree(argv);

    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    wc.lpszClassName = kHostClass;
    if (RegisterClassExW(&wc) == 0) {
        return kExitFailed;
    }
    HWND host = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW, kHostClass, L"host", WS_POPUP, 0,
                                0, kHostSizePx, kHostSizePx, nullptr, nullptr, instance, nullptr);
    if (host == nullptr) {
        return kExitFailed;
    }
    vindral::Settings settings = vindral::loadSettings(iniPath);
    setOpacity(host, settings.opacityPct);
    ShowWindow(host, SW_SHOWNOACTIVATE);

    const bool confirmed = vindral::showSettingsDialog(instance, host, settings,
                                                       [host](int pct) { setOpacity(host, pct); });
    if (confirmed) {
        vindral::saveSettings(settings, iniPath);
    }
    DestroyWindow(host);
    return confirmed ? kExitConfirmed : kExitCancelled;
}
