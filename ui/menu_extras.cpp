#include "ui/menu_extras.h"

#include <algorithm>

namespace vindral {
namespace {

void disableSettingCommands(std::vector<MenuItem>& items) {
    for (MenuItem& item : items) {
        if (item.isSeparator()) {
            continue;
        }
        if (!item.children.empty()) {
            // Every submenu holds setting commands only.
            item.enabled = false;
        } else if (!commandAllowedWhileModal(item.id)) {
            item.enabled = false;
        }
    }
}

}  // namespace

bool showsServerHint(const Settings& settings, bool serverAnsweredOnce) {
    return !settings.serverUrl.empty() && !serverAnsweredOnce;
}

void addMenuExtras(std::vector<MenuItem>& menu, const Settings& settings,
                   const MenuExtras& extras) {
    const auto afterLooks = std::find_if(menu.begin(), menu.end(), [](const MenuItem& item) {
        return item.id == kCmdKimchiPremium;
    });
    if (afterLooks != menu.end()) {
        menu.insert(
            afterLooks + 1,
            {MenuItem{kCmdStartWithWindows, L"Windows 시작 시 실행", extras.startsWithWindows, {}},
             MenuItem{kCmdClickThrough, L"클릭 통과", settings.clickThrough, {}}});
    }
    if (extras.serverHint) {
        menu.insert(
            menu.begin(),
            {MenuItem{kCmdUseDirectRoad, L"거래소 직접 조회로 전환", false, {}}, MenuItem{}});
    }
    if (extras.modalDialogOpen) {
        disableSettingCommands(menu);
    }
}

bool commandAllowedWhileModal(int commandId) {
    return commandId == kCmdRefresh || commandId == kCmdShow || commandId == kCmdExit;
}

std::optional<Settings> settingsForExtraCommand(const Settings& settings, int commandId) {
    Settings next = settings;
    switch (commandId) {
        case kCmdClickThrough:
            next.clickThrough = !next.clickThrough;
            return next;
        case kCmdUseDirectRoad:
            next.serverUrl.clear();
            return next;
        default:
            return std::nullopt;
    }
}

std::wstring trayTipWithNotes(const std::wstring& prices, bool clickThrough, bool serverHint) {
    // The notes come first, so that the shell's length limit cuts prices rather than them.
    std::wstring tip;
    if (clickThrough) {
        tip += kClickThroughTipLine;
        tip += L'\n';
    }
    if (serverHint) {
        tip += kServerHintText;
        tip += L'\n';
    }
    return tip + prices;
}

}  // namespace vindral
