// "Windows 시작 시 실행": a shortcut to the running program in the user's Startup folder, which
// the shell starts at sign-in. Nothing goes into the registry.
#pragma once

#include <string>

namespace vindral {

// Where the shortcut lives; empty when the Startup folder cannot be found.
std::wstring startupShortcutPath();
// True when the shortcut exists and points at this program's exe.
bool startupShortcutPointsHere();
// Creates the shortcut (on) or deletes it (off); false when that failed.
bool setStartupShortcut(bool on);

}  // namespace vindral
