#include "ui/alerts_dialog.h"

#include <array>
#include <cstdint>
#include <string>

#include "core/format.h"
#include "ui/alerts_dialog_ids.h"
#include "ui/alerts_view.h"

namespace vindral {
namespace {

constexpr int kNumberTextChars = 64;
constexpr wchar_t kMessageCaption[] = L"Vindral";
constexpr wchar_t kPickAlertMessage[] = L"목록에서 알림을 고르세요.";
// Tab stops of the list, in dialog units: condition, mode, last firing.
constexpr std::array<int, 3> kListTabStops{28, 128, 160};

// Lives on showAlertsDialog's stack; the dialog reaches it through DWLP_USER.
struct AlertsDialogState {
    AlertSettings settings;
};

AlertsDialogState* stateOf(HWND dialog) {
    return reinterpret_cast<AlertsDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

std::wstring itemText(HWND dialog, int id) {
    std::wstring text(kNumberTextChars, L'\0');
    const UINT length = GetDlgItemTextW(dialog, id, text.data(), kNumberTextChars);
    text.resize(length);
    return text;
}

int comboIndex(HWND dialog, int id) {
    return static_cast<int>(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
}

int selectedRow(HWND dialog) {
    return static_cast<int>(SendDlgItemMessageW(dialog, IDC_ALERTS_LIST, LB_GETCURSEL, 0, 0));
}

void warn(HWND dialog, const wchar_t* text) {
    MessageBoxW(dialog, text, kMessageCaption, MB_OK | MB_ICONWARNING);
}

// The minutes field means something only for a move alert.
void updateMinutesField(HWND dialog) {
    const bool move = comboIndex(dialog, IDC_ALERTS_KIND) == static_cast<int>(AlertKind::Move);
    EnableWindow(GetDlgItem(dialog, IDC_ALERTS_MINUTES), move);
}

void fillList(HWND dialog, const AlertSettings& settings, int select) {
    const HWND list = GetDlgItem(dialog, IDC_ALERTS_LIST);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    for (const Alert& alert : settings.alerts) {
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(alertListText(alert).c_str()));
    }
    SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(select), 0);
}

void showAlertInFields(HWND dialog, const Alert& alert) {
    SendDlgItemMessageW(dialog, IDC_ALERTS_COIN, CB_SETCURSEL, alert.coin, 0);
    SendDlgItemMessageW(dialog, IDC_ALERTS_KIND, CB_SETCURSEL, static_cast<WPARAM>(alert.kind), 0);
    SetDlgItemTextW(dialog, IDC_ALERTS_VALUE, alertValueText(alert).c_str());
    SetDlgItemTextW(dialog, IDC_ALERTS_MINUTES,
                    alert.kind == AlertKind::Move ? std::to_wstring(alert.windowMin).c_str() : L"");
    CheckDlgButton(dialog, IDC_ALERTS_REPEAT, alert.repeat ? BST_CHECKED : BST_UNCHECKED);
    updateMinutesField(dialog);
}

void initAlertsDialog(HWND dialog, const AlertSettings& settings) {
    for (std::uint32_t c = 0; c < kCoinCount; ++c) {
        SendDlgItemMessageW(dialog, IDC_ALERTS_COIN, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(coinSymbol(c).c_str()));
    }
    for (const wchar_t* kind : kAlertKindChoices) {
        SendDlgItemMessageW(dialog, IDC_ALERTS_KIND, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(kind));
    }
    SendDlgItemMessageW(dialog, IDC_ALERTS_COIN, CB_SETCURSEL, 0, 0);
    SendDlgItemMessageW(dialog, IDC_ALERTS_KIND, CB_SETCURSEL, 0, 0);
    SendDlgItemMessageW(dialog, IDC_ALERTS_LIST, LB_SETTABSTOPS, kListTabStops.size(),
                        reinterpret_cast<LPARAM>(kListTabStops.data()));
    CheckDlgButton(dialog, IDC_ALERTS_SOUND, settings.sound ? BST_CHECKED : BST_UNCHECKED);
    fillList(dialog, settings, -1);
    updateMinutesField(dialog);
}

AlertFormInput readFields(HWND dialog) {
    AlertFormInput input;
    input.coin = static_cast<std::uint32_t>(std::max(0, comboIndex(dialog, IDC_ALERTS_COIN)));
    input.kind = static_cast<AlertKind>(std::max(0, comboIndex(dialog, IDC_ALERTS_KIND)));
    input.valueText = itemText(dialog, IDC_ALERTS_VALUE);
    input.minutesText = itemText(dialog, IDC_ALERTS_MINUTES);
    input.repeat = IsDlgButtonChecked(dialog, IDC_ALERTS_REPEAT) == BST_CHECKED;
    return input;
}

// Checks the fields; on failure warns and moves the focus to the field at fault.
bool collectFields(HWND dialog, std::size_t listSize, Alert& alert) {
    const AlertFormError error = collectAlertForm(readFields(dialog), listSize, alert);
    if (error == AlertFormError::None) {
        return true;
    }
    warn(dialog, alertFormMessage(error).c_str());
    const int focus = error == AlertFormError::Minutes   ? IDC_ALERTS_MINUTES
                      : error == AlertFormError::TooMany ? IDC_ALERTS_LIST
                                                         : IDC_ALERTS_VALUE;
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, focus)), TRUE);
    return false;
}

