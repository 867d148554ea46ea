#include <time.h>

#include "core/format.h"
#include "core/format_platform.h"

namespace vindral {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kSurrogateFirst = 0xD800;
constexpr char32_t kSurrogateLast = 0xDFFF;

// Lead byte of a UTF-8 sequence: how many continuation bytes follow, the payload bits of the
// lead byte and the allowed range of the first continuation byte (which rules out overlong
// forms, surrogates and code points above U+10FFFF).
struct LeadByte {
    int continuations = 0;
    char32_t bits = 0;
    unsigned char firstLow = 0x80;
    unsigned char firstHigh = 0xBF;
};

std::optional<LeadByte> leadByte(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) {
        return LeadByte{1, b & 0x1Fu};
    }
    if (b == 0xE0) {
        return LeadByte{2, b & 0x0Fu, 0xA0, 0xBF};
    }
    if (b == 0xED) {
        return LeadByte{2, b & 0x0Fu, 0x80, 0x9F};
    }
    if (b >= 0xE1 && b <= 0xEF) {
        return LeadByte{2, b & 0x0Fu};
    }
    if (b == 0xF0) {
        return LeadByte{3, b & 0x07u, 0x90, 0xBF};
    }
    if (b >= 0xF1 && b <= 0xF3) {
        return LeadByte{3, b & 0x07u};
    }
    if (b == 0xF4) {
        return LeadByte{3, b & 0x07u, 0x80, 0x8F};
    }
    return std::nullopt;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

namespace detail {

std::optional<LocalClock> toLocalClock(std::int64_t wallMs) {
    const time_t seconds = static_cast<time_t>(wallMs / 1000);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::nullopt;
    }
    return LocalClock{local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec};
}

}  // namespace detail

// wchar_t holds UTF-32 here; a surrogate in it can only be a lone one.
std::string toUtf8(std::wstring_view text) {
    std::string result;
    result.reserve(text.size());
    for (const wchar_t c : text) {
        const auto cp = static_cast<char32_t>(c);
        const bool valid = cp <= kMaxCodePoint && (cp < kSurrogateFirst || cp > kSurrogateLast);
        appendUtf8(result, valid ? cp : kReplacement);
    }
    return result;
}

// Each maximal invalid subpart of the input becomes one U+FFFD.
std::wstring fromUtf8(std::string_view text) {
    std::wstring result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i++]);
        if (b < 0x80) {
            result.push_back(static_cast<wchar_t>(b));
            continue;
        }
        const std::optional<LeadByte> lead = leadByte(b);
        if (!lead) {
            result.push_back(static_cast<wchar_t>(kReplacement));
            continue;
        }
        char32_t cp = lead->bits;
        unsigned char low = lead->firstLow;
        unsigned char high = lead->firstHigh;
        int remaining = lead->continuations;
        while (remaining > 0 && i < text.size()) {
            const auto next = static_cast<unsigned char>(text[i]);
            if (next < low || next > high) {
                break;
            }
            cp = (cp << 6) | (next & 0x3Fu);
            low = 0x80;
            high = 0xBF;
            --remaining;
            ++i;
        }
        result.push_back(static_cast<wchar_t>(remaining == 0 ? cp : kReplacement));
    }
    return result;
}

std::int64_t wallClockMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace vindral
