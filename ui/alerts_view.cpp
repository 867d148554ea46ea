#include "ui/alerts_view.h"

#include <algorithm>

namespace vindral {

std::vector<MenuItem> withAlertsItem(std::vector<MenuItem> menu) {
    const auto settings = std::find_if(
        menu.begin(), menu.end(), [](const MenuItem& item) { return item.id == kCmdSettings; });
    const auto at = settings == menu.end() ? menu.begin() : settings + 1;
    menu.insert(at, MenuItem{kCmdAlerts, L"가격 알림…", false, {}});
    return menu;
}

std::wstring alertsTipLine(const AlertBook& book) {
    if (book.alerts.empty()) {
        return {};
    }
    return L"\n알림 " + std::to_wstring(armedAlertCount(book)) + L"개 대기";
}

bool bellLit(std::int64_t nowMs) {
    return (nowMs / 1000) % 2 == 0;
}

Rgb alertTint() {
    const Rgb bg = palette::kBackground;
    const Rgb accent = palette::kAccent;
    const auto mix = [](std::uint8_t from, std::uint8_t to) {
        return static_cast<std::uint8_t>(from + (to - from) / 5);
    };
    return Rgb{mix(bg.r, accent.r), mix(bg.g, accent.g), mix(bg.b, accent.b)};
}

}  // namespace vindral
