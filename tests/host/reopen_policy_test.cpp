#include "capture/reopen_policy.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace brisvane {
namespace {

// The waits of a whole series: none before the first attempt, then the delay doubling to its
// cap, and exactly `attempts` attempts before the policy gives up.
TEST(ReopenPolicy, WaitsDoubleToTheCapAndStopAtTheLimit) {
    struct Case {
        ReopenSettings settings;
        std::vector<std::uint32_t> waits;
    };
    const Case cases[] = {
        {{5, 250, 4000}, {0, 250, 500, 1000, 2000}},
        {{8, 250, 1500}, {0, 250, 500, 1000, 1500, 1500, 1500, 1500}},
        {{3, 0, 4000}, {0, 0, 0}},
        {{1, 250, 4000}, {0}},
        {{0, 250, 4000}, {}},
        {{4, 600000, 600000}, {0, 600000, 600000, 600000}},
    };
    for (const Case& c : cases) {
        ReopenPolicy policy(c.settings);
        std::vector<std::uint32_t> waits;
        for (auto attempt = policy.after_loss(0); attempt; attempt = policy.after_failure()) {
            EXPECT_EQ(attempt->number, waits.size() + 1);
            waits.push_back(attempt->delay_ms);
            ASSERT_LE(waits.size(), 1000u);
        }
        EXPECT_EQ(waits, c.waits) << "attempts " << c.settings.attempts << ", delay " << c.settings.delay_ms;
    }
}

// A stream that ran for a while starts a new series when it is lost; one lost soon after it was
// opened goes on with the series, so that a device that keeps failing is not retried for ever.
TEST(ReopenPolicy, AStableStreamStartsANewSeries) {
    ReopenPolicy policy({3, 100, 1000});
    EXPECT_EQ(policy.after_loss(0)->number, 1u);
    EXPECT_EQ(policy.after_loss(STABLE_STREAM_MS - 1)->number, 2u);
    EXPECT_EQ(policy.after_loss(10)->delay_ms, 200u);
    EXPECT_FALSE(policy.after_loss(10));
    const auto fresh = policy.after_loss(STABLE_STREAM_MS);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->number, 1u);
    EXPECT_EQ(fresh->delay_ms, 0u);
}

// A change (a new default device, a device back) is tried at once even with no attempts allowed,
// and what fails after it counts from there.
TEST(ReopenPolicy, AChangeIsTriedAtOnceAndStartsASeries) {
    ReopenPolicy none({0, 250, 4000});
    EXPECT_EQ(none.after_change().number, 1u);
    EXPECT_FALSE(none.after_failure());

    ReopenPolicy policy({2, 250, 4000});
    ASSERT_TRUE(policy.after_loss(0));
    ASSERT_TRUE(policy.after_failure());
    ASSERT_FALSE(policy.after_failure());
    EXPECT_EQ(policy.after_change().delay_ms, 0u);
    const auto next = policy.after_failure();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->number, 2u);
    EXPECT_EQ(next->delay_ms, 250u);
    EXPECT_FALSE(policy.after_failure());
}

}  // namespace
}  // namespace brisvane
