#include "capture/timeline.hpp"

#include <gtest/gtest.h>

#include "capture/engine_time.hpp"

namespace brisvane {
namespace {

constexpr std::int64_t T0 = 10'000'000'000;  // the counter when the capture begins, 100-ns units
constexpr std::int64_t MS = 10'000;

// A packet of 480 frames (10 ms) whose first frame lies `at_frame` frames after T0 on the
// engine's clock, with that device position, read `late_ms` after it ended.
struct Step {
    std::uint64_t at_frame;
    std::uint64_t device_position;
    std::int64_t late_ms = 1;
    bool discontinuity = false;
    bool timestamp_error = false;
    std::int64_t qpc_shift_frames = 0;  // the counter position off the engine's clock
};

Placement place(Timeline& timeline, const Step& s) {
    const std::int64_t qpc = T0 + frames_to_hns(static_cast<std::int64_t>(s.at_frame) + s.qpc_shift_frames);
    const PacketTiming packet{.frames = 480,
                              .device_position = s.device_position,
                              .qpc_position = s.timestamp_error ? 0 : static_cast<std::uint64_t>(qpc),
                              .discontinuity = s.discontinuity,
                              .timestamp_error = s.timestamp_error};
    return timeline.place(packet, T0 + frames_to_hns(static_cast<std::int64_t>(s.at_frame) + 480) + s.late_ms * MS);
}

// Gaps within one stream, as the positions give them: to the frame from the device position,
// from the counter where the device position is of no use, and none for lateness or jitter.
TEST(Timeline, GapsWithinAStreamComeFromThePositions) {
    struct Case {
        const char* what;
        bool device_positions;
        Step second;
        std::uint64_t gap;
        GapReason reason;
    };
    const Case cases[] = {
        {"next packet, on time", true, {480, 480}, 0, GapReason::Silence},
        {"next packet, 300 ms late", true, {480, 480, 300}, 0, GapReason::Silence},
        {"the device lost 1000 frames", true, {1480, 1480, 1, true}, 1000, GapReason::Discontinuity},
        {"one frame missing", true, {481, 481}, 1, GapReason::Silence},
        {"device position stood still for 2 s", true, {96480, 480}, 96000, GapReason::Silence},
        {"device position went back to 0", true, {2480, 0}, 2000, GapReason::Silence},
        {"no device position: counter 2 ms off", false, {480, 0, 1, false, false, 96}, 0, GapReason::Silence},
        {"no device position: counter -4 ms off", false, {480, 0, 1, false, false, -192}, 0, GapReason::Silence},
        {"no device position: 30 ms gap", false, {1920, 0}, 1440, GapReason::Silence},
        {"timestamp error, device position goes on", true, {480, 480, 1, false, true}, 0, GapReason::Silence},
        {"timestamp error, no device position", false, {48480, 0, 1, false, true}, 0, GapReason::Silence},
        {"counter jumps back", false, {480, 0, 1, false, false, -48000}, 0, GapReason::Silence},
    };
    for (const Case& c : cases) {
        Timeline timeline(TimelineMode::Exact, T0);
        timeline.begin_stream(c.device_positions);
        ASSERT_EQ(place(timeline, {0, 0}).gap_frames, 0u) << c.what;
        const Placement placement = place(timeline, c.second);
        EXPECT_EQ(placement.gap_frames, c.gap) << c.what;
        EXPECT_EQ(placement.fill_frames, 0u) << c.what << ": the exact timeline fills nothing";
        if (c.gap > 0) {
            EXPECT_EQ(placement.reason, c.reason) << c.what;
        }
        EXPECT_EQ(placement.timestamp_estimated, c.second.timestamp_error || c.second.qpc_shift_frames == -48000)
            << c.what;
        EXPECT_EQ(timeline.next_frame(), 960u) << c.what << ": the exact timeline holds only audio";
    }
}

// A packet whose counter position cannot be trusted, after a silence over which the device
// position stood still: nothing there tells the gap, so the packet goes on where the audio
// stands; the next trusted position shows the gap, which is filled before that packet.
TEST(Timeline, AGapThatNoPositionShowedIsFilledAtTheNextTrustedOne) {
    Timeline timeline(TimelineMode::Continuous, T0);
    timeline.begin_stream(true);
    place(timeline, {0, 0});
    const Placement unknown = place(timeline, {480 + 9600, 480, 1, false, true});
    EXPECT_EQ(unknown.gap_frames, 0u);
    EXPECT_TRUE(unknown.timestamp_estimated);
    const Placement next = place(timeline, {480 + 9600 + 480, 960});
    EXPECT_EQ(next.gap_frames, 9600u);
    EXPECT_EQ(next.fill_frames, 9600u);
    EXPECT_FALSE(next.timestamp_estimated);
    EXPECT_EQ(timeline.qpc_at(480 + 480 + 9600), T0 + frames_to_hns(480 + 9600 + 480));
}

// The continuous timeline fills the gap, follows the clock while nothing comes (lagging it by
// DEFAULT_FILL_LAG_HNS) and, when the next packet shows the whole gap, fills only the rest.
TEST(Timeline, TheContinuousTimelineFollowsTheClockThenTheEngine) {
    Timeline timeline(TimelineMode::Continuous, T0);
    timeline.begin_stream(true);
    EXPECT_EQ(place(timeline, {0, 0}).fill_frames, 0u);
    const std::int64_t audio_end = T0 + frames_to_hns(480);
    EXPECT_EQ(timeline.take_clock_fill(audio_end + 150 * MS), 0u) << "still within the lag";
    EXPECT_EQ(timeline.take_clock_fill(audio_end + 1000 * MS), 38400u);
    EXPECT_EQ(timeline.take_clock_fill(audio_end + 1000 * MS), 0u);
    EXPECT_EQ(timeline.clock_filled(), 38400u);
    const Placement back = place(timeline, {480 + 57600, 480 + 57600});
    EXPECT_EQ(back.gap_frames, 57600u);
    EXPECT_EQ(back.fill_frames, 19200u);
    EXPECT_EQ(timeline.next_frame(), 480u + 57600u + 480u);
    // The packet's counter position is where its first frame now lies.
    EXPECT_EQ(timeline.qpc_at(480 + 57600), T0 + frames_to_hns(480 + 57600));

    // A packet later than the lag finds the clock's silence before it: nothing more is filled,
    // the audio goes after it, and the capture times stay the engine's.
    EXPECT_EQ(timeline.take_clock_fill(T0 + frames_to_hns(58560) + 700 * MS), 24000u);
    const Placement late = place(timeline, {58560, 58560, 700});
    EXPECT_EQ(late.gap_frames, 24000u);
    EXPECT_EQ(late.fill_frames, 0u);
    EXPECT_EQ(timeline.qpc_at(58560 + 24000), T0 + frames_to_hns(58560));
}

// Across streams only the counter tells the time: the gap runs from the end of the last packet
// to the first of the new stream, with the reason of the loss; the clock fills it meanwhile.
TEST(Timeline, AcrossStreamsTheCounterMeasuresTheGap) {
    for (const auto mode : {TimelineMode::Exact, TimelineMode::Continuous}) {
        Timeline timeline(mode, T0);
        timeline.begin_stream(true);
        place(timeline, {0, 0});
        timeline.lose_stream(GapReason::NoDevice);
        const std::uint64_t clock = timeline.take_clock_fill(T0 + frames_to_hns(480) + 1000 * MS);
        EXPECT_EQ(timeline.open_gap_reason(), GapReason::NoDevice);
        timeline.begin_stream(true);
        // A new stream counts its device positions from 0 again.
        const Placement placement = place(timeline, {480 + 48000 + 7, 0});
        EXPECT_EQ(placement.gap_frames, 48007u);
        EXPECT_EQ(placement.reason, GapReason::NoDevice);
        EXPECT_EQ(clock, mode == TimelineMode::Continuous ? 38400u : 0u);
        EXPECT_EQ(placement.fill_frames, mode == TimelineMode::Continuous ? 48007u - 38400u : 0u);
        // Within the new stream, device positions again.
        EXPECT_EQ(place(timeline, {480 + 48007 + 480 + 5, 485}).gap_frames, 5u);
    }
}

// The continuous timeline begins when the capture begins; the exact one with the first packet.
TEST(Timeline, WhereEachTimelineBegins) {
    Timeline continuous(TimelineMode::Continuous, T0);
    continuous.begin_stream(false);
    EXPECT_EQ(continuous.take_clock_fill(T0 + 1000 * MS), 38400u);
    EXPECT_EQ(place(continuous, {48000, 0}).gap_frames, 48000u);
    EXPECT_EQ(continuous.next_frame(), 48480u);

    Timeline exact(TimelineMode::Exact, T0);
    exact.begin_stream(false);
    EXPECT_EQ(place(exact, {48000, 0}).gap_frames, 0u);
    EXPECT_EQ(exact.next_frame(), 480u);
    EXPECT_EQ(exact.qpc_at(0), T0 + frames_to_hns(48000));
}

}  // namespace
}  // namespace brisvane
