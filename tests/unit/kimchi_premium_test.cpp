#include "core/kimchi_premium.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/format.h"

namespace vindral {
namespace {

constexpr std::uint32_t kBtc = 0;
constexpr std::uint32_t kBinance = 0;
constexpr std::uint32_t kBitget = 1;
constexpr std::uint32_t kBybit = 2;

// With the default interval of 5000 ms a price is fresh for 13000 ms.
constexpr std::int64_t kFreshMs = 13000;
constexpr std::int64_t kHourMs = 60 * 60 * 1000;

// Sunday 2026-08-30 13:30:30 KST.
constexpr std::int64_t kNow = 1788064230000;
// The composed bank posting, 13:29:42 KST that day.
constexpr std::int64_t kBankPosting = 1788064182000;
// Friday 2026-08-28 20:01 KST, the last posting before the weekend.
constexpr std::int64_t kFridayEvening = 1787914860000;
constexpr std::int64_t kSundayNight = 1788098400000;       // 23:00 KST
constexpr std::int64_t kTuesdayMorning = 1788220800000;    // 09:00 KST after a Monday holiday
constexpr std::int64_t kEcbFridayPosting = 1787925600000;  // 2026-08-28 14:00 UTC
constexpr std::int64_t kEcbMonday = kEcbFridayPosting + 66 * kHourMs;  // 08:00 UTC

PriceCell cellAt(double price, std::int64_t updatedAtMs) {
    PriceCell cell;
    cell.hasData = true;
    cell.lastOk = true;
    cell.price = price;
    cell.prevPrice = price;
    cell.updatedAtMs = updatedAtMs;
    return cell;
}

PriceCell failedCell(const std::string& error) {
    PriceCell cell;
    cell.error = error;
    return cell;
}

FxCell fxAt(double krwPerUsd, std::int64_t postedAtMs, FxSource source = FxSource::Bank,
            const std::string& provider = "하나은행") {
    FxCell fx;
    applyFxFetch(fx, FxQuote{krwPerUsd, postedAtMs, source, provider}, {});
    return fx;
}

// A board whose BTC cells on Binance, Bitget and Bybit hold the given cells.
PriceBoard boardWith(const PriceCell& binance, const PriceCell& bitget, const PriceCell& bybit) {
    PriceBoard board;
    board.cells[kBinance][kBtc] = binance;
    board.cells[kBitget][kBtc] = bitget;
    board.cells[kBybit][kBtc] = bybit;
    return board;
}

const IndexList kOne{kBitget};
const IndexList kThree{kBinance, kBitget, kBybit};

double expectedPct(double krw, double usdt, double rate) {
    return (krw / (usdt * rate) - 1) * 100;
}

TEST(PremiumPct, NeedsThreePositiveFiniteInputs) {
    struct Case {
        double krw;
        double usdt;
        double rate;
        std::optional<double> expected;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {108580000, 77412.3, 1391.5, 0.7991002778882539},
        {1391.5, 1, 1391.5, 0.0},
        {1000, 1, 1100, -9.090909090909092},
        {0, 77412.3, 1391.5, std::nullopt},
        {108580000, 0, 1391.5, std::nullopt},
        {108580000, 77412.3, 0, std::nullopt},
        {108580000, -1, 1391.5, std::nullopt},
        {nan, 77412.3, 1391.5, std::nullopt},
        {108580000, nan, 1391.5, std::nullopt},
        {inf, 77412.3, 1391.5, std::nullopt},
        {108580000, 1e300, 1e300, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<double> pct = premiumPct(c.krw, c.usdt, c.rate);
        ASSERT_EQ(c.expected.has_value(), pct.has_value()) << c.krw << " " << c.usdt;
        if (pct) {
            EXPECT_NEAR(*c.expected, *pct, 1e-9);
        }
    }
}

TEST(PremiumView, FreshnessOfEachInput) {
    struct Case {
        const char* what;
        PriceBoard board;
        IndexList exchanges;
        PriceCell krw;
        FxCell fx;
        std::int64_t now;
        std::optional<double> expected;  // the premium, else the reason below
        const wchar_t* reason;
    };
    const PriceCell usdt = cellAt(77412.3, kNow - 1000);
    const PriceCell krw = cellAt(108580000, kNow - 3000);
    const FxCell fx = fxAt(1391.5, kBankPosting);
    const PriceBoard single = boardWith({}, usdt, {});
    const double premium = expectedPct(108580000, 77412.3, 1391.5);
    FxCell fxFailedSince = fx;
    applyFxFetch(fxFailedSince, std::nullopt, "환율 조회 실패 (두나무 HTTP 500 · ECB 연결 실패)");
    PriceCell zeroKrw = krw;
    zeroKrw.price = 0;

    const Case cases[] = {
        {"all fresh", single, kOne, krw, fx, kNow, premium, L""},
        {"mean of the fresh exchanges only",
         boardWith(cellAt(77400, kNow - 1000), cellAt(77500, kNow - 2000),
                   cellAt(70000, kNow - kFreshMs - 1)),
         kThree, krw, fx, kNow, expectedPct(108580000, 77450, 1391.5), L""},
        {"upbit price at the edge of freshness", single, kOne, cellAt(108580000, kNow - kFreshMs),
         fx, kNow, premium, L""},
        {"upbit price stale", single, kOne, cellAt(108580000, kNow - kFreshMs - 1), fx, kNow,
         std::nullopt, L"업비트 오래됨"},
        {"upbit never answered", single, kOne, failedCell("업비트 HTTP 404 Code not found"), fx,
         kNow, std::nullopt, L"업비트 시세 없음"},
        {"single exchange stale", boardWith({}, cellAt(77412.3, kNow - kFreshMs - 1), {}), kOne,
         krw, fx, kNow, std::nullopt, L"USDT 시세 오래됨"},
        {"no fresh exchange in the mean",
         boardWith(cellAt(77400, kNow - kFreshMs - 1), {}, cellAt(77500, kNow - 60000)), kThree,
         krw, fx, kNow, std::nullopt, L"USDT 시세 없음"},
        {"no exchange shown", single, {}, krw, fx, kNow, std::nullopt, L"USDT 시세 없음"},
        {"no rate yet", single, kOne, krw, FxCell{}, kNow, std::nullopt, L"환율 없음"},
        {"rate failing since, still fresh", single, kOne, krw, fxFailedSince, kNow, premium, L""},
        {"rate posted exactly 72 hours ago", single, kOne, krw, fxAt(1391.5, kNow - 72 * kHourMs),
         kNow, premium, L""},
        {"rate posted 72 hours and 1 ms ago", single, kOne, krw,
         fxAt(1391.5, kNow - 72 * kHourMs - 1), kNow, std::nullopt, L"환율 오래됨"},
        {"weekend: Friday's rate on Sunday night",
         boardWith({}, cellAt(77412.3, kSundayNight - 1000), {}), kOne,
         cellAt(108580000, kSundayNight - 3000), fxAt(1391.5, kFridayEvening), kSundayNight,
         premium, L""},
        {"long weekend: Friday's rate on Tuesday morning",
         boardWith({}, cellAt(77412.3, kTuesdayMorning - 1000), {}), kOne,
         cellAt(108580000, kTuesdayMorning - 3000), fxAt(1391.5, kFridayEvening), kTuesdayMorning,
         std::nullopt, L"환율 오래됨"},
        {"ECB's Friday rate on Monday morning",
         boardWith({}, cellAt(77412.3, kEcbMonday - 1000), {}), kOne,
         cellAt(108580000, kEcbMonday - 3000),
         fxAt(1390.87, kEcbFridayPosting, FxSource::Ecb, "ECB"), kEcbMonday,
         expectedPct(108580000, 77412.3, 1390.87), L""},
        {"posting time ahead of this clock", single, kOne, krw, fxAt(1391.5, kNow + kHourMs), kNow,
         premium, L""},
        {"everything missing", PriceBoard{}, kOne, PriceCell{}, FxCell{}, kNow, std::nullopt,
         L"업비트 시세 없음 · USDT 시세 없음 · 환율 없음"},
        {"everything stale", single, kOne, cellAt(108580000, kNow - kHourMs),
         fxAt(1391.5, kNow - 100 * kHourMs), kNow + kHourMs, std::nullopt,
         L"업비트 오래됨 · USDT 시세 오래됨 · 환율 오래됨"},
        {"upbit price of 0 from a bad document", single, kOne, zeroKrw, fx, kNow, std::nullopt,
         L"김프 계산 불가"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const PremiumView view = premiumView(c.board, kBtc, c.exchanges, c.krw, c.fx, c.now);
        ASSERT_EQ(c.expected.has_value(), view.hasValue) << toUtf8(view.reason);
        EXPECT_EQ(c.reason, view.reason);
        if (c.expected) {
            EXPECT_NEAR(*c.expected, view.pct, 1e-9);
        }
    }
}

TEST(ApplyFxFetch, AFailureKeepsTheLastRate) {
    FxCell fx;
    applyFxFetch(fx, std::nullopt, "환율 조회 실패 (두나무 연결 실패 · ECB 연결 실패)");
    EXPECT_FALSE(fx.hasData);
    EXPECT_FALSE(fx.lastOk);
    EXPECT_EQ("환율 조회 실패 (두나무 연결 실패 · ECB 연결 실패)", fx.error);

    applyFxFetch(fx, FxQuote{1391.5, kBankPosting, FxSource::Bank, "하나은행"}, {});
    EXPECT_TRUE(fx.hasData);
    EXPECT_TRUE(fx.lastOk);
    EXPECT_EQ("", fx.error);

    applyFxFetch(fx, std::nullopt, "환율 조회 실패 (두나무 HTTP 500 · ECB HTTP 502)");
    EXPECT_TRUE(fx.hasData);
    EXPECT_FALSE(fx.lastOk);
    EXPECT_DOUBLE_EQ(1391.5, fx.quote.krwPerUsd);
    EXPECT_EQ(kBankPosting, fx.quote.postedAtMs);
    EXPECT_EQ("환율 조회 실패 (두나무 HTTP 500 · ECB HTTP 502)", fx.error);
}

TEST(KimchiFormat, WonPrices) {
    const struct {
        double krw;
        const wchar_t* text;
    } cases[] = {
        {108580000, L"₩108,580,000"},
        {4276000, L"₩4,276,000"},
        {3295, L"₩3,295"},
        {1000, L"₩1,000"},
        {999.6, L"₩1,000"},
        {100, L"₩100"},
        {1234567.5, L"₩1,234,568"},
        {99.994, L"₩99.99"},
        {99.996, L"₩100.00"},
        {85.4, L"₩85.40"},
        {0.5, L"₩0.50"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text, formatKrwPrice(c.krw)) << c.krw;
    }
    // A document from elsewhere may carry anything; none of it may throw or print "inf".
    EXPECT_EQ(L"—", formatKrwPrice(std::numeric_limits<double>::infinity()));
    EXPECT_EQ(L"—", formatKrwPrice(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_NO_THROW(formatKrwPrice(1e70));
}

TEST(KimchiFormat, PremiumTextsAndDimming) {
    const struct {
        std::optional<double> pct;
        const wchar_t* text;
        const wchar_t* compact;
        bool dim;
    } cases[] = {
        {1.2345, L"+1.23%", L"김프 +1.2%", false}, {0.7991, L"+0.80%", L"김프 +0.8%", false},
        {-2.06, L"-2.06%", L"김프 -2.1%", false},  {0.0, L"+0.00%", L"김프 +0.0%", true},
        {-0.004, L"+0.00%", L"김프 +0.0%", true},  {0.0049, L"+0.00%", L"김프 +0.0%", true},
        {-0.005, L"-0.01%", L"김프 +0.0%", false}, {-0.04, L"-0.04%", L"김프 +0.0%", false},
        {-0.06, L"-0.06%", L"김프 -0.1%", false},  {std::nullopt, L"—", L"김프 —", true},
    };
    for (const auto& c : cases) {
        PremiumView view;
        view.hasValue = c.pct.has_value();
        view.pct = c.pct.value_or(0);
        SCOPED_TRACE(toUtf8(c.text));
        EXPECT_EQ(c.text, premiumText(view));
        EXPECT_EQ(c.compact, compactPremiumText(view));
        EXPECT_EQ(c.dim, premiumIsDim(view));
    }
}

TEST(KimchiFormat, HoverTextNamesEachInputWithItsAge) {
    struct Case {
        const char* what;
        PriceBoard board;
        IndexList exchanges;
        PriceCell krw;
        FxCell fx;
        std::int64_t now;
        const wchar_t* text;
    };
    const PriceCell krw = cellAt(108580000, kNow - 3000);
    const FxCell fx = fxAt(1391.5, kBankPosting);
    FxCell fxFailed;
    applyFxFetch(fxFailed, std::nullopt, "환율 조회 실패 (두나무 HTTP 500 · ECB 연결 실패)");
    PriceBoard failing;
    failing.cells[kBinance][kBtc] = failedCell("HTTP 451 지역 제한");

    const Case cases[] = {
        {"mean of three",
         boardWith(cellAt(77400.1, kNow - 1000), cellAt(77412.3, kNow - 1400),
                   cellAt(77424.5, kNow - 1200)),
         kThree, krw, fx, kNow,
         L"업비트 108,580,000 · 3초 전\n평균 77,412.30 USDT · 1초 전\n환율 1,391.50 · 하나은행 "
         L"13:29"},
        {"the oldest fresh price dates the mean; stale ones are left out",
         boardWith(cellAt(77400.1, kNow - 1000), cellAt(77424.5, kNow - 4500),
                   cellAt(1, kNow - kFreshMs - 1)),
         kThree, krw, fx, kNow,
         L"업비트 108,580,000 · 3초 전\n평균 77,412.30 USDT · 4초 전\n환율 1,391.50 · 하나은행 "
         L"13:29"},
        {"one exchange by name", boardWith({}, cellAt(77412.3, kNow - 1000), {}), kOne, krw, fx,
         kNow,
         L"업비트 108,580,000 · 3초 전\nBitget 77,412.30 USDT · 1초 전\n환율 1,391.50 · "
         L"하나은행 13:29"},
        {"weekend rate shows its age", boardWith({}, cellAt(77412.3, kSundayNight - 1000), {}),
         kOne, cellAt(108580000, kSundayNight - 3000), fxAt(1391.5, kFridayEvening), kSundayNight,
         L"업비트 108,580,000 · 3초 전\nBitget 77,412.30 USDT · 1초 전\n환율 1,391.50 · "
         L"하나은행 20:01 · 50시간 전"},
        {"stale rate: the reason first", boardWith({}, cellAt(77412.3, kTuesdayMorning - 1000), {}),
         kOne, cellAt(108580000, kTuesdayMorning - 3000), fxAt(1391.5, kFridayEvening),
         kTuesdayMorning,
         L"환율 오래됨\n업비트 108,580,000 · 3초 전\nBitget 77,412.30 USDT · 1초 전\n환율 "
         L"1,391.50 · 하나은행 20:01 · 84시간 전"},
        {"ECB rate by its date", boardWith({}, cellAt(77412.3, kNow - 1000), {}), kOne, krw,
         fxAt(1390.87, kEcbFridayPosting, FxSource::Ecb, "ECB"), kNow,
         L"업비트 108,580,000 · 3초 전\nBitget 77,412.30 USDT · 1초 전\n환율 1,390.87 · ECB 8월 "
         L"28일"},
        {"stale single exchange keeps its price and age",
         boardWith({}, cellAt(77412.3, kNow - 20000), {}), kOne, krw, fx, kNow,
         L"USDT 시세 오래됨\n업비트 108,580,000 · 3초 전\nBitget 77,412.30 USDT · 20초 전\n환율 "
         L"1,391.50 · 하나은행 13:29"},
        {"failures as their texts", failing, kThree, failedCell("업비트 HTTP 404 Code not found"),
         fxFailed, kNow,
         L"업비트 시세 없음 · USDT 시세 없음 · 환율 없음\n업비트 HTTP 404 Code not found\n평균 "
         L"조회 실패\n환율 조회 실패 (두나무 HTTP 500 · ECB 연결 실패)"},
        {"nothing yet", PriceBoard{}, kOne, PriceCell{}, FxCell{}, kNow,
         L"업비트 시세 없음 · USDT 시세 없음 · 환율 없음\n업비트 조회 중…\nBitget 조회 "
         L"중…\n환율 조회 중…"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.text, premiumHoverText(c.board, kBtc, c.exchanges, c.krw, c.fx, c.now))
            << c.what;
    }
}

}  // namespace
}  // namespace vindral
