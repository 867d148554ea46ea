#include "core/alerts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/format.h"
#include "settings/alert_store.h"
#include "settings/settings.h"
#include "ui/alerts_view.h"

namespace vindral {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kNow = 1'700'000'000'000;
constexpr std::int64_t kMinute = 60'000;
constexpr std::uint32_t kBinance = 0;
constexpr std::uint32_t kBitget = 1;
constexpr std::uint32_t kBtc = 0;
constexpr std::uint32_t kEth = 1;

// A 1 s interval: prices older than 6000 ms are stale.
PriceBoard boardWith(std::uint32_t coin, double price, std::int64_t updatedAtMs,
                     std::uint32_t exchange = kBitget) {
    PriceBoard board;
    board.config.intervalMs = 1000;
    PriceCell& cell = board.cells[exchange][coin];
    cell.hasData = true;
    cell.lastOk = true;
    cell.price = price;
    cell.updatedAtMs = updatedAtMs;
    return board;
}

Alert levelAlert(AlertKind kind, double level, bool repeat = true) {
    Alert a;
    a.coin = kBtc;
    a.kind = kind;
    a.value = level;
    a.repeat = repeat;
    return a;
}

Alert moveAlert(double pct, std::int32_t minutes, bool repeat = true) {
    Alert a;
    a.coin = kBtc;
    a.kind = AlertKind::Move;
    a.value = pct;
    a.windowMin = minutes;
    a.repeat = repeat;
    return a;
}

// Feeds BTC prices one second apart, each fresh, and returns how many fired at each step.
std::vector<int> feed(AlertBook& book, const std::vector<double>& prices,
                      std::int64_t stepMs = 1000) {
    std::vector<int> counts;
    const IndexList shown{kBitget};
    for (std::size_t i = 0; i < prices.size(); ++i) {
        const std::int64_t now = kNow + static_cast<std::int64_t>(i) * stepMs;
        counts.push_back(static_cast<int>(
            evaluateAlerts(book, boardWith(kBtc, prices[i], now), shown, now).size()));
    }
    return counts;
}

TEST(AlertLevels, CrossingsHysteresisAndRearming) {
    struct Case {
        const char* name;
        Alert alert;
        std::vector<double> prices;
        std::vector<int> fired;
    };
    const Case cases[] = {
        {"up through the level fires once",
         levelAlert(AlertKind::Above, 100000),
         {99000, 100000, 100500, 101000},
         {0, 1, 0, 0}},
        {"hovering at the level does not fire again",
         levelAlert(AlertKind::Above, 100000),
         {99000, 100010, 99950, 100020, 99901, 100030},
         {0, 1, 0, 0, 0, 0}},
        {"re-arms once back below by 0.1 %",
         levelAlert(AlertKind::Above, 100000),
         {99000, 100010, 99900, 100000},
         {0, 1, 0, 1}},
        {"down through the level",
         levelAlert(AlertKind::Below, 2000),
         {2100, 2000, 2001, 2002, 1990},
         {0, 1, 0, 0, 1}},
        {"below re-arms only above level plus 0.1 %",
         levelAlert(AlertKind::Below, 2000),
         {2100, 1999, 2001.9, 1998},
         {0, 1, 0, 0}},
        {"a price already beyond the level is no crossing",
         levelAlert(AlertKind::Above, 100000),
         {101000, 100500, 99800, 100200},
         {0, 0, 0, 1}},
        {"a price just short of the level arms at once",
         levelAlert(AlertKind::Above, 100000),
         {99999.5, 100000},
         {0, 1}},
    };
    for (const Case& c : cases) {
        AlertBook book;
        book.alerts = {c.alert};
        EXPECT_EQ(feed(book, c.prices), c.fired) << c.name;
    }
}

TEST(AlertLevels, OneShotIsRemovedAfterItFiresRepeatingStays) {
    AlertBook book;
    book.alerts = {levelAlert(AlertKind::Above, 100, false), levelAlert(AlertKind::Above, 100)};
    EXPECT_EQ(feed(book, {99, 101}), (std::vector<int>{0, 2}));
    ASSERT_EQ(book.alerts.size(), 1u);
    EXPECT_TRUE(book.alerts[0].repeat);
    EXPECT_EQ(book.alerts[0].lastFiredMs, kNow + 1000);

    // A one-shot that waits for a price beyond its level to come back is not spent.
    book.alerts = {levelAlert(AlertKind::Above, 100, false)};
    feed(book, {105, 104});
    EXPECT_EQ(book.alerts.size(), 1u);
}

TEST(AlertLevels, StaleAndFailedPricesNeitherFireNorArm) {
    const IndexList shown{kBitget};
    AlertBook book;
    book.alerts = {levelAlert(AlertKind::Above, 100)};

    // Stale: 6001 ms old with a 1 s interval.
    EXPECT_TRUE(evaluateAlerts(book, boardWith(kBtc, 99, kNow - 6001), shown, kNow).empty());
    EXPECT_EQ(book.alerts[0].state, AlertState::Waiting);
    EXPECT_EQ(armedAlertCount(book), 0);

    // The latest fetch failed: its old price does not count, even while fresh.
    PriceBoard failed = boardWith(kBtc, 99, kNow);
    failed.cells[kBitget][kBtc].lastOk = false;
    failed.cells[kBitget][kBtc].error = "조회 실패";
    EXPECT_TRUE(evaluateAlerts(book, failed, shown, kNow).empty());
    EXPECT_EQ(book.alerts[0].state, AlertState::Waiting);

    EXPECT_TRUE(evaluateAlerts(book, boardWith(kBtc, 99, kNow), shown, kNow).empty());
    EXPECT_EQ(armedAlertCount(book), 1);
    // Armed, then a stale price beyond the level: nothing.
    EXPECT_TRUE(evaluateAlerts(book, boardWith(kBtc, 150, kNow), shown, kNow + 7000).empty());
    // A coin that is not shown has no price at all.
    EXPECT_TRUE(
        evaluateAlerts(book, boardWith(kBtc, 150, kNow), IndexList{kBinance}, kNow).empty());
    EXPECT_EQ(evaluateAlerts(book, boardWith(kBtc, 150, kNow), shown, kNow).size(), 1u);
}

TEST(AlertQuotes, MeanOverFreshSuccessfulCellsOfShownExchanges) {
    PriceBoard board = boardWith(kEth, 100, kNow, kBinance);
    board.cells[kBitget][kEth] = board.cells[kBinance][kEth];
    board.cells[kBitget][kEth].price = 102;
    board.cells[2][kEth] = board.cells[kBinance][kEth];
    board.cells[2][kEth].price = 500;
    board.cells[2][kEth].updatedAtMs = kNow - 7000;  // stale, left out

    const auto quote = alertQuote(board, kEth, IndexList{0, 1, 2}, kNow);
    ASSERT_TRUE(quote);
    EXPECT_DOUBLE_EQ(quote->price, 101);
    EXPECT_EQ(quote->count, 2);
    EXPECT_FALSE(alertQuote(board, kBtc, IndexList{0, 1, 2}, kNow));
    EXPECT_FALSE(alertQuote(board, 7, IndexList{0, 1}, kNow));
}

TEST(AlertMoves, WindowEdgesDirectionAndRearm) {
    const IndexList shown{kBitget};
    struct Step {
        std::int64_t atMs;
        double price;
        double firedPct;  // 0: nothing fires
    };
    struct Case {
        const char* name;
        Alert alert;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"3 % up within 15 minutes",
         moveAlert(3, 15),
         {{0, 100, 0}, {5 * kMinute, 101, 0}, {10 * kMinute, 103, 3}}},
        {"a sample exactly at the edge counts",
         moveAlert(3, 15),
         {{0, 100, 0}, {15 * kMinute, 103, 3}}},
        {"one millisecond beyond the edge does not",
         moveAlert(3, 15),
         {{0, 100, 0}, {15 * kMinute + 1, 103, 0}}},
        {"down from the high of the span",
         moveAlert(2, 5),
         {{0, 100, 0}, {kMinute, 101, 0}, {2 * kMinute, 98.97, (98.97 / 101 - 1) * 100}}},
        {"held off while its span runs, re-armed after",
         moveAlert(3, 5),
         {{0, 100, 0},
          {kMinute, 104, 4},
          {2 * kMinute, 100, 0},
          {3 * kMinute, 104, 0},
          {8 * kMinute, 104.5, 0},
          {8 * kMinute + 10000, 100, (100 / 104.5 - 1) * 100}}},
    };
    for (const Case& c : cases) {
        AlertBook book;
        book.alerts = {c.alert};
        for (const Step& step : c.steps) {
            const std::int64_t now = kNow + step.atMs;
            const auto fired = evaluateAlerts(book, boardWith(kBtc, step.price, now), shown, now);
            if (step.firedPct == 0) {
                EXPECT_TRUE(fired.empty()) << c.name << " at " << step.atMs;
            } else {
                ASSERT_EQ(fired.size(), 1u) << c.name << " at " << step.atMs;
                EXPECT_NEAR(fired[0].movePct, step.firedPct, 1e-9) << c.name;
            }
        }
    }
}

