// The spacing of long polls and session re-creation against a misbehaving price server.
#include <gtest/gtest.h>

#include <vector>

#include "core/server_pacing.h"

namespace vindral {
namespace {

TEST(PollPacingTest, EarlyAnswersWithNothingNewBackOffAndAnythingElseResets) {
    struct Step {
        bool nothingNew;
        std::int64_t answeredInMs;
        std::int32_t waitMs;
    };
    const std::vector<Step> steps = {
        {true, 0, 250},     // a server that answers at once with the same seq
        {true, 3, 500},     //
        {true, 999, 1000},  // still early
        {true, 0, 2000},    //
        {true, 0, 2000},    // capped
        {true, 1000, 0},    // held for a while: a working server's hold ran out
        {true, 10, 250},    // the back-off starts over
        {false, 0, 100},    // something new at once: only the minimum spacing
        {false, 40, 60},    //
        {false, 100, 0},    //
        {false, 20000, 0},  //
        {true, 0, 250},     //
        {false, -5, 100},   // a clock that went backwards never waits longer than the spacing
    };
    PollPacing pacing;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        EXPECT_EQ(nextPollWaitMs(pacing, s.nothingNew, s.answeredInMs), s.waitMs) << "step " << i;
    }
}

TEST(PollPacingTest, ABrokenServerCostsAtMostAFewPollsASecond) {
    PollPacing pacing;
    std::int64_t elapsedMs = 0;
    int polls = 0;
    while (elapsedMs < 60000) {
        elapsedMs += nextPollWaitMs(pacing, true, 0);
        ++polls;
    }
    // 250 + 500 + 1000 ms, then one poll every 2 s.
    EXPECT_LE(polls, 33);
}

TEST(SessionLossPacingTest, RepeatedLossesDoubleUpToThirtySeconds) {
    struct Step {
        std::int64_t nowMs;
        std::int32_t waitMs;
    };
    const std::vector<Step> steps = {
        {1000, 0},       // the first loss is re-created at once
        {1010, 1000},    // lost again at once
        {2020, 2000},    //
        {4030, 4000},    //
        {8040, 8000},    //
        {16050, 16000},  //
        {32060, 30000},  // capped
        {62070, 30000},  //
        {200000, 0},     // long after the previous loss: a first loss again
        {200100, 1000},  //
    };
    SessionLossPacing pacing;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(sessionLossWaitMs(pacing, steps[i].nowMs), steps[i].waitMs) << "step " << i;
    }
}

TEST(SessionLossPacingTest, AnAnsweredPollMakesTheNextLossAFirstOne) {
    SessionLossPacing pacing;
    EXPECT_EQ(sessionLossWaitMs(pacing, 0), 0);
    EXPECT_EQ(sessionLossWaitMs(pacing, 5), 1000);
    EXPECT_EQ(sessionLossWaitMs(pacing, 1010), 2000);
    resetSessionLoss(pacing);
    EXPECT_EQ(sessionLossWaitMs(pacing, 1500), 0);
    EXPECT_EQ(sessionLossWaitMs(pacing, 1501), 1000);
}

}  // namespace
}  // namespace vindral
