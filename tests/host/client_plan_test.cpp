#include "audio/client_plan.hpp"

#include <gtest/gtest.h>

namespace brisvane {
namespace {

constexpr std::int64_t BUFFER = 30000;
constexpr std::int64_t PERIOD = 100000;

TEST(ClientPlan, LoopbackCaptureSharedEventDrivenWithConversion) {
    const auto plan = plan_client(Direction::Render, Direction::Capture, SharedEventDriven{true, BUFFER});
    ASSERT_TRUE(plan);
    EXPECT_EQ(*plan, (ClientPlan{SHARE_MODE_SHARED, 0x88060000u, true, BUFFER, 0}));
}

TEST(ClientPlan, FlagsAndDurationsForEveryMode) {
    struct Case {
        Direction client;
        Direction requested;
        ClientMode mode;
        ClientPlan expected;
    };
    const Case cases[] = {
        {Direction::Render, Direction::Capture, SharedPolled{false, BUFFER}, {SHARE_MODE_SHARED, 0x00020000u, false, BUFFER, 0}},
        {Direction::Render, Direction::Capture, SharedPolled{true, BUFFER}, {SHARE_MODE_SHARED, 0x88020000u, false, BUFFER, 0}},
        {Direction::Render, Direction::Capture, SharedEventDriven{false, BUFFER}, {SHARE_MODE_SHARED, 0x00060000u, true, BUFFER, 0}},
        {Direction::Render, Direction::Render, SharedEventDriven{true, BUFFER}, {SHARE_MODE_SHARED, 0x88040000u, true, BUFFER, 0}},
        {Direction::Render, Direction::Render, ExclusivePolled{BUFFER, PERIOD}, {SHARE_MODE_EXCLUSIVE, 0u, false, BUFFER, PERIOD}},
        {Direction::Render, Direction::Render, ExclusiveEventDriven{PERIOD}, {SHARE_MODE_EXCLUSIVE, 0x00040000u, true, PERIOD, PERIOD}},
        {Direction::Capture, Direction::Capture, SharedPolled{false, BUFFER}, {SHARE_MODE_SHARED, 0u, false, BUFFER, 0}},
        {Direction::Capture, Direction::Capture, SharedEventDriven{true, BUFFER}, {SHARE_MODE_SHARED, 0x88040000u, true, BUFFER, 0}},
        {Direction::Capture, Direction::Capture, ExclusiveEventDriven{PERIOD}, {SHARE_MODE_EXCLUSIVE, 0x00040000u, true, PERIOD, PERIOD}},
        {Direction::Capture, Direction::Capture, ExclusivePolled{BUFFER, PERIOD}, {SHARE_MODE_EXCLUSIVE, 0u, false, BUFFER, PERIOD}},
    };
    for (const auto& c : cases) {
        const auto plan = plan_client(c.client, c.requested, c.mode);
        ASSERT_TRUE(plan) << "mode index " << c.mode.index();
        EXPECT_EQ(*plan, c.expected) << "mode index " << c.mode.index() << " flags 0x" << std::hex << plan->stream_flags;
    }
}

TEST(ClientPlan, LoopbackIsRefusedInExclusiveMode) {
    for (const ClientMode& mode : {ClientMode{ExclusivePolled{BUFFER, PERIOD}}, ClientMode{ExclusiveEventDriven{PERIOD}}}) {
        const auto plan = plan_client(Direction::Render, Direction::Capture, mode);
        ASSERT_FALSE(plan);
        EXPECT_EQ(plan.error(), ClientRefusal::LoopbackWithExclusiveMode);
    }
}

TEST(ClientPlan, RenderingToACaptureDeviceIsRefusedInEveryMode) {
    for (const ClientMode& mode : {ClientMode{SharedPolled{true, BUFFER}}, ClientMode{ExclusivePolled{BUFFER, PERIOD}},
                                   ClientMode{SharedEventDriven{true, BUFFER}}, ClientMode{ExclusiveEventDriven{PERIOD}}}) {
        const auto plan = plan_client(Direction::Capture, Direction::Render, mode);
        ASSERT_FALSE(plan);
        EXPECT_EQ(plan.error(), ClientRefusal::RenderToCaptureDevice);
    }
}

}  // namespace
}  // namespace brisvane
