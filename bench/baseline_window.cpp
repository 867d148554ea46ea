// vindral_baseline_window.exe: the least a ticker window of this kind can cost, as the yardstick
// of bench/footprint.sh. A borderless layered tool window of the ticker's size with a tray icon
// and a one-second timer that repaints it (double-buffered, a line of text with the time), and
// nothing else: no network, no engine threads. It runs until it is closed.
// With "--korean-text" it also draws a line of Korean and digits in each of six Segoe UI sizes and
// weights, as the ticker's table does: under Wine each size of a face that falls back to a CJK
// font loads that font anew, so this variant tells the memory of the text apart from the rest.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>

#include "ui/gdi.h"

namespace {

constexpr wchar_t kClassName[] = L"VindralBaselineWindow";
constexpr UINT_PTR kTimerTick = 1;
constexpr UINT kTickMs = 1000;
constexpr UINT kTrayIconId = 1;
constexpr UINT kMsgTrayCallback = WM_APP + 2;
// About the ticker's table view at 96 DPI.
constexpr int kWidth = 420;
constexpr int kHeight = 160;
constexpr BYTE kAlpha = 242;
constexpr vindral::Rgb kBackground{24, 26, 32};
constexpr vindral::Rgb kText{230, 232, 238};

struct TextStyle {
    int height;
    int weight;
};
// The pixel heights and weights of the ticker's six text fonts at 96 DPI.
constexpr TextStyle kTextStyles[] = {{12, 700}, {12, 400}, {15, 600},
                                     {14, 600}, {11, 400}, {13, 700}};
constexpr wchar_t kKoreanLine[] =
    L"BTC \uD3C9\uADE0 \uC5C5\uBE44\uD2B8 \u00B7 \uAE40\uD504 3\uCD08 \uC804 "
    L"137,569,000";

bool koreanText = false;

void paint(HWND hwnd, HDC hdc) {
    RECT client{};
    GetClientRect(hwnd, &client);
    const vindral::MemoryDc memory(hdc);
    const vindral::GdiHandle<HBITMAP> bitmap(
        CreateCompatibleBitmap(hdc, client.right, client.bottom));
    if (memory.get() == nullptr || !bitmap) {
        return;
    }
    const vindral::SelectScope selected(memory.get(), bitmap.get());
    vindral::fillRect(memory.get(), client, kBackground);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"%02u:%02u:%02u", now.wHour, now.wMinute,
                  now.wSecond);
    SetBkMode(memory.get(), TRANSPARENT);
    vindral::drawText(memory.get(), text, client,
                      static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT)), kText,
                      DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    if (koreanText) {
        int top = 0;
        for (const TextStyle& style : kTextStyles) {
            const vindral::GdiHandle<HFONT> font(
                CreateFontW(-style.height, 0, 0, 0, style.weight, FALSE, FALSE, FALSE,
                            DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                            CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI"));
            const RECT line{0, top, client.right, top + style.height + 4};
            vindral::drawText(memory.get(), kKoreanLine, line, font.get(), kText, DT_SINGLELINE);
            top = line.bottom;
        }
    }
    BitBlt(hdc, 0, 0, client.right, client.bottom, memory.get(), 0, 0, SRCCOPY);
}

NOTIFYICONDATAW trayIcon(HWND hwnd) {
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = hwnd;
    nid.uID = kTrayIconId;
    return nid;
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CREATE: {
            NOTIFYICONDATAW nid = trayIcon(hwnd);
            nid.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
            nid.uCallbackMessage = kMsgTrayCallback;
            nid.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
            lstrcpynW(nid.szTip, L"baseline", ARRAYSIZE(nid.szTip));
            Shell_NotifyIconW(NIM_ADD, &nid);
            SetTimer(hwnd, kTimerTick, kTickMs, nullptr);
            return 0;
        }
        case WM_TIMER:
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT ps{};
            const HDC hdc = BeginPaint(hwnd, &ps);
            paint(hwnd, hdc);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_DESTROY: {
            KillTimer(hwnd, kTimerTick);
            NOTIFYICONDATAW nid = trayIcon(hwnd);
            Shell_NotifyIconW(NIM_DELETE, &nid);
            PostQuitMessage(0);
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    koreanText = commandLine != nullptr && lstrcmpW(commandLine, L"--korean-text") == 0;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &windowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;
    if (RegisterClassExW(&wc) == 0) {
        return 1;
    }
    const HWND hwnd =
        CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kClassName, L"baseline",
                        WS_POPUP, 40, 40, kWidth, kHeight, nullptr, nullptr, instance, nullptr);
    if (hwnd == nullptr) {
        return 1;
    }
    SetLayeredWindowAttributes(hwnd, 0, kAlpha, LWA_ALPHA);
    ShowWindow(hwnd, SW_SHOWNOACTIVATE);
    UpdateWindow(hwnd);

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