TEST(AlertMoves, ClockGoingBackwardsStartsTheHistoryOver) {
    const IndexList shown{kBitget};
    AlertBook book;
    book.alerts = {moveAlert(3, 15)};
    evaluateAlerts(book, boardWith(kBtc, 100, kNow), shown, kNow);
    const std::int64_t back = kNow - 10 * kMinute;
    EXPECT_TRUE(evaluateAlerts(book, boardWith(kBtc, 104, back), shown, back).empty());
    ASSERT_EQ(book.history[kBtc].size(), 1u);
    EXPECT_EQ(book.history[kBtc].front().atMs, back);

    // A firing "in the future" after the clock went back does not hold the alert off.
    book.alerts[0].lastFiredMs = kNow + kMinute;
    EXPECT_EQ(evaluateAlerts(book, boardWith(kBtc, 108, back + 1000), shown, back + 1000).size(),
              1u);
}

TEST(AlertMoves, HistoryStaysBounded) {
    PriceHistory history;
    // One price a second for five hours.
    for (std::int64_t s = 0; s < 5 * 3600; ++s) {
        recordSample(history, kNow + s * 1000, 100.0 + static_cast<double>(s % 7));
    }
    const std::size_t slots = kMaxMoveWindowMin * kMinute / kSampleBucketMs + 1;
    EXPECT_LE(history.size(), slots);
    EXPECT_GE(history.back().atMs - history.front().atMs, kMaxMoveWindowMin * kMinute - 5000);
    EXPECT_DOUBLE_EQ(history.back().low, 100);
    EXPECT_DOUBLE_EQ(history.back().high, 106);
}

