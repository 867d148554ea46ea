#include "ui/hover_tip.h"

namespace vindral {

HoverTip::~HoverTip() {
    // The owner's destruction normally took the tip with it already.
    if (tip_ != nullptr && IsWindow(tip_)) {
        DestroyWindow(tip_);
    }
}

TOOLINFOW HoverTip::toolInfo() {
    TOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_TRACK | TTF_ABSOLUTE;
    ti.hwnd = owner_;
    ti.uId = 0;
    ti.lpszText = text_.data();
    return ti;
}

void HoverTip::create(HWND owner, HINSTANCE instance, int maxWidthPx) {
    owner_ = owner;
    tip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner,
                           nullptr, instance, nullptr);
    if (tip_ == nullptr) {
        return;
    }
    TOOLINFOW ti = toolInfo();
    SendMessageW(tip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    // A width makes the tip wrap long messages and honour line breaks.
    SendMessageW(tip_, TTM_SETMAXTIPWIDTH, 0, maxWidthPx);
}

bool HoverTip::hover(const std::optional<HoverCell>& cell) {
    if (cell == hovered_) {
        return false;
    }
    hovered_ = cell;
    hide();
    return true;
}

void HoverTip::show(const std::wstring& text, POINT screen) {
    if (tip_ == nullptr) {
        return;
    }
    if (text.empty()) {
        hide();
        return;
    }
    text_ = text;
    TOOLINFOW ti = toolInfo();
    SendMessageW(tip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
    SendMessageW(tip_, TTM_TRACKPOSITION, 0, MAKELPARAM(screen.x, screen.y));
    if (!shown_) {
        SendMessageW(tip_, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&ti));
        shown_ = true;
    }
}

void HoverTip::hide() {
    if (tip_ == nullptr || !shown_) {
        return;
    }
    TOOLINFOW ti = toolInfo();
    SendMessageW(tip_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&ti));
    shown_ = false;
}

}  // namespace vindral
