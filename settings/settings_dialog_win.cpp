#include "settings/settings_dialog.h"

#include <commctrl.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "core/format.h"
#include "settings/settings_dialog_ids.h"
#include "settings/settings_form.h"

namespace vindral {
namespace {

// What the user may type into the two text fields, terminator included.
constexpr int kIntervalTextChars = 64;
constexpr int kServerUrlChars = 512;

constexpr wchar_t kMessageCaption[] = L"Vindral";

// Lives on showSettingsDialog's stack; the dialog reaches it through DWLP_USER.
struct SettingsDialogState {
    Settings settings;
    std::int32_t openingOpacity = 0;
    OpacityPreview onOpacityPreview;
};

SettingsDialogState* stateOf(HWND dialog) {
    return reinterpret_cast<SettingsDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

bool isChecked(HWND dialog, int id) {
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

void setChecked(HWND dialog, int id, bool checked) {
    CheckDlgButton(dialog, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

std::wstring itemText(HWND dialog, int id, int maxChars) {
    std::wstring text(static_cast<size_t>(maxChars), L'\0');
    const UINT length = GetDlgItemTextW(dialog, id, text.data(), maxChars);
    text.resize(length);
    return text;
}

void updateOpacityLabel(HWND dialog, int pct) {
    SetDlgItemTextW(dialog, IDC_SETTINGS_OPACITY_LABEL, opacityLabel(pct).c_str());
}

void updateExchangeCount(HWND dialog) {
    std::int32_t count = 0;
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        if (isChecked(dialog, IDC_SETTINGS_EXCHANGE_FIRST + static_cast<int>(e))) {
            ++count;
        }
    }
    SetDlgItemTextW(dialog, IDC_SETTINGS_EXCHANGE_COUNT, exchangeCountLabel(count).c_str());
}

void setExchangeBoxes(HWND dialog, const std::array<bool, kExchangeCount>& flags) {
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        setChecked(dialog, IDC_SETTINGS_EXCHANGE_FIRST + static_cast<int>(e), flags[e]);
    }
}

void onPresetButton(HWND dialog, std::int32_t count) {
    setExchangeBoxes(dialog, presetExchangeFlags(count));
    updateExchangeCount(dialog);
}

void initSettingsDialog(HWND dialog, const Settings& settings) {
    const HWND combo = GetDlgItem(dialog, IDC_SETTINGS_INTERVAL);
    for (std::int32_t seconds : kIntervalChoicesSec) {
        SendMessageW(combo, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(formatInterval(seconds).c_str()));
    }
    const IntervalField interval = intervalField(settings.intervalMs);
    if (interval.choiceIndex >= 0) {
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(interval.choiceIndex), 0);
    } else {
        SetWindowTextW(combo, interval.text.c_str());
    }

    setExchangeBoxes(dialog, settings.exchanges);
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        setChecked(dialog, IDC_SETTINGS_COIN_FIRST + static_cast<int>(c), settings.coins[c]);
    }

    SetDlgItemTextW(dialog, IDC_SETTINGS_FULL_NAMES, coinNamesRadioLabel().c_str());
    SetDlgItemTextW(dialog, IDC_SETTINGS_INITIALS, coinInitialsRadioLabel().c_str());
    CheckRadioButton(dialog, IDC_SETTINGS_FULL_NAMES, IDC_SETTINGS_INITIALS,
                     settings.coinInitials ? IDC_SETTINGS_INITIALS : IDC_SETTINGS_FULL_NAMES);

    setChecked(dialog, IDC_SETTINGS_ALWAYS_ON_TOP, settings.alwaysOnTop);
    setChecked(dialog, IDC_SETTINGS_KOREAN_COLORS, settings.koreanColors);

    const HWND slider = GetDlgItem(dialog, IDC_SETTINGS_OPACITY);
    SendMessageW(slider, TBM_SETRANGE, TRUE,
                 MAKELPARAM(kOpacitySliderMinPct, kOpacitySliderMaxPct));
    SendMessageW(slider, TBM_SETPAGESIZE, 0, kOpacitySliderPagePct);
    SendMessageW(slider, TBM_SETPOS, TRUE, settings.opacityPct);

    updateOpacityLabel(dialog, settings.opacityPct);
    updateExchangeCount(dialog);

    SetDlgItemTextW(dialog, IDC_SETTINGS_SERVER_URL, settings.serverUrl.c_str());
    // wParam TRUE: the example stays visible while the empty field has the focus.
    SendDlgItemMessageW(dialog, IDC_SETTINGS_SERVER_URL, EM_SETCUEBANNER, TRUE,
                        reinterpret_cast<LPARAM>(kServerUrlCueBanner));
}

SettingsFormInput readForm(HWND dialog) {
    SettingsFormInput input;
    input.intervalText = itemText(dialog, IDC_SETTINGS_INTERVAL, kIntervalTextChars);
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        input.exchanges[e] = isChecked(dialog, IDC_SETTINGS_EXCHANGE_FIRST + static_cast<int>(e));
    }
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        input.coins[c] = isChecked(dialog, IDC_SETTINGS_COIN_FIRST + static_cast<int>(c));
    }
    input.serverUrl = itemText(dialog, IDC_SETTINGS_SERVER_URL, kServerUrlChars);
    input.alwaysOnTop = isChecked(dialog, IDC_SETTINGS_ALWAYS_ON_TOP);
    input.koreanColors = isChecked(dialog, IDC_SETTINGS_KOREAN_COLORS);
    input.coinInitials = isChecked(dialog, IDC_SETTINGS_INITIALS);
    input.opacityPct = static_cast<std::int32_t>(
        SendDlgItemMessageW(dialog, IDC_SETTINGS_OPACITY, TBM_GETPOS, 0, 0));
    return input;
}

