// The platform half of the formatting code: one implementation in format_win.cpp (Win32) and
// one in format_posix.cpp (native builds), with the same contract.
#pragma once

#include <cstdint>
#include <optional>

namespace vindral::detail {

// Windows file times count 100-ns units from 1601-01-01 UTC.
inline constexpr std::int64_t kFileTimeEpochOffset = 116444736000000000;
inline constexpr std::int64_t kFileTimeTicksPerMs = 10000;

struct LocalClock {
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Local calendar time of a wall-clock time (ms since 1970 UTC, positive and small enough to
// be a file time); empty when the platform cannot convert it.
std::optional<LocalClock> toLocalClock(std::int64_t wallMs);

}  // namespace vindral::detail
