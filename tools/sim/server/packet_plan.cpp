#include "packet_plan.hpp"

#include <algorithm>
#include <utility>

namespace brisvane::engine_server {
namespace {

constexpr std::uint32_t kDiscontinuity = 0x1;

bool any_overlaps(const std::vector<FrameSpan>& spans, std::uint64_t begin, std::uint64_t end) {
    return std::ranges::any_of(spans, [&](const FrameSpan& s) { return s.overlaps(begin, end); });
}

}  // namespace

PacketPlan::PacketPlan(std::vector<std::uint32_t> sizes, std::vector<std::uint32_t> flags, PacketPlanWindows windows)
    : sizes_(std::move(sizes)), flags_(std::move(flags)), windows_(std::move(windows)) {
    for (std::uint32_t n : sizes_) {
        offsets_.push_back(cycle_frames_);
        cycle_frames_ += n;
    }
}

std::uint64_t PacketPlan::grid_position(std::uint64_t index) const {
    return index / sizes_.size() * cycle_frames_ + offsets_[index % sizes_.size()];
}

std::uint64_t PacketPlan::first_index_at(std::uint64_t frame) const {
    std::uint64_t index = frame / cycle_frames_ * sizes_.size();
    while (grid_position(index) < frame) ++index;
    return index;
}

void PacketPlan::start(std::uint64_t frame, bool from_zero) {
    const std::uint64_t index = std::max(first_index_at(frame), next_);
    if (from_zero) {
        origin_ = grid_position(index);
        held_ = 0;
    } else {
        held_ += grid_position(index) - grid_position(next_);
    }
    next_ = index;
}

PlannedPacket PacketPlan::peek() const {
    PlannedPacket p;
    p.position = grid_position(next_);
    p.frames = sizes_[next_ % sizes_.size()];
    const std::uint64_t end = p.position + p.frames;
    p.device_position = p.position - origin_ - held_;
    if (any_overlaps(windows_.silence, p.position, end) || any_overlaps(windows_.silence_held, p.position, end))
        p.fate = PlannedPacket::Fate::Silenced;
    else if (any_overlaps(windows_.glitch, p.position, end))
        p.fate = PlannedPacket::Fate::Lost;
    else
        p.flags = flags_[made_ % flags_.size()] | (discontinuity_ ? kDiscontinuity : 0);
    // A packet due within a late window waits for its end; so do the packets behind it.
    p.ready_at = end;
    for (bool moved = true; moved;) {
        moved = false;
        for (const FrameSpan& late : windows_.late)
            if (p.ready_at >= late.from && p.ready_at < late.to) p.ready_at = late.to, moved = true;
    }
    return p;
}

void PacketPlan::advance() {
    const PlannedPacket p = peek();
    if (p.fate == PlannedPacket::Fate::Made) {
        ++made_;
        discontinuity_ = false;
    } else if (p.fate == PlannedPacket::Fate::Lost) {
        discontinuity_ = true;
    } else if (any_overlaps(windows_.silence_held, p.position, p.position + p.frames)) {
        held_ += p.frames;
    }
    ++next_;
}

}  // namespace brisvane::engine_server
