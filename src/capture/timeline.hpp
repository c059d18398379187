// Where the engine's packets go on the output timeline, from the engine's own positions: the
// silence before each packet (to the frame, from the device position where it is valid and the
// performance-counter position otherwise), the capture time of every frame, and, on the
// continuous timeline, the silence that the clock makes due while no packet comes.
// Counts engine frames (48 kHz); platform-free.
#pragma once

#include <cstdint>
#include <optional>

#include "capture/records.hpp"

namespace brisvane {

// What the engine said of one packet.
struct PacketTiming {
    std::uint32_t frames = 0;
    std::uint64_t device_position = 0;  // frames since the stream started
    std::uint64_t qpc_position = 0;     // the performance counter at its first frame, 100-ns units
    bool discontinuity = false;
    bool timestamp_error = false;
};

// Where a packet goes.
struct Placement {
    std::uint64_t gap_frames = 0;   // the whole gap before it, as the positions measure it
    std::uint64_t fill_frames = 0;  // what of it is still to be filled now (continuous)
    GapReason reason = GapReason::Silence;
    bool timestamp_estimated = false;  // its capture time is not the engine's
};

// A performance-counter position off by more than this from where the stream's frames put it
// is not the engine's clock: a discrepancy under it is jitter, not a gap.
inline constexpr std::int64_t CLOCK_TOLERANCE_FRAMES = 240;  // 5 ms
// A device position that disagrees with the counter by more than this (plus 0.1 %) is not kept.
inline constexpr std::int64_t DEVICE_POSITION_TOLERANCE_FRAMES = 480;  // 10 ms
// By default the continuous timeline follows the clock this far behind it, so that a late
// packet finds its place still free.
inline constexpr std::int64_t DEFAULT_FILL_LAG_HNS = 2'000'000;  // 200 ms

class Timeline {
public:
    Timeline(TimelineMode mode, std::int64_t start_qpc, std::int64_t fill_lag_hns = DEFAULT_FILL_LAG_HNS);

    // A stream begins: its first packet is placed by the performance counter, after whatever
    // came between.
    void begin_stream(bool has_device_positions);
    // The stream is gone: until the next one's first packet, time passes as a gap of this reason.
    void lose_stream(GapReason reason);

    // Places a packet and moves the timeline past it (and past its fill, when continuous).
    Placement place(const PacketTiming& packet, std::int64_t now_qpc);
    // Continuous only: the frames of silence the clock has made due that no packet claimed
    // (0 on the exact timeline); the timeline moves past them.
    std::uint64_t take_clock_fill(std::int64_t now_qpc);

    // The frame the next sample takes (audio, and fill when continuous).
    std::uint64_t next_frame() const { return next_frame_; }
    // The performance-counter time of an engine frame, from the latest trusted position.
    std::int64_t qpc_at(std::int64_t frame) const;
    // The reason of the gap now open: the stream's loss, or silence within a stream.
    GapReason open_gap_reason() const { return stream_fresh_ ? pending_reason_ : GapReason::Silence; }
    // Frames of silence the clock has filled since the last packet.
    std::uint64_t clock_filled() const { return clock_filled_; }

private:
    bool trusted_qpc(const PacketTiming& packet, std::int64_t now_qpc) const;
    std::int64_t measured_gap(const PacketTiming& packet, bool qpc_trusted) const;

    TimelineMode mode_;
    std::int64_t fill_lag_hns_;
    std::uint64_t next_frame_ = 0;
    // A frame and its performance-counter time.
    std::uint64_t anchor_frame_ = 0;
    std::int64_t anchor_qpc_;
    // The stream in progress.
    bool stream_fresh_ = true;
    bool device_positions_ = false;
    GapReason pending_reason_ = GapReason::Silence;
    std::optional<std::uint64_t> device_end_;  // device position just after the last packet
    std::optional<std::int64_t> qpc_end_;      // its counter time, the engine's or estimated
    bool qpc_end_trusted_ = false;
    std::uint64_t clock_filled_ = 0;
    bool placed_any_ = false;
};

}  // namespace brisvane
