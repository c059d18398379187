#include "capture/timeline.hpp"

#include <algorithm>
#include <cstdlib>

#include "capture/engine_time.hpp"

namespace brisvane {

Timeline::Timeline(TimelineMode mode, std::int64_t start_qpc, std::int64_t fill_lag_hns)
    : mode_(mode), fill_lag_hns_(fill_lag_hns), anchor_qpc_(start_qpc) {}

void Timeline::begin_stream(bool has_device_positions) {
    stream_fresh_ = true;
    device_positions_ = has_device_positions;
    device_end_.reset();
    qpc_end_.reset();
}

void Timeline::lose_stream(GapReason reason) {
    begin_stream(device_positions_);
    pending_reason_ = reason;
}

std::int64_t Timeline::qpc_at(std::int64_t frame) const {
    return anchor_qpc_ + frames_to_hns(frame - static_cast<std::int64_t>(anchor_frame_));
}

// A position the engine gave, not in the future, and not before the end of the packet before it.
bool Timeline::trusted_qpc(const PacketTiming& packet, std::int64_t now_qpc) const {
    const auto qpc = static_cast<std::int64_t>(packet.qpc_position);
    if (packet.timestamp_error || packet.qpc_position == 0 || qpc < 0) return false;
    if (qpc > now_qpc + frames_to_hns(CLOCK_TOLERANCE_FRAMES)) return false;
    return !qpc_end_ || !qpc_end_trusted_ || qpc >= *qpc_end_ - frames_to_hns(CLOCK_TOLERANCE_FRAMES);
}

// Frames between the end of the packet before and this one, from the engine's positions.
std::int64_t Timeline::measured_gap(const PacketTiming& packet, bool qpc_trusted) const {
    std::optional<std::int64_t> by_clock;
    if (qpc_trusted && qpc_end_) {
        by_clock = hns_to_frames(static_cast<std::int64_t>(packet.qpc_position) - *qpc_end_);
    }
    // Device positions count the stream's frames exactly, where they go on from the packet before.
    if (device_positions_ && device_end_ && packet.device_position != 0 && packet.device_position >= *device_end_) {
        const auto by_device = static_cast<std::int64_t>(packet.device_position - *device_end_);
        const bool agrees = !by_clock || std::llabs(*by_clock - by_device) <=
                                             DEVICE_POSITION_TOLERANCE_FRAMES + std::llabs(*by_clock) / 1000;
        // One that stood still (or ran on) while the clock said otherwise is not the stream's time.
        return agrees ? by_device : *by_clock;
    }
    if (by_clock && *by_clock >= CLOCK_TOLERANCE_FRAMES) return *by_clock;
    return 0;
}

Placement Timeline::place(const PacketTiming& packet, std::int64_t now_qpc) {
    const bool qpc_trusted = trusted_qpc(packet, now_qpc);
    const std::int64_t duration = frames_to_hns(packet.frames);
    Placement placement;
    placement.timestamp_estimated = !qpc_trusted;
    // Where the last audio ended: before the silence the clock may have filled since.
    const auto audio_end = static_cast<std::int64_t>(next_frame_ - clock_filled_);
    std::int64_t gap = 0;
    std::int64_t first_qpc = 0;
    if (stream_fresh_) {
        // Across streams only the counter tells the time; without it, the packet has just ended.
        first_qpc = qpc_trusted ? static_cast<std::int64_t>(packet.qpc_position) : now_qpc - duration;
        // The exact timeline begins with the first packet; the continuous one when the capture began.
        const bool first_of_capture = !placed_any_ && mode_ == TimelineMode::Exact;
        gap = first_of_capture ? 0 : hns_to_frames(first_qpc - qpc_at(audio_end));
        placement.reason = pending_reason_;
    } else {
        gap = measured_gap(packet, qpc_trusted);
        first_qpc = qpc_trusted ? static_cast<std::int64_t>(packet.qpc_position)
                                : qpc_at(audio_end + std::max<std::int64_t>(gap, 0));
        placement.reason = packet.discontinuity ? GapReason::Discontinuity : GapReason::Silence;
    }
    placed_any_ = true;
    const auto whole_gap = static_cast<std::uint64_t>(std::max<std::int64_t>(gap, 0));
    // The clock may have filled part of the gap already, or (a packet later than the lag) more.
    placement.gap_frames = std::max(whole_gap, clock_filled_);
    if (mode_ == TimelineMode::Continuous) {
        placement.fill_frames = whole_gap > clock_filled_ ? whole_gap - clock_filled_ : 0;
        next_frame_ += placement.fill_frames;
    }
    anchor_frame_ = next_frame_;
    anchor_qpc_ = first_qpc;
    next_frame_ += packet.frames;
    stream_fresh_ = false;
    clock_filled_ = 0;
    if (device_positions_ && (packet.device_position != 0 || !device_end_)) {
        device_end_ = packet.device_position + packet.frames;
    }
    // An estimated end still measures the next trusted position: a gap that neither position
    // showed at this packet shows there.
    qpc_end_ = first_qpc + duration;
    qpc_end_trusted_ = qpc_trusted;
    return placement;
}

std::uint64_t Timeline::take_clock_fill(std::int64_t now_qpc) {
    if (mode_ != TimelineMode::Continuous) return 0;
    const std::int64_t due = static_cast<std::int64_t>(anchor_frame_) +
                             hns_to_frames_floor(now_qpc - fill_lag_hns_ - anchor_qpc_);
    if (due <= static_cast<std::int64_t>(next_frame_)) return 0;
    const std::uint64_t frames = static_cast<std::uint64_t>(due) - next_frame_;
    next_frame_ += frames;
    clock_filled_ += frames;
    return frames;
}

}  // namespace brisvane
