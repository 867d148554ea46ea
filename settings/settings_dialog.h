// The modal settings dialog (template 101): edits a copy of the settings, previews the opacity
// on the live window while the slider moves, and hands the copy back only on a valid OK.
#pragma once

#include <windows.h>

#include <functional>

#include "settings/settings.h"

namespace vindral {

// Called with an opacity in percent whenever the slider moves, and with the opening opacity
// when the dialog is cancelled.
using OpacityPreview = std::function<void(int)>;

// Returns true when the user confirmed valid input; `settings` then holds the whole edited
// record. Returns false otherwise and leaves `settings` untouched. The preview may be empty.
bool showSettingsDialog(HINSTANCE instance, HWND owner, Settings& settings,
                        OpacityPreview onOpacityPreview);

}  // namespace vindral