bool validateAndCollect(HWND dialog, SettingsDialogState& state) {
    const SettingsFormError error = collectSettingsForm(readForm(dialog), state.settings);
    if (error == SettingsFormError::None) {
        return true;
    }
    MessageBoxW(dialog, settingsFormMessage(error).c_str(), kMessageCaption,
                MB_OK | MB_ICONWARNING);
    if (error == SettingsFormError::Interval) {
        SendMessageW(dialog, WM_NEXTDLGCTL,
                     reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDC_SETTINGS_INTERVAL)), TRUE);
    }
    return false;
}

void preview(const SettingsDialogState& state, int pct) {
    if (state.onOpacityPreview) {
        state.onOpacityPreview(pct);
    }
}

INT_PTR onCommand(HWND dialog, SettingsDialogState& state, int id) {
    if (id >= IDC_SETTINGS_EXCHANGE_FIRST &&
        id < IDC_SETTINGS_EXCHANGE_FIRST + static_cast<int>(kExchangeCount)) {
        updateExchangeCount(dialog);
        return TRUE;
    }
    switch (id) {
        case IDC_SETTINGS_PRESET_1:
            onPresetButton(dialog, 1);
            return TRUE;
        case IDC_SETTINGS_PRESET_3:
            onPresetButton(dialog, 3);
            return TRUE;
        case IDC_SETTINGS_PRESET_5:
            onPresetButton(dialog, 5);
            return TRUE;
        case IDOK:
            if (validateAndCollect(dialog, state)) {
                EndDialog(dialog, IDOK);
            }
            return TRUE;
        case IDCANCEL:
            preview(state, state.openingOpacity);
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK settingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        initSettingsDialog(dialog, reinterpret_cast<SettingsDialogState*>(lParam)->settings);
        return TRUE;
    }
    SettingsDialogState* state = stateOf(dialog);
    if (state == nullptr) {
        return FALSE;
    }
    switch (message) {
        case WM_COMMAND:
            // The notification code is not examined: every click or change of an item counts.
            return onCommand(dialog, *state, LOWORD(wParam));
        case WM_HSCROLL:
            // Every slider notification, dragging included, previews at once.
            if (reinterpret_cast<HWND>(lParam) == GetDlgItem(dialog, IDC_SETTINGS_OPACITY)) {
                const int pct = static_cast<int>(
                    SendDlgItemMessageW(dialog, IDC_SETTINGS_OPACITY, TBM_GETPOS, 0, 0));
                updateOpacityLabel(dialog, pct);
                preview(*state, pct);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool showSettingsDialog(HINSTANCE instance, HWND owner, Settings& settings,
                        OpacityPreview onOpacityPreview) {
    SettingsDialogState state;
    state.settings = settings;
    state.openingOpacity = settings.opacityPct;
    state.onOpacityPreview = std::move(onOpacityPreview);

    const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_VINDRAL_SETTINGS), owner,
                                           settingsDialogProc, reinterpret_cast<LPARAM>(&state));
    if (result != IDOK) {
        return false;
    }
    settings = state.settings;
    return true;
}

}  // namespace vindral
