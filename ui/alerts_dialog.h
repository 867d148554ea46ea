// The modal price alert dialog (template 102): edits a copy of the alerts and the sound switch
// and hands it back only on OK.
#pragma once

#include <windows.h>

#include "settings/alert_store.h"

namespace vindral {

// True when the user pressed OK; `settings` then holds the edited list. False otherwise, with
// `settings` untouched.
bool showAlertsDialog(HINSTANCE instance, HWND owner, AlertSettings& settings);

}  // namespace vindral
