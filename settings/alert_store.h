// The alerts and their sound switch in the settings file: keys "Alert1" to "Alert20" (one alert
// each, in list order; unused ones empty) and "AlertSound", in the same section as the other
// settings, which older versions simply ignore.
#pragma once

#include <string>
#include <vector>

#include "core/alerts.h"

namespace vindral {

struct AlertSettings {
    std::vector<Alert> alerts;
    bool sound = false;  // a system beep with each notification
};

// A malformed line is skipped, and so disappears at the next save.
AlertSettings loadAlertSettings(const std::wstring& iniPath);
void saveAlertSettings(const AlertSettings& settings, const std::wstring& iniPath);

}  // namespace vindral
