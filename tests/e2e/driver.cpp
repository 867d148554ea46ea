// A small Win32 helper for the end-to-end tests: it runs in the same Wine session as the program
// under test, finds its windows and reads or drives what xdotool cannot reach reliably (state
// behind the API, text of controls, keys into modal boxes).
//
//   driver COMMAND TARGET [ARGS...]
//
// TARGET names a top-level window: main (the ticker), dialog (the settings dialog), msgbox (a
// warning box of the program), menu (an open popup menu), host (the dialog test host), alerts
// (the price alert dialog), balloon (a visible tooltip, such as a tray notification), tip (a
// shown tooltip).
// Results go to stdout as UTF-8, one line; the exit code is 0 on success, 1 when the window or
// the condition was not found in time, 2 for a bad command line. "driver serve" reads such
// commands from stdin instead, one per line with tab-separated arguments, and answers each with
// one line: the code, a tab and the result. "driver cover X Y W H" shows a plain window there
// (target cover), takes the focus, and stays until it is closed: the user's other work.
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNotFound = 1;
constexpr int kExitUsage = 2;

constexpr UINT kMessageTimeoutMs = 2000;
constexpr auto kPollStep = std::chrono::milliseconds(20);

struct Target {
    const wchar_t* name;
    const wchar_t* windowClass;
    const wchar_t* title;  // nullptr: any title
    bool mustBeVisible;
};

const Target kTargets[] = {
    {L"main", L"VindralMiniTicker", nullptr, false},
    {L"dialog", L"#32770", L"Vindral 설정", true},
    {L"msgbox", L"#32770", L"Vindral", true},
    {L"menu", L"#32768", nullptr, true},
    {L"host", L"VindralDialogHost", nullptr, false},
    {L"cover", L"VindralE2eCover", nullptr, false},
    {L"alerts", L"#32770", L"가격 알림", true},
    {L"balloon", L"tooltips_class32", nullptr, true},
    {L"tip", TOOLTIPS_CLASSW, nullptr, true},
};

std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

void printLine(const std::wstring& text) {
    const std::string bytes = utf8(text) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

const Target* findTarget(const std::wstring& name) {
    for (const Target& t : kTargets) {
        if (name == t.name) {
            return &t;
        }
    }
    return nullptr;
}

// Dialogs, boxes and menus count once they show: a dialog exists before its WM_INITDIALOG has
// filled it, and popup menus stay registered while hidden.
HWND findWindow(const Target& target) {
    HWND hwnd = nullptr;
    while ((hwnd = FindWindowExW(nullptr, hwnd, target.windowClass, target.title)) != nullptr) {
        if (!target.mustBeVisible || IsWindowVisible(hwnd)) {
            return hwnd;
        }
    }
    return nullptr;
}

template <typename Predicate>
bool waitUntil(int timeoutMs, Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

std::optional<LRESULT> sendWithTimeout(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                            &result) == 0) {
        return std::nullopt;
    }
    return static_cast<LRESULT>(result);
}

std::wstring windowText(HWND hwnd) {
    const auto length = sendWithTimeout(hwnd, WM_GETTEXTLENGTH, 0, 0);
    if (!length || *length <= 0) {
        return {};
    }
    std::wstring text(static_cast<size_t>(*length) + 1, L'\0');
    const auto copied =
        sendWithTimeout(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied ? static_cast<size_t>(*copied) : 0);
    return text;
}

std::wstring rectText(const RECT& r) {
    return std::to_wstring(r.left) + L" " + std::to_wstring(r.top) + L" " +
           std::to_wstring(r.right - r.left) + L" " + std::to_wstring(r.bottom - r.top);
}

// The child with this control id; id 0 is the window itself.
HWND item(HWND hwnd, int id) {
    return id == 0 ? hwnd : GetDlgItem(hwnd, id);
}

// The message text of a message box: its longest static text (the icon is a static too).
std::wstring messageBoxText(HWND box) {
    std::vector<HWND> statics;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM list) -> BOOL {
            wchar_t cls[32] = {};
            GetClassNameW(child, cls, 32);
            if (_wcsicmp(cls, L"Static") == 0) {
                reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&statics));
    std::wstring best;
    for (HWND s : statics) {
        std::wstring text = windowText(s);
        if (text.size() > best.size()) {
            best = std::move(text);
        }
    }
    return best;
}

