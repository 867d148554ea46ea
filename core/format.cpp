#include "core/format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cwchar>
#include <limits>
#include <optional>

#include "core/format_platform.h"

namespace vindral {

namespace {

constexpr std::size_t kPriceBufferSize = 64;
constexpr std::size_t kTextBufferSize = 32;
// Largest output the fallback of printWide formats in full before cutting it.
constexpr std::size_t kMaxFormattedSize = std::size_t{1} << 16;

constexpr std::wstring_view kNoClock = L"--:--:--";
// Shown for a number that is not finite: "nan" or "inf" never reach the screen.
constexpr std::wstring_view kNoNumber = L"—";
// The calendar conversions of Windows end in the year 30827; the native build stops there too.
constexpr int kMaxClockYear = 30827;
constexpr std::int64_t kMaxClockMs =
    (std::numeric_limits<std::int64_t>::max() - detail::kFileTimeEpochOffset) /
    detail::kFileTimeTicksPerMs;

constexpr std::int64_t kMsPerSecond = 1000;
constexpr std::int64_t kMsPerMinute = 60 * kMsPerSecond;
constexpr std::int64_t kMsPerHour = 60 * kMsPerMinute;
constexpr std::int32_t kSecondsPerMinute = 60;
constexpr std::int64_t kSecondsPerHour = 3600;

// Values below this magnitude print as zero, so that a tiny loss never shows as "-0.00%".
constexpr double kPercentZeroBelow = 0.005;

// swprintf into a fixed buffer of N characters. An output that does not fit is cut to N - 1
// characters; the CRTs disagree on what they leave in the buffer then (glibc leaves it
// unterminated, MinGW reports the full length), so the cut text is formatted again in full.
template <std::size_t N, typename... Args>
std::wstring printWide(const wchar_t* format, Args... args) {
    std::array<wchar_t, N> buffer{};
    const int written = std::swprintf(buffer.data(), N, format, args...);
    if (written >= 0 && static_cast<std::size_t>(written) < N) {
        return std::wstring(buffer.data(), static_cast<std::size_t>(written));
    }
    for (std::size_t size = 2 * N; size <= kMaxFormattedSize; size *= 2) {
        std::wstring text(size, L'\0');
        const int full = std::swprintf(text.data(), size, format, args...);
        if (full >= 0 && static_cast<std::size_t>(full) < size) {
            text.resize(std::min(static_cast<std::size_t>(full), N - 1));
            return text;
        }
    }
    return {};
}

int priceDecimals(double value) {
    if (value >= 100) {
        return 2;
    }
    if (value >= 1) {
        return 4;
    }
    // Below 1, negative and NaN.
    return 6;
}

bool isAsciiDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

wchar_t asciiLower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c;
}

// Like a standard string-to-int conversion in base 10: an optional sign, then digits, anything
// after them ignored. Empty without digits or outside the 32-bit range.
std::optional<std::int32_t> leadingInt(std::wstring_view text) {
    constexpr std::int64_t kMinValue = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kMaxValue = std::numeric_limits<std::int32_t>::max();
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    const std::size_t digitsBegin = i;
    std::int64_t magnitude = 0;
    for (; i < text.size() && isAsciiDigit(text[i]); ++i) {
        magnitude = magnitude * 10 + (text[i] - L'0');
        if (magnitude > -kMinValue) {
            return std::nullopt;
        }
    }
    if (i == digitsBegin) {
        return std::nullopt;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < kMinValue || value > kMaxValue) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

// Seconds per unit of an interval group; empty for an unknown unit.
std::optional<std::int64_t> unitSeconds(std::wstring_view unit) {
    if (unit.empty() || unit == L"s" || unit == L"sec" || unit == L"초") {
        return 1;
    }
    if (unit == L"m" || unit == L"min" || unit == L"분") {
        return kSecondsPerMinute;
    }
    return std::nullopt;
}

std::int32_t toInterval(std::int64_t seconds) {
    return seconds > std::numeric_limits<std::int32_t>::max() ? -1
                                                              : static_cast<std::int32_t>(seconds);
}

// "m:ss" with the leading integer of each side.
std::int32_t parseClockInterval(std::wstring_view text, std::size_t colon) {
    const std::optional<std::int32_t> minutes = leadingInt(text.substr(0, colon));
    const std::optional<std::int32_t> seconds = leadingInt(text.substr(colon + 1));
    if (!minutes || !seconds || *minutes < 0 || *seconds < 0 || *seconds >= kSecondsPerMinute) {
        return -1;
    }
    return toInterval(static_cast<std::int64_t>(*minutes) * kSecondsPerMinute + *seconds);
}

// Groups of digits, each followed by its unit: "1m30s", "2분", "90".
std::int32_t parseGroupInterval(std::wstring_view text) {
    std::int64_t total = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t numberBegin = i;
        while (i < text.size() && isAsciiDigit(text[i])) {
            ++i;
        }
        if (i == numberBegin) {
            return -1;
        }
        const std::optional<std::int32_t> number =
            leadingInt(text.substr(numberBegin, i - numberBegin));
        const std::size_t unitBegin = i;
        while (i < text.size() && !isAsciiDigit(text[i])) {
            ++i;
        }
        const std::optional<std::int64_t> unit = unitSeconds(text.substr(unitBegin, i - unitBegin));
        if (!number || !unit) {
            return -1;
        }
        // Groups are never negative, so a sum past the 32-bit range stays past it.
        total += *number * *unit;
        if (toInterval(total) < 0) {
            return -1;
        }
    }
    return toInterval(total);
}

}  // namespace