TEST(AlertStore, StoredFormParsesAndRejects) {
    struct Case {
        const wchar_t* line;
        bool ok;
    };
    const Case cases[] = {
        {L"BTC above 100000 repeat 1733700000000", true},
        {L"ETH below 2500.5 once", true},
        {L"SUI move 3 15 once 0", true},
        {L"  BTC   move 0.1 240 repeat  ", true},
        {L"", false},
        {L"DOGE above 1 once", false},
        {L"BTC sideways 1 once", false},
        {L"BTC above -5 once", false},
        {L"BTC above 0 once", false},
        {L"BTC above nan once", false},
        {L"BTC above 1e999 once", false},
        {L"BTC above 100 sometimes", false},
        {L"BTC above 100 once -1", false},
        {L"BTC above 100 once 5 extra", false},
        {L"BTC above 100,000 once", false},
        {L"ETH move 0.05 15 once", false},
        {L"ETH move 51 15 once", false},
        {L"ETH move 3 0 once", false},
        {L"ETH move 3 241 once", false},
        {L"ETH move 3 once", false},
        {L"ETH above １００ once", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseAlert(c.line).has_value(), c.ok) << toUtf8(c.line);
    }
    const auto move = parseAlert(L"SUI move 3 15 repeat 42");
    ASSERT_TRUE(move);
    EXPECT_EQ(move->coin, 2u);
    EXPECT_EQ(move->kind, AlertKind::Move);
    EXPECT_EQ(move->windowMin, 15);
    EXPECT_TRUE(move->repeat);
    EXPECT_EQ(move->lastFiredMs, 42);

    EXPECT_EQ(formatAlert(levelAlert(AlertKind::Above, 100000)), L"BTC above 100000 repeat 0");
    EXPECT_EQ(formatAlert(moveAlert(0.5, 15, false)), L"BTC move 0.5 15 once 0");
    for (const Alert& a : {levelAlert(AlertKind::Below, 0.1234567),
                           levelAlert(AlertKind::Above, 1e-300), moveAlert(2.5, 60, false)}) {
        const auto back = parseAlert(formatAlert(a));
        ASSERT_TRUE(back) << toUtf8(formatAlert(a));
        EXPECT_EQ(back->value, a.value);
        EXPECT_EQ(back->windowMin, a.windowMin);
        EXPECT_EQ(back->repeat, a.repeat);
    }
}