void onAdd(HWND dialog, AlertsDialogState& state) {
    Alert alert;
    if (collectFields(dialog, state.settings.alerts.size(), alert)) {
        state.settings.alerts.push_back(alert);
        fillList(dialog, state.settings, static_cast<int>(state.settings.alerts.size()) - 1);
    }
}

void onChange(HWND dialog, AlertsDialogState& state) {
    const int row = selectedRow(dialog);
    if (row < 0 || static_cast<std::size_t>(row) >= state.settings.alerts.size()) {
        warn(dialog, kPickAlertMessage);
        return;
    }
    Alert alert;
    if (collectFields(dialog, state.settings.alerts.size() - 1, alert)) {
        state.settings.alerts[static_cast<std::size_t>(row)] = alert;
        fillList(dialog, state.settings, row);
    }
}

void onRemove(HWND dialog, AlertsDialogState& state) {
    const int row = selectedRow(dialog);
    if (row < 0 || static_cast<std::size_t>(row) >= state.settings.alerts.size()) {
        warn(dialog, kPickAlertMessage);
        return;
    }
    state.settings.alerts.erase(state.settings.alerts.begin() + row);
    const int count = static_cast<int>(state.settings.alerts.size());
    fillList(dialog, state.settings, row < count ? row : count - 1);
}

INT_PTR onCommand(HWND dialog, AlertsDialogState& state, int id, int code) {
    switch (id) {
        case IDC_ALERTS_LIST:
            if (code == LBN_SELCHANGE) {
                const int row = selectedRow(dialog);
                if (row >= 0 && static_cast<std::size_t>(row) < state.settings.alerts.size()) {
                    showAlertInFields(dialog, state.settings.alerts[static_cast<std::size_t>(row)]);
                }
            }
            return TRUE;
        case IDC_ALERTS_KIND:
            if (code == CBN_SELCHANGE) {
                updateMinutesField(dialog);
            }
            return TRUE;
        case IDC_ALERTS_ADD:
            onAdd(dialog, state);
            return TRUE;
        case IDC_ALERTS_CHANGE:
            onChange(dialog, state);
            return TRUE;
        case IDC_ALERTS_REMOVE:
            onRemove(dialog, state);
            return TRUE;
        case IDOK:
            state.settings.sound = IsDlgButtonChecked(dialog, IDC_ALERTS_SOUND) == BST_CHECKED;
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK alertsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        initAlertsDialog(dialog, reinterpret_cast<AlertsDialogState*>(lParam)->settings);
        return TRUE;
    }
    AlertsDialogState* state = stateOf(dialog);
    if (state == nullptr || message != WM_COMMAND) {
        return FALSE;
    }
    return onCommand(dialog, *state, LOWORD(wParam), HIWORD(wParam));
}

}  // namespace

bool showAlertsDialog(HINSTANCE instance, HWND owner, AlertSettings& settings) {
    AlertsDialogState state;
    state.settings = settings;
    const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_VINDRAL_ALERTS), owner,
                                           alertsDialogProc, reinterpret_cast<LPARAM>(&state));
    if (result != IDOK) {
        return false;
    }
    settings = state.settings;
    return true;
}

}  // namespace vindral
