#include "ui/menu_extras.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/format.h"
#include "ui/modal_dialog.h"

namespace vindral {
namespace {

const MenuItem* findItem(const std::vector<MenuItem>& items, int id) {
    for (const MenuItem& item : items) {
        if (item.id == id) {
            return &item;
        }
    }
    return nullptr;
}

std::vector<int> topIds(const std::vector<MenuItem>& items) {
    std::vector<int> ids;
    for (const MenuItem& item : items) {
        ids.push_back(item.id);
    }
    return ids;
}

TEST(UiMenuExtras, HintShowsOnTheServerRoadUntilAServerAnswers) {
    Settings s;
    EXPECT_FALSE(showsServerHint(s, false)) << "direct road";
    s.serverUrl = L"http://127.0.0.1:9";
    EXPECT_TRUE(showsServerHint(s, false));
    EXPECT_FALSE(showsServerHint(s, true));

    // The switch clears the server URL and nothing else.
    const std::optional<Settings> direct = settingsForExtraCommand(s, kCmdUseDirectRoad);
    ASSERT_TRUE(direct.has_value());
    EXPECT_EQ(direct->serverUrl, L"");
    Settings expected = s;
    expected.serverUrl.clear();
    EXPECT_EQ(static_cast<const EngineConfig&>(*direct),
              static_cast<const EngineConfig&>(expected));

    const std::optional<Settings> through = settingsForExtraCommand(s, kCmdClickThrough);
    ASSERT_TRUE(through.has_value());
    EXPECT_TRUE(through->clickThrough);
    EXPECT_FALSE(settingsForExtraCommand(*through, kCmdClickThrough)->clickThrough);
    EXPECT_FALSE(settingsForExtraCommand(s, kCmdStartWithWindows).has_value())
        << "the shortcut is no setting";
    EXPECT_FALSE(settingsForExtraCommand(s, kCmdAlwaysOnTop).has_value());
}

TEST(UiMenuExtras, ItemsGoAfterTheLookItemsAndTheSwitchOnTop) {
    Settings s;
    s.clickThrough = true;
    std::vector<MenuItem> menu = buildContextMenu(s, true);
    const std::size_t plain = menu.size();
    addMenuExtras(menu, s, MenuExtras{false, true, false});
    ASSERT_EQ(menu.size(), plain + 2);
    EXPECT_EQ(menu.front().id, kCmdSettings) << "no switch without the hint";
    const std::vector<int> ids = topIds(menu);
    const auto initials = std::find(ids.begin(), ids.end(), kCmdCoinInitials);
    ASSERT_NE(initials, ids.end());
    EXPECT_EQ(*(initials + 1), kCmdKimchiPremium) << "the display toggles stay together";
    EXPECT_EQ(*(initials + 2), kCmdStartWithWindows);
    EXPECT_EQ(*(initials + 3), kCmdClickThrough);
    EXPECT_EQ(findItem(menu, kCmdStartWithWindows)->text, L"Windows 시작 시 실행");
    EXPECT_TRUE(findItem(menu, kCmdStartWithWindows)->checked);
    EXPECT_EQ(findItem(menu, kCmdClickThrough)->text, L"클릭 통과");
    EXPECT_TRUE(findItem(menu, kCmdClickThrough)->checked);

    std::vector<MenuItem> hinted = buildContextMenu(Settings{}, true);
    addMenuExtras(hinted, Settings{}, MenuExtras{true, false, false});
    EXPECT_EQ(hinted[0].id, kCmdUseDirectRoad);
    EXPECT_EQ(hinted[0].text, L"거래소 직접 조회로 전환");
    EXPECT_TRUE(hinted[1].isSeparator());
    EXPECT_FALSE(findItem(hinted, kCmdStartWithWindows)->checked);
    EXPECT_FALSE(findItem(hinted, kCmdClickThrough)->checked);
}

TEST(UiMenuExtras, ModalDialogGreysEverySettingCommandButNotExit) {
    std::vector<MenuItem> menu = buildContextMenu(Settings{}, true);
    addMenuExtras(menu, Settings{}, MenuExtras{true, false, true});
    for (const MenuItem& item : menu) {
        if (item.isSeparator()) {
            continue;
        }
        const bool usable = item.id == kCmdRefresh || item.id == kCmdExit;
        EXPECT_EQ(item.enabled, usable) << toUtf8(item.text);
    }
    std::vector<MenuItem> hidden = buildContextMenu(Settings{}, false);
    addMenuExtras(hidden, Settings{}, MenuExtras{false, false, true});
    EXPECT_TRUE(findItem(hidden, kCmdShow)->enabled) << "the window can still be shown";

    EXPECT_FALSE(commandAllowedWhileModal(kCmdAlwaysOnTop));
    EXPECT_FALSE(commandAllowedWhileModal(kCmdSettings));
    EXPECT_FALSE(commandAllowedWhileModal(kCmdHide));
    EXPECT_FALSE(commandAllowedWhileModal(kCmdIntervalFirst + 3));
    EXPECT_TRUE(commandAllowedWhileModal(kCmdExit));
}

TEST(UiMenuExtras, ModalScopesNest) {
    EXPECT_FALSE(ModalDialogScope::active());
    {
        const ModalDialogScope settings;
        {
            const ModalDialogScope alerts;
            EXPECT_TRUE(ModalDialogScope::active());
        }
        EXPECT_TRUE(ModalDialogScope::active()) << "the outer dialog still runs";
    }
    EXPECT_FALSE(ModalDialogScope::active());
}

TEST(UiMenuExtras, NotesComeFirstInTheTrayTip) {
    EXPECT_EQ(trayTipWithNotes(L"BTC -", false, false), L"BTC -");
    EXPECT_EQ(trayTipWithNotes(L"BTC -", true, false), L"클릭 통과 켜짐\nBTC -");
    const std::wstring both = trayTipWithNotes(L"BTC -\nETH -\nSUI -", true, true);
    EXPECT_EQ(both,
              L"클릭 통과 켜짐\n서버를 찾지 못했습니다 · 우클릭 메뉴 → 거래소 직접 조회\n"
              L"BTC -\nETH -\nSUI -");
    EXPECT_LT(both.size(), 128u) << "the shell keeps 127 characters";
}

}  // namespace
}  // namespace vindral