TEST(AlertStore, FileSkipsMalformedEntriesAndDropsThemOnSave) {
    const fs::path folder =
        fs::temp_directory_path() /
        ("vindral-alerts-" + std::to_string(reinterpret_cast<std::uintptr_t>(&folder)));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::wstring path = (folder / "vindral.ini").wstring();
    {
        std::ofstream out(folder / "vindral.ini", std::ios::binary);
        out << "[Vindral]\r\nIntervalSec=7\r\nAlert1=BTC above 100000 repeat 5\r\n"
               "Alert2=garbage\r\nAlert3=ETH move 3 15 once\r\nAlertSound=1\r\n";
    }
    AlertSettings loaded = loadAlertSettings(path);
    ASSERT_EQ(loaded.alerts.size(), 2u);
    EXPECT_EQ(loaded.alerts[1].kind, AlertKind::Move);
    EXPECT_TRUE(loaded.sound);

    loaded.sound = false;
    saveAlertSettings(loaded, path);
    EXPECT_EQ(ini::readText(path, L"Alert2", L"<absent>"), L"ETH move 3 15 once 0");
    EXPECT_EQ(ini::readText(path, L"Alert3", L"<absent>"), L"");
    EXPECT_EQ(loadSettings(path).intervalMs, 7000);
    EXPECT_FALSE(loadAlertSettings(path).sound);
    EXPECT_EQ(loadAlertSettings(path).alerts.size(), 2u);

    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

TEST(AlertTexts, NotificationAndListRows) {
    AlertFiring above{levelAlert(AlertKind::Above, 100000), 100012.5, 0, 3};
    EXPECT_EQ(alertNotificationText(above, IndexList{0, 1, 2}),
              L"BTC 100,000.00 돌파 ▲ · 평균 3곳");
    AlertFiring below{levelAlert(AlertKind::Below, 90000), 89990, 0, 1};
    EXPECT_EQ(alertNotificationText(below, IndexList{kBitget}), L"BTC 90,000.00 이탈 ▼ · Bitget");
    AlertFiring move{moveAlert(3, 15), 2900, -3.1234, 1};
    move.alert.coin = kEth;
    EXPECT_EQ(alertNotificationText(move, IndexList{kBitget}), L"ETH 15분 동안 −3.12% ▼");
    move.movePct = 4.5;
    EXPECT_EQ(alertNotificationText(move, IndexList{kBitget}), L"ETH 15분 동안 +4.50% ▲");

    EXPECT_EQ(alertListText(levelAlert(AlertKind::Above, 100000)),
              L"BTC\t100,000.00 이상\t반복\t-");
    EXPECT_EQ(alertListText(moveAlert(3, 15, false)), L"BTC\t15분 3.00% 변동\t1회\t-");
}

TEST(AlertForm, ChecksInTheDialogsOrder) {
    struct Case {
        AlertKind kind;
        const wchar_t* value;
        const wchar_t* minutes;
        std::size_t listSize;
        AlertFormError error;
    };
    const Case cases[] = {
        {AlertKind::Above, L"100,000", L"", 0, AlertFormError::None},
        {AlertKind::Below, L" 0.5 ", L"", 19, AlertFormError::None},
        {AlertKind::Above, L"0", L"", 0, AlertFormError::Price},
        {AlertKind::Above, L"-3", L"", 0, AlertFormError::Price},
        {AlertKind::Above, L"abc", L"", 0, AlertFormError::Price},
        {AlertKind::Below, L"", L"", 0, AlertFormError::Price},
        {AlertKind::Move, L"0.1", L"1", 0, AlertFormError::None},
        {AlertKind::Move, L"50", L"240", 0, AlertFormError::None},
        {AlertKind::Move, L"0.09", L"15", 0, AlertFormError::Percent},
        {AlertKind::Move, L"50.01", L"15", 0, AlertFormError::Percent},
        {AlertKind::Move, L"3", L"0", 0, AlertFormError::Minutes},
        {AlertKind::Move, L"3", L"241", 0, AlertFormError::Minutes},
        {AlertKind::Move, L"3", L"1.5", 0, AlertFormError::Minutes},
        {AlertKind::Move, L"3", L"", 0, AlertFormError::Minutes},
        {AlertKind::Above, L"100", L"", 20, AlertFormError::TooMany},
    };
    for (const Case& c : cases) {
        Alert out = levelAlert(AlertKind::Below, 1);
        AlertFormInput input{kEth, c.kind, c.value, c.minutes, true};
        EXPECT_EQ(collectAlertForm(input, c.listSize, out), c.error) << toUtf8(c.value);
        if (c.error == AlertFormError::None) {
            EXPECT_EQ(out.coin, kEth);
            EXPECT_EQ(out.kind, c.kind);
            EXPECT_GT(out.value, 0);
        } else {
            EXPECT_EQ(out.value, 1);
            EXPECT_FALSE(alertFormMessage(c.error).empty());
        }
    }
    EXPECT_EQ(alertFormMessage(AlertFormError::Price), L"가격은 0보다 큰 숫자로 입력하세요.");
}

TEST(AlertBookEdits, ReplacingKeepsTheStateOfUnchangedAlerts) {
    AlertBook book;
    book.alerts = {levelAlert(AlertKind::Above, 100)};
    feed(book, {99});
    ASSERT_EQ(book.alerts[0].state, AlertState::Armed);
    replaceAlerts(book, {levelAlert(AlertKind::Above, 100), levelAlert(AlertKind::Above, 200)});
    EXPECT_EQ(book.alerts[0].state, AlertState::Armed);
    EXPECT_EQ(book.alerts[1].state, AlertState::Waiting);
    EXPECT_EQ(armedAlertCount(book), 1);
}

TEST(AlertBookEdits, OneShotThatFiredBehindTheDialogStaysGone) {
    AlertBook book;
    book.alerts = {levelAlert(AlertKind::Above, 100, false), levelAlert(AlertKind::Below, 50)};
    const std::vector<Alert> shown = book.alerts;
    EXPECT_EQ(feed(book, {99, 101}), (std::vector<int>{0, 1}));
    ASSERT_EQ(book.alerts.size(), 1u);

    // The user only added an alert; the OK must not bring the fired one back.
    std::vector<Alert> edited = shown;
    edited.push_back(levelAlert(AlertKind::Above, 300, false));
    replaceAlertsFromDialog(book, shown, edited);
    ASSERT_EQ(book.alerts.size(), 2u);
    EXPECT_EQ(book.alerts[0].value, 50);
    EXPECT_EQ(book.alerts[1].value, 300);

    // Without a firing meanwhile the dialog's list is taken whole.
    const std::vector<Alert> again = book.alerts;
    replaceAlertsFromDialog(book, again, {levelAlert(AlertKind::Above, 300, false)});
    ASSERT_EQ(book.alerts.size(), 1u);
    EXPECT_EQ(book.alerts[0].value, 300);
}

TEST(AlertView, MenuItemTipLineAndBell) {
    const std::vector<MenuItem> menu = withAlertsItem(buildContextMenu(Settings{}, true));
    ASSERT_GE(menu.size(), 3u);
    EXPECT_EQ(menu[0].id, kCmdSettings);
    EXPECT_EQ(menu[1].id, kCmdAlerts);
    EXPECT_EQ(menu[1].text, L"가격 알림…");
    EXPECT_EQ(menu[2].id, kCmdRefresh);

    AlertBook book;
    EXPECT_EQ(alertsTipLine(book), L"");
    book.alerts = {levelAlert(AlertKind::Above, 100), levelAlert(AlertKind::Below, 50)};
    EXPECT_EQ(alertsTipLine(book), L"\n알림 0개 대기");
    feed(book, {80});
    EXPECT_EQ(alertsTipLine(book), L"\n알림 2개 대기");

    EXPECT_NE(bellLit(kNow), bellLit(kNow + 1000));
    EXPECT_EQ(bellLit(kNow), bellLit(kNow + 999));
}

}  // namespace
}  // namespace vindral
