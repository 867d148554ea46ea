#include "settings/settings_form.h"

#include <gtest/gtest.h>

#include "core/format.h"

#include <array>
#include <string>

namespace vindral {
namespace {

// A valid form: 5 s, Bitget, all coins, no server.
SettingsFormInput validInput() {
    SettingsFormInput input;
    input.intervalText = L"5초";
    input.exchanges = {false, true, false, false, false};
    input.coins = {true, true, true};
    input.alwaysOnTop = true;
    input.koreanColors = true;
    input.coinInitials = true;
    input.opacityPct = 95;
    return input;
}

TEST(SettingsFormTest, IntervalFieldSelectsAChoiceOrWritesTheInterval) {
    struct Case {
        std::int32_t intervalMs;
        std::int32_t choiceIndex;
        std::wstring text;
    };
    const Case cases[] = {
        {1000, 0, L""},
        {5000, 3, L""},
        {60000, 7, L""},
        {300000, 10, L""},
        {45000, -1, L"45초"},
        {90000, -1, L"1분 30초"},
        {5500, 3, L""},  // whole seconds only: 5.5
                         // s opens as 5 s
        {7000, -1, L"7초"},
    };
    for (const Case& c : cases) {
        const IntervalField field = intervalField(c.intervalMs);
        EXPECT_EQ(field.choiceIndex, c.choiceIndex) << c.intervalMs;
        EXPECT_EQ(field.text, c.text) << c.intervalMs;
    }
}

TEST(SettingsFormTest, EveryIntervalChoiceReadsBackThroughTheParser) {
    // The list shows formatInterval's text; picking an item must give its own seconds back.
    for (std::int32_t seconds : kIntervalChoicesSec) {
        SettingsFormInput input = validInput();
        input.intervalText = formatInterval(seconds);
        Settings settings;
        ASSERT_EQ(collectSettingsForm(input, settings), SettingsFormError::None) << seconds;
        EXPECT_EQ(settings.intervalMs, seconds * 1000);
    }
}

TEST(SettingsFormTest, Labels) {
    EXPECT_EQ(coinNamesRadioLabel(), L"전체 (BTC · ETH · SUI)");
    EXPECT_EQ(coinInitialsRadioLabel(), L"이니셜 (B · E · S)");
    EXPECT_EQ(exchangeCountLabel(0), L"선택: 0개");
    EXPECT_EQ(exchangeCountLabel(3), L"선택: 3개");
    EXPECT_EQ(opacityLabel(95), L"95%");
    EXPECT_EQ(opacityLabel(100), L"100%");
}

TEST(SettingsFormTest, PresetButtonsFollowThePresetOrder) {
    using Flags = std::array<bool, kExchangeCount>;
    EXPECT_EQ(presetExchangeFlags(1), (Flags{false, true, false, false, false}));
    EXPECT_EQ(presetExchangeFlags(3), (Flags{true, true, true, false, false}));
    EXPECT_EQ(presetExchangeFlags(5), (Flags{true, true, true, true, true}));
}

TEST(SettingsFormTest, IntervalRange) {
    struct Case {
        std::wstring text;
        std::int32_t expectMs;  // 0: rejected
    };
    const Case cases[] = {
        {L"1", 1000},       {L"300", 300000}, {L"5분", 300000}, {L"1:30", 90000}, {L" 45 ", 45000},
        {L"2 min", 120000}, {L"0", 0},        {L"301", 0},      {L"6분", 0},      {L"abc", 0},
        {L"", 0},           {L"-5", 0},       {L"1.5분", 0},    {L"0:00", 0},
    };
    for (const Case& c : cases) {
        SettingsFormInput input = validInput();
        input.intervalText = c.text;
        Settings settings;
        const SettingsFormError error = collectSettingsForm(input, settings);
        if (c.expectMs == 0) {
            EXPECT_EQ(error, SettingsFormError::Interval) << c.text;
        } else {
            EXPECT_EQ(error, SettingsFormError::None) << c.text;
            EXPECT_EQ(settings.intervalMs, c.expectMs) << c.text;
        }
    }
}

TEST(SettingsFormTest, ChecksRunIntervalThenExchangesThenCoins) {
    struct Case {
        const char* name;
        bool badInterval;
        bool noExchange;
        bool noCoin;
        SettingsFormError expect;
    };
    const Case cases[] = {
        {"everything wrong", true, true, true, SettingsFormError::Interval},
        {"no exchange and no coin", false, true, true, SettingsFormError::NoExchange},
        {"no coin", false, false, true, SettingsFormError::NoCoin},
        {"valid", false, false, false, SettingsFormError::None},
    };
    for (const Case& c : cases) {
        SettingsFormInput input = validInput();
        if (c.badInterval) {
            input.intervalText = L"0";
        }
        if (c.noExchange) {
            input.exchanges = {};
        }
        if (c.noCoin) {
            input.coins = {};
        }
        Settings settings;
        EXPECT_EQ(collectSettingsForm(input, settings), c.expect) << c.name;
    }
}

TEST(SettingsFormTest, Messages) {
    EXPECT_EQ(settingsFormMessage(SettingsFormError::Interval),
              L"조회 간격은 1초 ~ 5분 사이로 입력하세요.\n예: 5, 30초, 2분, 1:30");
    EXPECT_EQ(settingsFormMessage(SettingsFormError::NoExchange), L"거래소를 1개 이상 선택하세요.");
    EXPECT_EQ(settingsFormMessage(SettingsFormError::NoCoin), L"코인을 1개 이상 선택하세요.");
    EXPECT_EQ(settingsFormMessage(SettingsFormError::None), L"");
}

TEST(SettingsFormTest, ServerUrlIsNormalized) {
    struct Case {
        std::wstring typed;
        std::wstring stored;
    };
    const Case cases[] = {
        {L"  http://192.168.0.5:12500/ ", L"http://192.168.0.5:12500"},
        {L"192.168.0.5:12500", L"http://192.168.0.5:12500"},
        {L"https://prices.lan//", L"https://prices.lan"},
        {L"   ", L""},
        {L"", L""},
    };
    for (const Case& c : cases) {
        SettingsFormInput input = validInput();
        input.serverUrl = c.typed;
        Settings settings;
        ASSERT_EQ(collectSettingsForm(input, settings), SettingsFormError::None);
        EXPECT_EQ(settings.serverUrl, c.stored) << c.typed;
    }
}

TEST(SettingsFormTest, OkCopiesTheEditedFieldsAndKeepsTheOthers) {
    Settings settings;
    settings.miniMode = true;
    settings.zoomPct = 130;
    settings.posX = -1200;
    settings.posY = 40;
    settings.serverUrl = L"http://old:12500";

    SettingsFormInput input;
    input.intervalText = L"1분 30초";
    input.exchanges = {false, false, false, true, true};
    input.coins = {false, true, true};
    input.serverUrl = L"";
    input.alwaysOnTop = false;
    input.koreanColors = false;
    input.coinInitials = false;
    input.opacityPct = 40;
    ASSERT_EQ(collectSettingsForm(input, settings), SettingsFormError::None);

    EXPECT_EQ(settings.intervalMs, 90000);
    EXPECT_EQ(settings.exchanges, input.exchanges);
    EXPECT_EQ(settings.coins, input.coins);
    EXPECT_EQ(settings.serverUrl, L"");
    EXPECT_FALSE(settings.alwaysOnTop);
    EXPECT_FALSE(settings.koreanColors);
    EXPECT_FALSE(settings.coinInitials);
    EXPECT_EQ(settings.opacityPct, 40);
    EXPECT_TRUE(settings.miniMode);
    EXPECT_EQ(settings.zoomPct, 130);
    EXPECT_EQ(settings.posX, -1200);
    EXPECT_EQ(settings.posY, 40);
}

TEST(SettingsFormTest, AFailedCheckLeavesTheRecordUntouched) {
    Settings settings;
    settings.serverUrl = L"http://old:12500";
    const Settings before = settings;

    SettingsFormInput input = validInput();
    input.serverUrl = L"http://new:12500";
    input.opacityPct = 40;
    input.coins = {};
    ASSERT_EQ(collectSettingsForm(input, settings), SettingsFormError::NoCoin);

    EXPECT_EQ(static_cast<const EngineConfig&>(settings), static_cast<const EngineConfig&>(before));
    EXPECT_EQ(settings.opacityPct, before.opacityPct);
    EXPECT_EQ(settings.alwaysOnTop, before.alwaysOnTop);
}

}  // namespace
}  // namespace vindral
