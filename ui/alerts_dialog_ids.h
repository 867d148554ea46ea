// Resource and control ids of the price alert dialog, shared by its template
// (res/alerts_dialog.rc) and its code; plain defines so that the resource compiler can read them.
#pragma once

#define IDD_VINDRAL_ALERTS 102

#define IDC_ALERTS_LIST 1101
#define IDC_ALERTS_COIN 1102
#define IDC_ALERTS_KIND 1103
#define IDC_ALERTS_VALUE 1104
#define IDC_ALERTS_MINUTES 1105
#define IDC_ALERTS_REPEAT 1106
#define IDC_ALERTS_ADD 1107
#define IDC_ALERTS_CHANGE 1108
#define IDC_ALERTS_REMOVE 1109
#define IDC_ALERTS_SOUND 1110
