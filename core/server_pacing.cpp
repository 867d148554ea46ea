#include "core/server_pacing.h"

#include <algorithm>

namespace vindral {

std::int32_t nextPollWaitMs(PollPacing& pacing, bool nothingNew, std::int64_t answeredInMs) {
    if (nothingNew && answeredInMs < kEarlyPollAnswerMs) {
        pacing.earlyWaitMs = pacing.earlyWaitMs == 0
                                 ? kEarlyPollFirstWaitMs
                                 : std::min(2 * pacing.earlyWaitMs, kEarlyPollMaxWaitMs);
        return pacing.earlyWaitMs;
    }
    pacing.earlyWaitMs = 0;
    return answeredInMs >= kMinPollSpacingMs
               ? 0
               : kMinPollSpacingMs -
                     static_cast<std::int32_t>(std::max<std::int64_t>(answeredInMs, 0));
}

std::int32_t sessionLossWaitMs(SessionLossPacing& pacing, std::int64_t nowMs) {
    const bool repeated = pacing.lastLossMs && nowMs - *pacing.lastLossMs <= kSessionLossRepeatMs;
    pacing.waitMs = !repeated            ? 0
                    : pacing.waitMs == 0 ? kSessionLossFirstWaitMs
                                         : std::min(2 * pacing.waitMs, kSessionLossMaxWaitMs);
    pacing.lastLossMs = nowMs;
    return pacing.waitMs;
}

void resetSessionLoss(SessionLossPacing& pacing) {
    pacing = SessionLossPacing{};
}

}  // namespace vindral
