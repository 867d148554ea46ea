// What the window shows of the price alerts, as pure functions: the menu item that opens the
// alert dialog, the tray tooltip's line, the bell's blinking and the dialog's choices.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/alerts.h"
#include "ui/layout.h"
#include "ui/view_model.h"

namespace vindral {

inline constexpr int kCmdAlerts = 120;

inline constexpr wchar_t kAlertTitle[] = L"Vindral 가격 알림";

// The menu with "가격 알림…" placed right after the settings item.
std::vector<MenuItem> withAlertsItem(std::vector<MenuItem> menu);

// "\n알림 2개 대기" below the prices; nothing without alerts.
std::wstring alertsTipLine(const AlertBook& book);

// The bell of a fired alert blinks once a second, with the window's one-second repaint.
bool bellLit(std::int64_t nowMs);
// Behind a strip segment whose alert fired, while the bell is lit: the background a fifth of the
// way to the accent colour.
Rgb alertTint();

// The condition choices of the dialog, in list order (the order of AlertKind).
inline constexpr std::array<const wchar_t*, 3> kAlertKindChoices{
    L"가격 이상 (돌파)", L"가격 이하 (이탈)", L"변동률 (기간 내)"};

}  // namespace vindral
