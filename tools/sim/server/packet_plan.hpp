// Where a stream's packets lie on its endpoint's clock and when each is made ready: the
// endpoint plays from the run's epoch in packets of the stream's sizes (a grid that starts at
// frame 0), a stream takes the grid's packets from its start on, and time windows silence,
// lose or delay some of them. Positions are in frames at 48 kHz; no Windows API.
#pragma once

#include <cstdint>
#include <vector>

namespace brisvane::engine_server {

inline constexpr std::uint64_t kFramesPerMs = 48;

// Frames of a window of the run's clock, [from, to).
struct FrameSpan {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    bool overlaps(std::uint64_t begin, std::uint64_t end) const { return begin < to && end > from; }
};

struct PlannedPacket {
    enum class Fate { Made, Silenced, Lost };
    Fate fate = Fate::Made;
    std::uint64_t position = 0;         // the endpoint frame of its first frame
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;            // packet_flags' entry, and 0x1 after a glitch
    std::uint64_t device_position = 0;  // frames since the stream's first packet, less held ones
    std::uint64_t ready_at = 0;         // the endpoint frame at which it is made ready
};

struct PacketPlanWindows {
    std::vector<FrameSpan> silence, silence_held, glitch, late;
};

class PacketPlan {
public:
    PacketPlan(std::vector<std::uint32_t> sizes, std::vector<std::uint32_t> flags, PacketPlanWindows windows);

    // The stream (re)starts at `frame`: its next packet is the grid's first that begins there or
    // later. The frames skipped since it stopped hold the device position, unless `from_zero`
    // (a first start, or one after Reset) makes that packet's device position 0.
    void start(std::uint64_t frame, bool from_zero);
    // The next packet, then the one after it.
    PlannedPacket peek() const;
    void advance();

private:
    std::uint64_t grid_position(std::uint64_t index) const;
    std::uint64_t first_index_at(std::uint64_t frame) const;

    std::vector<std::uint32_t> sizes_, flags_;
    std::vector<std::uint64_t> offsets_;  // of each size within one cycle of sizes
    std::uint64_t cycle_frames_ = 0;
    PacketPlanWindows windows_;
    std::uint64_t next_ = 0;      // the grid index of the next packet
    std::uint64_t origin_ = 0;    // the position of device position 0
    std::uint64_t held_ = 0;      // frames that did not advance the device position
    std::uint64_t made_ = 0;      // packets made, for packet_flags
    bool discontinuity_ = false;  // a glitch lost the packets before the next one made
};

}  // namespace brisvane::engine_server