int usage() {
    std::fputs(
        "usage: driver wait|gone TARGET MS | rect|alpha|visible|topmost TARGET |\n"
        "       key TARGET VK | wheel TARGET DELTA | command TARGET ID | click TARGET ID |\n"
        "       focus|msgtext TARGET | text|checked|itemrect|count TARGET ID |\n"
        "       settext TARGET ID TEXT | select TARGET ID INDEX |\n"
        "       post|send TARGET MSG WPARAM LPARAM | serve |\n"
        "       exstyle|foreground TARGET | above TARGET OTHER | cover X Y W H\n",
        stderr);
    return kExitUsage;
}

int toInt(const wchar_t* text) {
    return static_cast<int>(std::wcstol(text, nullptr, 0));
}

int run(const std::vector<std::wstring>& args, std::wstring& out) {
    if (args.size() < 2) {
        return usage();
    }
    const std::wstring& command = args[0];
    const Target* target = findTarget(args[1]);
    if (target == nullptr) {
        return usage();
    }
    const auto arg = [&](size_t i) { return i < args.size() ? toInt(args[i].c_str()) : 0; };

    if (command == L"wait") {
        HWND found = nullptr;
        if (!waitUntil(arg(2), [&] { return (found = findWindow(*target)) != nullptr; })) {
            return kExitNotFound;
        }
        wchar_t hex[32];
        std::swprintf(hex, 32, L"%llx",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(found)));
        out.assign(hex);
        return kExitOk;
    }
    if (command == L"gone") {
        return waitUntil(arg(2), [&] { return findWindow(*target) == nullptr; }) ? kExitOk
                                                                                 : kExitNotFound;
    }

    const HWND hwnd = findWindow(*target);
    if (hwnd == nullptr) {
        return kExitNotFound;
    }
    if (command == L"rect") {
        RECT r{};
        GetWindowRect(hwnd, &r);
        out.assign(rectText(r));
    } else if (command == L"alpha") {
        COLORREF key = 0;
        BYTE alpha = 0;
        DWORD flags = 0;
        if (!GetLayeredWindowAttributes(hwnd, &key, &alpha, &flags) || !(flags & LWA_ALPHA)) {
            out.assign(L"none");
        } else {
            out.assign(std::to_wstring(alpha));
        }
    } else if (command == L"visible") {
        out.assign(IsWindowVisible(hwnd) ? L"1" : L"0");
    } else if (command == L"exstyle") {
        wchar_t hex[32];
        std::swprintf(hex, 32, L"%llx",
                      static_cast<unsigned long long>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE)));
        out.assign(hex);
    } else if (command == L"foreground") {
        out.assign(GetForegroundWindow() == hwnd ? L"1" : L"0");
    } else if (command == L"above") {
        // "1" when TARGET comes before OTHER in the z-order, walking down from the top.
        const Target* otherTarget = args.size() > 2 ? findTarget(args[2]) : nullptr;
        const HWND other = otherTarget != nullptr ? findWindow(*otherTarget) : nullptr;
        if (other == nullptr) {
            return kExitNotFound;
        }
        HWND w = GetTopWindow(nullptr);
        while (w != nullptr && w != hwnd && w != other) {
            w = GetWindow(w, GW_HWNDNEXT);
        }
        out.assign(w == hwnd ? L"1" : L"0");
    } else if (command == L"topmost") {
        out.assign((GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) ? L"1" : L"0");
    } else if (command == L"key") {
        const auto vk = static_cast<WPARAM>(arg(2));
        const UINT scan = MapVirtualKeyW(static_cast<UINT>(vk), MAPVK_VK_TO_VSC);
        PostMessageW(hwnd, WM_KEYDOWN, vk, static_cast<LPARAM>(1 | (scan << 16)));
        PostMessageW(hwnd, WM_KEYUP, vk, static_cast<LPARAM>(1 | (scan << 16) | (3u << 30)));
    } else if (command == L"wheel") {
        RECT r{};
        GetWindowRect(hwnd, &r);
        const WPARAM wParam = MAKEWPARAM(MK_CONTROL, static_cast<WORD>(arg(2)));
        PostMessageW(hwnd, WM_MOUSEWHEEL, wParam,
                     MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2));
    } else if (command == L"command") {
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(arg(2), 0), 0);
    } else if (command == L"click") {
        // Posted, so that a message box opened by the click does not block the driver.
        PostMessageW(item(hwnd, arg(2)), BM_CLICK, 0, 0);
    } else if (command == L"text") {
        out.assign(windowText(item(hwnd, arg(2))));
    } else if (command == L"settext") {
        const std::wstring text = args.size() > 3 ? args[3] : std::wstring();
        sendWithTimeout(item(hwnd, arg(2)), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    } else if (command == L"checked") {
        const auto state = sendWithTimeout(item(hwnd, arg(2)), BM_GETCHECK, 0, 0);
        out.assign(state && *state == BST_CHECKED ? L"1" : L"0");
    } else if (command == L"itemrect") {
        RECT r{};
        GetWindowRect(item(hwnd, arg(2)), &r);
        out.assign(rectText(r));
    } else if (command == L"focus") {
        // The control id of the focused control; the edit inside a combo box counts as the combo.
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        const DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
        if (!GetGUIThreadInfo(thread, &info) || info.hwndFocus == nullptr) {
            return kExitNotFound;
        }
        HWND focus = info.hwndFocus;
        if (GetParent(focus) != hwnd && GetParent(focus) != nullptr) {
            focus = GetParent(focus);
        }
        out.assign(std::to_wstring(GetDlgCtrlID(focus)));
    } else if (command == L"msgtext") {
        out.assign(messageBoxText(hwnd));
    } else if (command == L"count") {
        const auto count = sendWithTimeout(item(hwnd, arg(2)), LB_GETCOUNT, 0, 0);
        if (!count) {
            return kExitNotFound;
        }
        out.assign(std::to_wstring(static_cast<long long>(*count)));
    } else if (command == L"select") {
        // A combo box choice as the user makes it: the selection, then its notification.
        const int id = arg(2);
        sendWithTimeout(item(hwnd, id), CB_SETCURSEL, static_cast<WPARAM>(arg(3)), 0);
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(item(hwnd, id)));
    } else if (command == L"send") {
        const auto result =
            sendWithTimeout(hwnd, static_cast<UINT>(arg(2)), static_cast<WPARAM>(arg(3)),
                            static_cast<LPARAM>(arg(4)));
        if (!result) {
            return kExitNotFound;
        }
        out.assign(std::to_wstring(static_cast<long long>(*result)));
    } else if (command == L"post") {
        PostMessageW(hwnd, static_cast<UINT>(arg(2)), static_cast<WPARAM>(arg(3)),
                     static_cast<LPARAM>(arg(4)));
    } else {
        return usage();
    }
    return kExitOk;
}

