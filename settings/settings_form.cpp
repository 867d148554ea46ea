#include "settings/settings_form.h"

#include <algorithm>
#include <iterator>

#include "core/format.h"

namespace vindral {
namespace {

constexpr std::int32_t kMsPerSecond = 1000;
constexpr wchar_t kListSeparator[] = L" · ";

template <typename TextOf>
std::wstring allCoinsLabel(const wchar_t* prefix, TextOf textOf) {
    std::wstring label = prefix;
    label += L"(";
    for (std::uint32_t coin = 0; coin < kCoinCount; ++coin) {
        if (coin > 0) {
            label += kListSeparator;
        }
        label += textOf(coin);
    }
    label += L")";
    return label;
}

}  // namespace

IntervalField intervalField(std::int32_t intervalMs) {
    const std::int32_t seconds = intervalMs / kMsPerSecond;
    const auto it = std::find(kIntervalChoicesSec.begin(), kIntervalChoicesSec.end(), seconds);
    if (it != kIntervalChoicesSec.end()) {
        return {static_cast<std::int32_t>(std::distance(kIntervalChoicesSec.begin(), it)), {}};
    }
    return {-1, formatInterval(seconds)};
}

std::wstring coinNamesRadioLabel() {
    return allCoinsLabel(L"전체 ", coinSymbol);
}

std::wstring coinInitialsRadioLabel() {
    return allCoinsLabel(L"이니셜 ", coinInitialsText);
}

std::wstring exchangeCountLabel(std::int32_t count) {
    return L"선택: " + std::to_wstring(count) + L"개";
}

std::wstring opacityLabel(std::int32_t pct) {
    return std::to_wstring(pct) + L"%";
}

std::array<bool, kExchangeCount> presetExchangeFlags(std::int32_t count) {
    EngineConfig scratch;
    applyExchangePreset(scratch, count);
    return scratch.exchanges;
}

std::wstring settingsFormMessage(SettingsFormError error) {
    switch (error) {
        case SettingsFormError::Interval:
            return L"조회 간격은 1초 ~ 5분 사이로 입력하세요.\n예: 5, 30초, 2분, 1:30";
        case SettingsFormError::NoExchange:
            return L"거래소를 1개 이상 선택하세요.";
        case SettingsFormError::NoCoin:
            return L"코인을 1개 이상 선택하세요.";
        case SettingsFormError::None:
            break;
    }
    return {};
}

SettingsFormError collectSettingsForm(const SettingsFormInput& input, Settings& settings) {
    // parseInterval's -1 for unreadable text falls below the range too.
    const std::int32_t seconds = parseInterval(input.intervalText);
    if (seconds < kDialogMinIntervalSec || seconds > kDialogMaxIntervalSec) {
        return SettingsFormError::Interval;
    }

    EngineConfig candidate = settings;
    candidate.intervalMs = seconds * kMsPerSecond;
    candidate.exchanges = input.exchanges;
    candidate.coins = input.coins;
    if (countExchanges(candidate) == 0) {
        return SettingsFormError::NoExchange;
    }
    if (countCoins(candidate) == 0) {
        return SettingsFormError::NoCoin;
    }
    candidate.serverUrl = input.serverUrl;

    static_cast<EngineConfig&>(settings) = toEngineConfig(candidate);
    settings.alwaysOnTop = input.alwaysOnTop;
    settings.koreanColors = input.koreanColors;
    settings.coinInitials = input.coinInitials;
    settings.opacityPct = input.opacityPct;
    return SettingsFormError::None;
}

}  // namespace vindral