std::wstring formatPrice(double value) {
    if (!std::isfinite(value)) {
        return std::wstring(kNoNumber);
    }
    std::wstring text = printWide<kPriceBufferSize>(L"%.*f", priceDecimals(value), value);
    std::size_t point = text.find(L'.');
    if (point == std::wstring::npos) {
        point = text.size();
    }
    const std::size_t firstGroupEnd = !text.empty() && text.front() == L'-' ? 4 : 3;
    while (point > firstGroupEnd) {
        point -= 3;
        text.insert(point, 1, L',');
    }
    return text;
}

std::wstring formatPercent(double value, bool withSign) {
    if (!std::isfinite(value)) {
        return std::wstring(kNoNumber);
    }
    const double shown = std::fabs(value) < kPercentZeroBelow ? 0.0 : value;
    return printWide<kTextBufferSize>(withSign ? L"%+.2f%%" : L"%.2f%%", shown);
}

std::wstring formatAge(std::int64_t ageMs) {
    const long long seconds = ageMs / kMsPerSecond;
    if (seconds < kSecondsPerMinute) {
        return printWide<kTextBufferSize>(L"%lld초", seconds);
    }
    if (seconds < kSecondsPerHour) {
        return printWide<kTextBufferSize>(L"%lld분", static_cast<long long>(ageMs / kMsPerMinute));
    }
    return printWide<kTextBufferSize>(L"%lld시간", static_cast<long long>(ageMs / kMsPerHour));
}

std::wstring formatClock(std::int64_t wallMs) {
    if (wallMs <= 0 || wallMs > kMaxClockMs) {
        return std::wstring(kNoClock);
    }
    const std::optional<detail::LocalClock> local = detail::toLocalClock(wallMs);
    if (!local || local->year > kMaxClockYear) {
        return std::wstring(kNoClock);
    }
    return printWide<kTextBufferSize>(L"%02d:%02d:%02d", local->hour, local->minute, local->second);
}

std::wstring formatInterval(std::int32_t seconds) {
    if (seconds >= kSecondsPerMinute) {
        const std::int32_t minutes = seconds / kSecondsPerMinute;
        const std::int32_t rest = seconds % kSecondsPerMinute;
        if (rest != 0) {
            return printWide<kTextBufferSize>(L"%d분 %d초", minutes, rest);
        }
        return printWide<kTextBufferSize>(L"%d분", minutes);
    }
    return printWide<kTextBufferSize>(L"%d초", seconds);
}

std::int32_t parseInterval(std::wstring_view text) {
    std::wstring normalized;
    normalized.reserve(text.size());
    for (const wchar_t c : text) {
        if (!isWideSpace(c)) {
            normalized.push_back(asciiLower(c));
        }
    }
    if (normalized.empty()) {
        return -1;
    }
    const std::size_t colon = normalized.find(L':');
    if (colon != std::wstring::npos) {
        return parseClockInterval(normalized, colon);
    }
    return parseGroupInterval(normalized);
}

bool isWideSpace(wchar_t c) {
    switch (c) {
        case L'\t':
        case L'\n':
        case L'\v':
        case L'\f':
        case L'\r':
        case L' ':
        case L'\x85':
        case L'\xA0':
        case L'\x1680':
        case L'\x2028':
        case L'\x2029':
        case L'\x202F':
        case L'\x205F':
        case L'\x3000':
            return true;
        default:
            return c >= L'\x2000' && c <= L'\x200A';
    }
}

}  // namespace vindral
