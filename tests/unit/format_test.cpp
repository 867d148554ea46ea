#include "core/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

namespace vindral {
namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

TEST(FormatPrice, DecimalsByMagnitudeAndSeparators) {
    struct Case {
        double value;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {67123.456, L"67,123.46"},
        {1234.5, L"1,234.50"},
        {1234567.891, L"1,234,567.89"},
        {1000, L"1,000.00"},
        {999.994, L"999.99"},
        {999.996, L"1,000.00"},
        {100, L"100.00"},
        {99.999, L"99.9990"},
        {99.99999, L"100.0000"},
        {2.5, L"2.5000"},
        {1, L"1.0000"},
        {0.99999999, L"1.000000"},
        {0.1234567, L"0.123457"},
        {0, L"0.000000"},
        {-123.45, L"-123.450000"},
        {-1234.5, L"-1,234.500000"},
        {-1234567.25, L"-1,234,567.250000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatPrice(c.value), c.expected) << c.value;
    }
}

TEST(FormatPrice, HugeValueIsCutNotOverrun) {
    const std::wstring text = formatPrice(1e300);
    EXPECT_EQ(text.substr(0, 8), L"100,000,");
    // 63 printed characters with a separator after every three digits.
    EXPECT_EQ(text.size(), 63u + 20u);
    EXPECT_EQ(text.find(L'.'), std::wstring::npos);
}

TEST(FormatPercent, SignAndZeroing) {
    struct Case {
        double value;
        bool withSign;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0, true, L"+0.00%"},       {-0.0, true, L"+0.00%"},   {-0.004, true, L"+0.00%"},
        {0.004, true, L"+0.00%"},   {-0.005, true, L"-0.01%"}, {0.005, true, L"+0.01%"},
        {3.14159, true, L"+3.14%"}, {-12.5, true, L"-12.50%"}, {12.345, false, L"12.35%"},
        {-0.004, false, L"0.00%"},  {-7.25, false, L"-7.25%"}, {1234.5, false, L"1234.50%"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatPercent(c.value, c.withSign), c.expected) << c.value;
    }
    EXPECT_EQ(formatPercent(1e300, true).size(), 31u);
}

TEST(FormatNumbers, ValuesThatAreNotFiniteNeverPrintAsNanOrInf) {
    for (const double v :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(formatPrice(v), L"—") << v;
        EXPECT_EQ(formatPercent(v, true), L"—") << v;
        EXPECT_EQ(formatPercent(v, false), L"—") << v;
    }
}

TEST(FormatAge, UnitBoundaries) {
    struct Case {
        std::int64_t ageMs;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0, L"0초"},
        {999, L"0초"},
        {-999, L"0초"},
        {-1500, L"-1초"},
        {59999, L"59초"},
        {60000, L"1분"},
        {119999, L"1분"},
        {3599999, L"59분"},
        {3600000, L"1시간"},
        {86400000, L"24시간"},
        {kInt64Max, L"2562047788015시간"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatAge(c.ageMs), c.expected) << c.ageMs;
    }
}

TEST(FormatInterval, KoreanUnits) {
    struct Case {
        std::int32_t seconds;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0, L"0초"},      {5, L"5초"},
        {59, L"59초"},    {60, L"1분"},
        {61, L"1분 1초"}, {90, L"1분 30초"},
        {300, L"5분"},    {3600, L"60분"},
        {-5, L"-5초"},    {kInt32Max, L"35791394분 7초"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatInterval(c.seconds), c.expected) << c.seconds;
    }
}

TEST(ParseInterval, Accepted) {
    struct Case {
        const wchar_t* text;
        std::int32_t seconds;
    };
    const Case cases[] = {
        {L"5", 5},
        {L"0", 0},
        {L"30초", 30},
        {L"2분", 120},
        {L"1:30", 90},
        {L"1분 30초", 90},
        {L"1분30초", 90},
        {L"1m30s", 90},
        {L"1M30S", 90},
        {L"1m30", 90},
        {L"90 SEC", 90},
        {L"2 min", 120},
        {L"0:05", 5},
        {L"1:5", 65},
        {L"00:30", 30},
        {L"1:2:3", 62},
        {L"1:5x", 65},
        {L"+1:30", 90},
        {L"1:59", 119},
        {L"5초5", 10},
        {L" \t5 분 30\r\n", 330},
        {L"1\u3000분\u00A0", 60},
        {L"007s", 7},
        {L"2147483647", kInt32Max},
        {L"35791394분 7초", kInt32Max},
        {L"35791394:07", kInt32Max},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseInterval(c.text), c.seconds) << "text [" << c.text << "]";
    }
}

