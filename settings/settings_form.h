// The settings dialog's rules that need no window: the interval field's choices, the texts the
// dialog writes into its controls, and the checks run when the user presses OK. The dialog
// (settings_dialog_win.cpp) only moves values between these and its controls.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/board.h"
#include "settings/settings.h"

namespace vindral {

// The interval list of the dialog, in seconds, in list order.
inline constexpr std::array<std::int32_t, 11> kIntervalChoicesSec{1,  2,  3,   5,   10, 15,
                                                                  30, 60, 120, 180, 300};
inline constexpr std::int32_t kDialogMinIntervalSec = 1;
inline constexpr std::int32_t kDialogMaxIntervalSec = 300;

// The opacity slider's range and page step, in percent.
inline constexpr std::int32_t kOpacitySliderMinPct = 30;
inline constexpr std::int32_t kOpacitySliderMaxPct = 100;
inline constexpr std::int32_t kOpacitySliderPagePct = 10;

// Shown in the empty server field; port 5080 is the price server's usual port on a home LAN.
inline constexpr wchar_t kServerUrlCueBanner[] = L"예: http://192.168.0.10:5080";

// How the interval field opens: a list item when the interval is one of the choices, else the
// interval written out as text in the field (45초, 1분 30초).
struct IntervalField {
    std::int32_t choiceIndex = -1;  // -1: no item selected, `text` goes into the field
    std::wstring text;
};
IntervalField intervalField(std::int32_t intervalMs);

// "전체 (BTC · ETH · SUI)" and "이니셜 (B · E · S)": every catalog coin, whatever is selected.
std::wstring coinNamesRadioLabel();
std::wstring coinInitialsRadioLabel();

// "선택: 3개"
std::wstring exchangeCountLabel(std::int32_t count);
// "95%"
std::wstring opacityLabel(std::int32_t pct);

// The exchange check boxes after a preset button (1, 3 or 5 of the preset order).
std::array<bool, kExchangeCount> presetExchangeFlags(std::int32_t count);

// What the dialog's controls hold when the user presses OK.
struct SettingsFormInput {
    std::wstring intervalText;
    std::array<bool, kExchangeCount> exchanges{};
    std::array<bool, kCoinCount> coins{};
    std::wstring serverUrl;
    bool alwaysOnTop = false;
    bool koreanColors = false;
    bool coinInitials = false;
    std::int32_t opacityPct = kOpacitySliderMaxPct;
};

// The first check that failed, in the order they run.
enum class SettingsFormError { None, Interval, NoExchange, NoCoin };

// The warning shown for a failed check; empty for None.
std::wstring settingsFormMessage(SettingsFormError error);

// Checks the interval (1 s to 5 min), then that an exchange and a coin are selected. On success
// the edited fields go into `settings` with the server URL normalized; fields the dialog has no
// control for (miniMode, zoomPct, posX, posY) stay as they are. On failure `settings` is left
// untouched.
SettingsFormError collectSettingsForm(const SettingsFormInput& input, Settings& settings);

}  // namespace vindral
