// Resource and control ids of the settings dialog, shared by the dialog template
// (res/settings_dialog.rc) and the dialog code; plain defines so that the resource compiler
// can read them.
#pragma once

#define IDD_VINDRAL_SETTINGS 101

#define IDC_SETTINGS_INTERVAL 1001
#define IDC_SETTINGS_EXCHANGE_FIRST 1010  // 1010-1014: one check box per exchange, catalog order
#define IDC_SETTINGS_PRESET_1 1020
#define IDC_SETTINGS_PRESET_3 1021
#define IDC_SETTINGS_PRESET_5 1022
#define IDC_SETTINGS_COIN_FIRST 1030  // 1030-1032: one check box per coin, catalog order
#define IDC_SETTINGS_ALWAYS_ON_TOP 1040
#define IDC_SETTINGS_KOREAN_COLORS 1041
#define IDC_SETTINGS_OPACITY 1042
#define IDC_SETTINGS_OPACITY_LABEL 1043
#define IDC_SETTINGS_EXCHANGE_COUNT 1044
#define IDC_SETTINGS_FULL_NAMES 1050
#define IDC_SETTINGS_INITIALS 1051
#define IDC_SETTINGS_SERVER_URL 1060