TEST(ParseInterval, Rejected) {
    const wchar_t* cases[] = {
        L"",
        L"   ",
        L"abc",
        L"-5",
        L"+5",
        L"1.5분",
        L"5h",
        L"5 hours",
        L"1:60",
        L"1:",
        L":30",
        L"-1:30",
        L"1:-5",
        L"1:x",
        L"분",
        L"5초 abc",
        // Beyond the 32-bit range, in one group, in a sum of groups or in minutes:seconds.
        L"2147483648",
        L"99999999999999999999",
        L"71582789분 44초",
        L"2147483647s1s",
        L"35791395:0",
        L"2147483648:0",
    };
    for (const wchar_t* text : cases) {
        EXPECT_EQ(parseInterval(text), -1) << "text [" << text << "]";
    }
}

TEST(FormatClock, UnconvertibleTimesShowDashes) {
    for (const std::int64_t ms :
         {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min(), kInt64Max,
          kInt64Max / 10000, std::int64_t{910692730085477}, std::int64_t{910692730085478}}) {
        EXPECT_EQ(formatClock(ms), L"--:--:--") << ms;
    }
}

// Every zone in use today is a whole number of quarter hours off UTC, so the seconds of the
// local clock are those of UTC and the minutes differ by a multiple of 15 whatever the zone.
TEST(FormatClock, FollowsUtcUpToTheZoneOffset) {
    const std::int64_t times[] = {1,
                                  999,
                                  1'000,
                                  61'000,
                                  1'700'000'000'000,
                                  1'700'000'059'999,
                                  32'503'680'000'000 /* year 3000 */};
    for (const std::int64_t ms : times) {
        const std::wstring text = formatClock(ms);
        ASSERT_EQ(text.size(), 8u) << ms;
        ASSERT_EQ(text[2], L':');
        ASSERT_EQ(text[5], L':');
        const int hour = std::stoi(text.substr(0, 2));
        const int minute = std::stoi(text.substr(3, 2));
        const int second = std::stoi(text.substr(6, 2));
        const std::int64_t utcSeconds = ms / 1000;
        EXPECT_LT(hour, 24);
        EXPECT_EQ(second, utcSeconds % 60) << ms;
        EXPECT_EQ((minute - utcSeconds / 60 % 60 + 60) % 15, 0) << ms;
    }
}

#ifndef _WIN32
// Natively the zone can be pinned for one test; under Wine the zone is fixed per process.
TEST(FormatClock, KnownZoneNative) {
    const char* saved = std::getenv("TZ");
    const std::string previous = saved != nullptr ? saved : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(formatClock(1), L"00:00:00");
    EXPECT_EQ(formatClock(1'700'000'000'000), L"22:13:20");
    setenv("TZ", "Asia/Seoul", 1);
    tzset();
    EXPECT_EQ(formatClock(1'700'000'000'000), L"07:13:20");
    if (saved != nullptr) {
        setenv("TZ", previous.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}
#endif

TEST(Utf8, RoundTripAndBytes) {
    EXPECT_EQ(toUtf8(L""), "");
    EXPECT_EQ(fromUtf8(""), L"");
    EXPECT_EQ(toUtf8(L"가"), "\xEA\xB0\x80");
    EXPECT_EQ(fromUtf8("\xEA\xB0\x80"), L"가");

    const std::wstring texts[] = {L"조회 실패", L"비트코인 BTC ₩1,000 · 갱신", L"\U0001F600 é",
                                  std::wstring(1, L'\0') + L"x"};
    for (const std::wstring& text : texts) {
        EXPECT_EQ(fromUtf8(toUtf8(text)), text);
    }
    EXPECT_EQ(toUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Utf8, InvalidInputBecomesReplacementCharacters) {
    struct Case {
        std::string bytes;
        std::wstring expected;
    };
    const Case cases[] = {
        {"a\xFF"
         "b",
         L"a\uFFFDb"},
        {"\x80", L"\uFFFD"},
        {"x\xEA\xB0", L"x\uFFFD"},
        {"\xEA\xB0z", L"\uFFFDz"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fromUtf8(c.bytes), c.expected);
    }
    std::wstring loneSurrogate = L"a";
    loneSurrogate.push_back(static_cast<wchar_t>(0xD800));
    loneSurrogate.push_back(L'b');
    EXPECT_EQ(toUtf8(loneSurrogate),
              "a\xEF\xBF\xBD"
              "b");
}

TEST(WallClock, IsNearTheStandardClock) {
    const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr)) * 1000;
    const std::int64_t now = wallClockMs();
    const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr)) * 1000 + 1000;
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

}  // namespace
}  // namespace vindral
