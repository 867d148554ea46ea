// The window's later additions to the context menu and what they decide: start with Windows,
// click-through, the switch to the direct road while no price server has answered, and which
// commands a running modal dialog leaves usable. Pure rules; the window turns them into calls.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "ui/view_model.h"

namespace vindral {

inline constexpr int kCmdStartWithWindows = 121;
inline constexpr int kCmdClickThrough = 122;
inline constexpr int kCmdUseDirectRoad = 123;

inline constexpr wchar_t kServerHintText[] =
    L"서버를 찾지 못했습니다 · 우클릭 메뉴 → 거래소 직접 조회";
inline constexpr wchar_t kClickThroughTipLine[] = L"클릭 통과 켜짐";

struct MenuExtras {
    bool serverHint = false;         // the server road is in use and no server has answered yet
    bool startsWithWindows = false;  // the Startup folder holds a shortcut to this program
    bool modalDialogOpen = false;
};

// True while the server road is in use and no price server has answered since the start.
bool showsServerHint(const Settings& settings, bool serverAnsweredOnce);

// Adds the extra items to a menu built by buildContextMenu: the switch to the direct road on
// top while the hint shows, the two checked items after the look items; while a modal dialog
// runs, greys out every item that would change the settings.
void addMenuExtras(std::vector<MenuItem>& menu, const Settings& settings, const MenuExtras& extras);

// Refresh, show and exit stay usable while a modal dialog runs; everything else would
// change the settings behind the dialog's copy, which its OK then overwrites.
bool commandAllowedWhileModal(int commandId);

// The settings after click-through or the switch to the direct road; empty for other commands.
std::optional<Settings> settingsForExtraCommand(const Settings& settings, int commandId);

// The tray tooltip, with first lines that say click-through is on and that no price server has
// answered (the compact looks have no footer for that).
std::wstring trayTipWithNotes(const std::wstring& prices, bool clickThrough, bool serverHint);

}  // namespace vindral
