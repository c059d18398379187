// Makes one stream's packets as its settings say, either in real time on its endpoint's clock
// (packet_plan.hpp) or as fast as the program reads them, with their content, positions and
// flags, and writes them to the log. Every call runs under the engine's lock.
#pragma once

#include "fake_engine.hpp"
#include "packet_plan.hpp"
#include "run_clock.hpp"
#include "scenario.hpp"
#include "server_log.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brisvane::engine_server {

// What the players share: the engine they fill, the clock, the log and the exit summary's counts.
struct PlayerContext {
    fakes::FakeEngine& engine;
    const RunClock& clock;
    Log& log;
    bool log_packets = true;
    std::uint64_t packets = 0;
    std::uint64_t lost_packets = 0;
    std::uint64_t lost_frames = 0;
};

class StreamPlayer {
public:
    // `file` holds the file source's bytes, whole frames, when the settings name one.
    StreamPlayer(PlayerContext& context, const fakes::StreamView& stream, StreamSettings settings,
                 const std::string* file);

    bool realtime() const { return settings_.pace == Pace::Realtime; }
    // The audio client's Start (successful), Stop (of a running stream) and Reset.
    void start();
    void stop() { running_ = false; }
    void reset() { from_zero_ = true; }
    // Real time: makes ready every packet due by now; gives when to come back, if ever.
    std::optional<std::uint64_t> serve();
    // As fast as read: the program found nothing ready, so the next packets are made.
    void on_empty_read();

private:
    // Why no more packets come, if none do from here: logged, and the stream ended.
    bool ends_before_next(std::uint64_t due_tick);
    void make(const PlannedPacket& planned);
    std::vector<std::uint8_t> content(std::uint64_t position, std::uint32_t frames) const;
    float sample(std::uint64_t n) const;
    void make_room(std::uint32_t frames);
    bool stream_gone() const;

    PlayerContext& context_;
    fakes::StreamView stream_;
    StreamSettings settings_;
    const std::string* file_;
    PacketPlan plan_;
    std::uint64_t started_tick_ = 0;
    bool started_ = false;
    bool running_ = false;
    bool from_zero_ = true;
    bool ended_ = false;
    std::uint64_t packets_made_ = 0;
    std::uint64_t frames_made_ = 0;
};

}  // namespace brisvane::engine_server
