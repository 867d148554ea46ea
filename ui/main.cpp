// Entry point of vindral.exe: one instance per user session, one window, one message loop.
#include <windows.h>

#include <commctrl.h>

#include "core/kernel_handle_win.h"
#include "ui/main_window.h"

namespace {

// ICC_STANDARD_CLASSES and every class of the low byte (trackbar and tooltips among them).
constexpr DWORD kCommonControlClasses = 0x40FF;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const vindral::KernelHandle mutex(
        CreateMutexW(nullptr, TRUE, vindral::kSingleInstanceMutexName));
    if (mutex.get() != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        // The first instance shows its window (even from the tray); this one leaves quietly.
        if (const HWND other = FindWindowW(vindral::kWindowClassName, nullptr)) {
            PostMessageW(other, vindral::kMsgShowWindow, 0, 0);
        }
        return 0;
    }

    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = kCommonControlClasses;
    InitCommonControlsEx(&icc);

    vindral::MainWindow window;
    if (!window.create(instance)) {
        MessageBoxW(nullptr, L"창을 만들 수 없습니다.", vindral::kAppTitle, MB_ICONERROR);
        return 1;
    }

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    window.teardown();
    return 0;
}