std::wstring fromUtf8(const std::string& bytes) {
    if (bytes.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
    return out;
}

// One line per answer: the exit code, a tab and the output with backslashes and line breaks
// escaped.
std::wstring servedAnswer(int code, const std::wstring& output) {
    std::wstring line = std::to_wstring(code) + L"\t";
    for (wchar_t c : output) {
        if (c == L'\\') {
            line += L"\\\\";
        } else if (c == L'\n') {
            line += L"\\n";
        } else {
            line += c;
        }
    }
    return line;
}

// Commands from stdin, one per line, arguments separated by tabs; one answer line each. Saves
// starting a Wine process per command.
int serve() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        size_t end = 0;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::vector<std::wstring> args;
            size_t start = 0;
            while (true) {
                const size_t tab = line.find('\t', start);
                args.push_back(fromUtf8(line.substr(start, tab - start)));
                if (tab == std::string::npos) {
                    break;
                }
                start = tab + 1;
            }
            std::wstring output;
            const int code = run(args, output);
            printLine(servedAnswer(code, output));
        }
    }
    return kExitOk;
}

LRESULT CALLBACK coverProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int cover(const std::vector<std::wstring>& args) {
    if (args.size() != 5) {
        return usage();
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = coverProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = L"VindralE2eCover";
    if (RegisterClassExW(&wc) == 0) {
        return kExitNotFound;
    }
    const HWND hwnd =
        CreateWindowExW(0, wc.lpszClassName, L"cover", WS_POPUP | WS_VISIBLE,
                        toInt(args[1].c_str()), toInt(args[2].c_str()), toInt(args[3].c_str()),
                        toInt(args[4].c_str()), nullptr, nullptr, wc.hInstance, nullptr);
    if (hwnd == nullptr) {
        return kExitNotFound;
    }
    SetForegroundWindow(hwnd);
    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageW(&msg);
    }
    return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    if (args.size() == 1 && args[0] == L"serve") {
        return serve();
    }
    if (!args.empty() && args[0] == L"cover") {
        return cover(args);
    }
    std::wstring output;
    const int code = run(args, output);
    if (code == kExitOk && !output.empty()) {
        printLine(output);
    }
    return code;
}
