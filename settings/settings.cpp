#include "settings/settings.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace vindral {
namespace {

constexpr wchar_t kKeyIntervalSec[] = L"IntervalSec";
constexpr wchar_t kKeyExchanges[] = L"Exchanges";
constexpr wchar_t kKeyCoins[] = L"Coins";
constexpr wchar_t kKeyServerUrl[] = L"ServerUrl";
constexpr wchar_t kKeyAlwaysOnTop[] = L"AlwaysOnTop";
constexpr wchar_t kKeyMiniMode[] = L"MiniMode";
constexpr wchar_t kKeyKoreanColors[] = L"KoreanColors";
constexpr wchar_t kKeyCoinInitials[] = L"CoinInitials";
constexpr wchar_t kKeyOpacityPct[] = L"OpacityPct";
constexpr wchar_t kKeyZoomPct[] = L"ZoomPct";
constexpr wchar_t kKeyPosX[] = L"PosX";
constexpr wchar_t kKeyPosY[] = L"PosY";
constexpr wchar_t kKeyClickThrough[] = L"ClickThrough";
constexpr wchar_t kKeyKimchiPremium[] = L"KimchiPremium";

constexpr int32_t kMsPerSecond = 1000;
constexpr int32_t kOpacityMinPct = 30;
constexpr int32_t kOpacityMaxPct = 100;
constexpr int32_t kZoomMinPct = 80;
constexpr int32_t kZoomMaxPct = 150;

template <size_t N>
std::wstring encodeFlags(const std::array<bool, N>& flags) {
    std::wstring text;
    for (bool flag : flags) {
        text += flag ? L'1' : L'0';
    }
    return text;
}

// Flag i is set exactly when the text has a '1' at position i; anything else, or a text that
// ends early, leaves it clear.
template <size_t N>
void decodeFlags(const std::wstring& text, std::array<bool, N>& flags) {
    for (size_t i = 0; i < N; ++i) {
        flags[i] = i < text.size() && text[i] == L'1';
    }
}

std::wstring intText(int32_t value) {
    return std::to_wstring(value);
}

std::wstring boolText(bool value) {
    return value ? L"1" : L"0";
}

// Seconds from the file times 1000, in 64 bits so that a huge value cannot overflow; the
// interval clamp of the engine part then brings it into range.
int32_t secondsToMs(int32_t seconds) {
    const int64_t ms = int64_t{seconds} * kMsPerSecond;
    const int64_t lo = std::numeric_limits<int32_t>::min();
    const int64_t hi = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(std::clamp(ms, lo, hi));
}

}  // namespace

Settings loadSettings() {
    return loadSettings(settingsIniPath());
}

Settings loadSettings(const std::wstring& iniPath) {
    Settings s;
    const Settings defaults;

    s.intervalMs =
        secondsToMs(ini::readInt(iniPath, kKeyIntervalSec, defaults.intervalMs / kMsPerSecond));
    decodeFlags(ini::readText(iniPath, kKeyExchanges, encodeFlags(defaults.exchanges)),
                s.exchanges);
    decodeFlags(ini::readText(iniPath, kKeyCoins, encodeFlags(defaults.coins)), s.coins);
    s.serverUrl = ini::readText(iniPath, kKeyServerUrl, kDefaultServerUrl);
    s.kimchiPremium = ini::readInt(iniPath, kKeyKimchiPremium, defaults.kimchiPremium ? 1 : 0) != 0;

    const EngineConfig engine = toEngineConfig(s);
    static_cast<EngineConfig&>(s) = engine;

    s.alwaysOnTop = ini::readInt(iniPath, kKeyAlwaysOnTop, defaults.alwaysOnTop ? 1 : 0) != 0;
    s.miniMode = ini::readInt(iniPath, kKeyMiniMode, defaults.miniMode ? 1 : 0) != 0;
    s.koreanColors = ini::readInt(iniPath, kKeyKoreanColors, defaults.koreanColors ? 1 : 0) != 0;
    s.coinInitials = ini::readInt(iniPath, kKeyCoinInitials, defaults.coinInitials ? 1 : 0) != 0;
    s.opacityPct = std::clamp(ini::readInt(iniPath, kKeyOpacityPct, defaults.opacityPct),
                              kOpacityMinPct, kOpacityMaxPct);
    s.zoomPct =
        std::clamp(ini::readInt(iniPath, kKeyZoomPct, defaults.zoomPct), kZoomMinPct, kZoomMaxPct);
    s.posX = ini::readInt(iniPath, kKeyPosX, defaults.posX);
    s.posY = ini::readInt(iniPath, kKeyPosY, defaults.posY);
    s.clickThrough = ini::readInt(iniPath, kKeyClickThrough, defaults.clickThrough ? 1 : 0) != 0;
    return s;
}

void saveSettings(const Settings& settings) {
    saveSettings(settings, settingsIniPath());
}

void saveSettings(const Settings& settings, const std::wstring& iniPath) {
    ini::writeTexts(iniPath, {
                                 {kKeyIntervalSec, intText(settings.intervalMs / kMsPerSecond)},
                                 {kKeyExchanges, encodeFlags(settings.exchanges)},
                                 {kKeyCoins, encodeFlags(settings.coins)},
                                 {kKeyServerUrl, settings.serverUrl},
                                 {kKeyAlwaysOnTop, boolText(settings.alwaysOnTop)},
                                 {kKeyMiniMode, boolText(settings.miniMode)},
                                 {kKeyKoreanColors, boolText(settings.koreanColors)},
                                 {kKeyCoinInitials, boolText(settings.coinInitials)},
                                 {kKeyOpacityPct, intText(settings.opacityPct)},
                                 {kKeyZoomPct, intText(settings.zoomPct)},
                                 {kKeyPosX, intText(settings.posX)},
                                 {kKeyPosY, intText(settings.posY)},
                                 {kKeyClickThrough, boolText(settings.clickThrough)},
                                 {kKeyKimchiPremium, boolText(settings.kimchiPremium)},
                             });
}

}  // namespace vindral
