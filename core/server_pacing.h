// How the session client spaces its requests when a price server misbehaves: long polls that come
// back at once with nothing new, and sessions the server forgets again and again. Pure rules over
// times the caller measures (monotonic milliseconds), so they are tested without waiting.
#pragma once

#include <cstdint>
#include <optional>

namespace vindral {

// A working server holds a long poll until the board changes or its hold time ends; an answer with
// nothing new that comes sooner than this is early.
inline constexpr std::int64_t kEarlyPollAnswerMs = 1000;
// Early answers in a row wait 250, 500, 1000, then 2000 ms before the next poll.
inline constexpr std::int32_t kEarlyPollFirstWaitMs = 250;
inline constexpr std::int32_t kEarlyPollMaxWaitMs = 2000;
// Even answers that bring something new start the next poll no sooner than this after the last
// one started, so no server can make the client poll more than ten times a second.
inline constexpr std::int32_t kMinPollSpacingMs = 100;

struct PollPacing {
    std::int32_t earlyWaitMs = 0;  // the wait after the latest early answer; 0 after any other
};

// The wait before the next long poll, after an answer that came `answeredInMs` after its request
// went out; `nothingNew` when it carried the seq the client already had.
std::int32_t nextPollWaitMs(PollPacing& pacing, bool nothingNew, std::int64_t answeredInMs);

// A session lost again within this time of the previous loss, with no poll answered in between,
// waits 1 s before the new session, doubling up to 30 s.
inline constexpr std::int64_t kSessionLossRepeatMs = 60000;
inline constexpr std::int32_t kSessionLossFirstWaitMs = 1000;
inline constexpr std::int32_t kSessionLossMaxWaitMs = 30000;

struct SessionLossPacing {
    std::optional<std::int64_t> lastLossMs;  // since the last poll that was answered
    std::int32_t waitMs = 0;
};

// The wait before creating a new session when the server forgot the last one at `nowMs`; the
// first loss is re-created at once.
std::int32_t sessionLossWaitMs(SessionLossPacing& pacing, std::int64_t nowMs);
// A poll answered with a board: the next loss counts as the first again.
void resetSessionLoss(SessionLossPacing& pacing);

}  // namespace vindral
