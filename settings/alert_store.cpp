#include "settings/alert_store.h"

#include <utility>

#include "settings/settings.h"

namespace vindral {
namespace {

constexpr wchar_t kKeyAlertSound[] = L"AlertSound";

std::wstring alertKey(std::size_t index) {
    return L"Alert" + std::to_wstring(index + 1);
}

}  // namespace

AlertSettings loadAlertSettings(const std::wstring& iniPath) {
    AlertSettings settings;
    for (std::size_t i = 0; i < kMaxAlerts; ++i) {
        const std::wstring key = alertKey(i);
        if (auto alert = parseAlert(ini::readText(iniPath, key.c_str(), L""))) {
            settings.alerts.push_back(*alert);
        }
    }
    settings.sound = ini::readInt(iniPath, kKeyAlertSound, 0) != 0;
    return settings;
}

void saveAlertSettings(const AlertSettings& settings, const std::wstring& iniPath) {
    std::vector<std::wstring> keys;
    std::vector<std::pair<const wchar_t*, std::wstring>> entries;
    keys.reserve(kMaxAlerts);
    for (std::size_t i = 0; i < kMaxAlerts; ++i) {
        keys.push_back(alertKey(i));
    }
    for (std::size_t i = 0; i < kMaxAlerts; ++i) {
        entries.emplace_back(keys[i].c_str(),
                             i < settings.alerts.size() ? formatAlert(settings.alerts[i]) : L"");
    }
    entries.emplace_back(kKeyAlertSound, settings.sound ? L"1" : L"0");
    ini::writeTexts(iniPath, entries);
}

}  // namespace vindral
