// The user's settings record and its per-user INI file (section "Vindral").
// The portable rules (defaults, bounds, key names, encodings) live in settings.cpp; the file
// access is the platform's: private-profile functions on Windows, a small INI reader and writer
// of our own elsewhere.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/board.h"

namespace vindral {

// The engine part (interval, exchanges, coins, server URL) is the base, so that it can be handed
// to the engine and compared as one unit.
struct Settings : EngineConfig {
    bool alwaysOnTop = true;
    bool miniMode = false;
    bool koreanColors = true;
    bool coinInitials = true;  // the one-line initials look; takes precedence over miniMode
    int32_t opacityPct = 95;
    int32_t zoomPct = 100;
    // INT_MIN means that no position has been stored yet.
    int32_t posX = std::numeric_limits<int32_t>::min();
    int32_t posY = std::numeric_limits<int32_t>::min();
    bool clickThrough = false;  // the window lets the mouse through to what lies below
};

// A price server on the local network; a first start without a settings file takes this road.
inline constexpr wchar_t kDefaultServerUrl[] = L"http://vindral.local:12500";

// Full path of the settings file; creates its folder (failures are ignored).
std::wstring settingsIniPath();

// Reads the file at settingsIniPath(), or at the given path, with defaults and bounds applied.
Settings loadSettings();
Settings loadSettings(const std::wstring& iniPath);

// Writes every key; failures are ignored.
void saveSettings(const Settings& settings);
void saveSettings(const Settings& settings, const std::wstring& iniPath);

// The platform half: access to the keys of the "Vindral" section of one file.
namespace ini {

inline constexpr wchar_t kSection[] = L"Vindral";

// Texts are read into a buffer of this many characters, terminator included.
inline constexpr size_t kTextBufferChars = 512;

// The platform's private-profile integer read: decimal with an optional sign, trailing junk
// ignored; a missing key or an empty value gives the default.
int32_t readInt(const std::wstring& iniPath, const wchar_t* key, int32_t defaultValue);

// The value of the key (at most kTextBufferChars - 1 characters), or the default when the key is
// missing.
std::wstring readText(const std::wstring& iniPath, const wchar_t* key,
                      const std::wstring& defaultValue);

// Writes every key with its value, keeping whatever else the file holds.
void writeTexts(const std::wstring& iniPath,
                const std::vector<std::pair<const wchar_t*, std::wstring>>& entries);

}  // namespace ini
}  // namespace vindral
