// Display texts of numbers and times, the forgiving interval parser of the settings dialog,
// UTF-8 <-> wide conversion and the wall clock. Texts are printf-formatted in the "C" locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vindral {

// Decimals by magnitude (2 from 100, 4 from 1, else 6; negatives 6) and thousands separators.
// A value that is not finite, here and in formatPercent, prints as "—".
std::wstring formatPrice(double value);
// "%+.2f%%" when withSign, else "%.2f%%"; magnitudes below 0.005 print as zero.
std::wstring formatPercent(double value, bool withSign);
// "N초", "N분" or "N시간", truncated toward zero.
std::wstring formatAge(std::int64_t ageMs);
// Local "HH:MM:SS" of a wall-clock time; "--:--:--" for a time that cannot be converted.
std::wstring formatClock(std::int64_t wallMs);
// "N초", "N분" or "N분 N초".
std::wstring formatInterval(std::int32_t seconds);
// Seconds from texts like "5", "30초", "2분", "1:30", "1m30s", "90 sec"; -1 when the text is not
// an interval or the result does not fit in 32 bits. No range check beyond that.
std::int32_t parseInterval(std::wstring_view text);

// Invalid input becomes U+FFFD; no error is reported.
std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);

// Unicode white space (space, tab, line breaks, no-break and the other Unicode spaces).
bool isWideSpace(wchar_t c);

// Precise wall clock: milliseconds since 1970-01-01 UTC.
std::int64_t wallClockMs();

}  // namespace vindral
