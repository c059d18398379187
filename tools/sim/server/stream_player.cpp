#include "stream_player.hpp"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace brisvane::engine_server {
namespace {

constexpr HRESULT kDeviceInvalidated = static_cast<HRESULT>(0x88890004);
constexpr DWORD kTimestampError = 0x4;

PacketPlanWindows frames_of(const std::vector<TimeWindow>& windows) {
    PacketPlanWindows out;
    for (const TimeWindow& w : windows) {
        const FrameSpan span{w.from_ms * kFramesPerMs, w.to_ms * kFramesPerMs};
        if (w.kind == TimeWindow::Kind::Glitch) out.glitch.push_back(span);
        else if (w.kind == TimeWindow::Kind::Late) out.late.push_back(span);
        else (w.hold ? out.silence_held : out.silence).push_back(span);
    }
    return out;
}

std::vector<std::uint32_t> widened(const std::vector<DWORD>& flags) { return {flags.begin(), flags.end()}; }

unsigned long long ull(std::uint64_t v) { return v; }

}  // namespace

StreamPlayer::StreamPlayer(PlayerContext& context, const fakes::StreamView& stream, StreamSettings settings,
                           const std::string* file)
    : context_(context), stream_(stream), settings_(std::move(settings)), file_(file),
      plan_(settings_.packet_frames, widened(settings_.packet_flags), frames_of(settings_.windows)) {
    if (file_ != nullptr && !settings_.loop) {
        const std::uint64_t frames = file_->size() / 8;
        settings_.total_frames = settings_.total_frames == 0 ? frames : std::min(settings_.total_frames, frames);
    }
}

void StreamPlayer::start() {
    const std::uint64_t now = context_.clock.now();
    if (!started_) started_tick_ = now;
    started_ = running_ = true;
    std::uint64_t position = frames_made_;
    if (realtime()) {
        plan_.start(context_.clock.frame_at(now), from_zero_);
        position = plan_.peek().position;
    }
    from_zero_ = false;
    context_.log.line("started t=%llu stream=%u pos=%llu", ull(qpc_us()), stream_.id, ull(position));
}

bool StreamPlayer::stream_gone() const {
    const auto view = context_.engine.stream(stream_.id);
    return !view || view->closed || view->failed;
}

std::optional<std::uint64_t> StreamPlayer::serve() {
    if (!running_ || ended_ || !realtime()) return std::nullopt;
    if (stream_gone()) {
        ended_ = true;
        return std::nullopt;
    }
    const RunClock& clock = context_.clock;
    const std::uint64_t now = clock.now();
    const std::optional<std::uint64_t> deadline =
        settings_.invalidate_after_ms ? std::optional(started_tick_ + clock.ticks_of_ms(*settings_.invalidate_after_ms))
                                      : std::nullopt;
    bool any = false;
    for (;;) {
        const PlannedPacket next = plan_.peek();
        const std::uint64_t due = clock.ticks_at_frame(next.ready_at);
        if (due > now) {
            if (deadline && now >= *deadline) ends_before_next(now);
            break;
        }
        if (ends_before_next(due)) break;
        plan_.advance();
        if (next.fate == PlannedPacket::Fate::Lost)
            context_.log.line("glitch stream=%u pos=%llu frames=%u t=%llu", stream_.id, ull(next.position), next.frames,
                              ull(qpc_us()));
        if (next.fate != PlannedPacket::Fate::Made) continue;
        make(next);
        any = true;
    }
    if (any) context_.engine.signal_stream(stream_.id);
    if (ended_) return std::nullopt;
    // Back at the first wake of the endpoint (every packets_per_signal periods) that finds a packet due.
    const std::uint64_t wake = std::uint64_t{settings_.period_ms} * settings_.packets_per_signal * kFramesPerMs;
    const std::uint64_t next_tick = clock.ticks_at_frame((plan_.peek().ready_at + wake - 1) / wake * wake);
    return deadline ? std::min(next_tick, *deadline) : next_tick;
}

// The stream is open: its client has just read it.
void StreamPlayer::on_empty_read() {
    if (!running_ || ended_ || realtime()) return;
    bool any = false;
    const auto now = [&] { return settings_.invalidate_after_ms ? context_.clock.now() : 0; };
    for (unsigned i = 0; i < settings_.packets_per_signal && !ends_before_next(now()); ++i) {
        PlannedPacket p;
        p.position = p.device_position = frames_made_;
        p.frames = settings_.packet_frames[packets_made_ % settings_.packet_frames.size()];
        p.flags = settings_.packet_flags[packets_made_ % settings_.packet_flags.size()];
        make(p);
        any = true;
    }
    if (any) context_.engine.signal_stream(stream_.id);
}

bool StreamPlayer::ends_before_next(std::uint64_t due_tick) {
    if (ended_) return true;
    const bool too_many = settings_.invalidate_after_packets && packets_made_ >= *settings_.invalidate_after_packets;
    const bool too_late = settings_.invalidate_after_ms &&
                          due_tick >= started_tick_ + context_.clock.ticks_of_ms(*settings_.invalidate_after_ms);
    if (too_many || too_late) {
        context_.engine.fail_stream(stream_.id, kDeviceInvalidated);
        context_.log.line("invalidated stream=%u packets=%llu offset=%llu t=%llu", stream_.id, ull(packets_made_),
                          ull(frames_made_ * 8), ull(qpc_us()));
    } else if (stream_.target.process_loopback && !stream_.target.exclude &&
               WaitForSingleObject(stream_.target_process, 0) == WAIT_OBJECT_0) {
        // The platform gives no signal: the stream just gets no more packets.
        context_.log.line("target exited stream=%u pid=%lu t=%llu", stream_.id,
                          static_cast<unsigned long>(stream_.target.process_id), ull(qpc_us()));
    } else if (settings_.total_frames != 0 && frames_made_ >= settings_.total_frames) {
        context_.log.line("source ended stream=%u packets=%llu bytes=%llu", stream_.id, ull(packets_made_),
                          ull(frames_made_ * 8));
    } else {
        return false;
    }
    ended_ = true;
    return true;
}

void StreamPlayer::make(const PlannedPacket& planned) {
    std::uint32_t frames = planned.frames;
    if (settings_.total_frames != 0)
        frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, settings_.total_frames - frames_made_));
    fakes::Packet p;
    p.bytes = content(planned.position, frames);
    p.flags = planned.flags;
    p.device_position = stream_.target.process_loopback ? 0 : planned.device_position;
    if ((p.flags & kTimestampError) == 0)
        p.qpc_position = realtime() ? context_.clock.qpc_position(planned.position) : context_.clock.qpc_position_now();
    if (context_.log_packets)
        context_.log.line("ready stream=%u seq=%llu frames=%u offset=%llu pos=%llu dev=%llu qpc=%llu flags=%lu t=%llu",
                          stream_.id, ull(packets_made_), frames, ull(frames_made_ * 8), ull(planned.position),
                          ull(*p.device_position), ull(p.qpc_position), static_cast<unsigned long>(p.flags),
                          ull(qpc_us()));
    if (realtime()) make_room(frames);
    context_.engine.push_packet_to(stream_.id, std::move(p));
    ++packets_made_;
    ++context_.packets;
    frames_made_ += frames;
}

std::vector<std::uint8_t> StreamPlayer::content(std::uint64_t position, std::uint32_t frames) const {
    std::vector<std::uint8_t> bytes(std::size_t{frames} * 8);
    const std::uint64_t offset = frames_made_ * 8;
    switch (settings_.source) {
        case SourceKind::Counting: {
            // With a base, frame p of the endpoint carries the count's frame base + p; without,
            // the stream counts its own bytes from 0.
            const std::uint64_t first = settings_.counting_base ? (*settings_.counting_base + position) * 8 : offset;
            for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = counting_byte(first + i);
            break;
        }
        case SourceKind::File:
            // Played once, or looped: byte i of the stream is byte i mod size of the file.
            for (std::size_t done = 0; done < bytes.size();) {
                const auto at = static_cast<std::size_t>((offset + done) % file_->size());
                const std::size_t n = std::min(bytes.size() - done, file_->size() - at);
                std::memcpy(bytes.data() + done, file_->data() + at, n);
                done += n;
            }
            break;
        default:
            for (std::uint32_t i = 0; i < frames; ++i) {
                const float v = sample(frames_made_ + i);
                std::memcpy(bytes.data() + i * 8, &v, 4);
                std::memcpy(bytes.data() + i * 8 + 4, &v, 4);
            }
    }
    return bytes;
}

float StreamPlayer::sample(std::uint64_t n) const {
    const double t = static_cast<double>(n) / 48000.0;
    if (settings_.source == SourceKind::Tone)
        return static_cast<float>(settings_.amplitude * std::sin(2 * std::numbers::pi * settings_.frequency * t));
    const double duration = static_cast<double>(settings_.total_frames) / 48000.0;
    const double k = std::log(settings_.frequency_end / settings_.frequency);
    const double phase = 2 * std::numbers::pi * settings_.frequency * duration / k * (std::exp(t * k / duration) - 1);
    return static_cast<float>(settings_.amplitude * std::sin(phase));
}

// The endpoint buffer overflows as a real one does: the oldest packets are overwritten.
void StreamPlayer::make_room(std::uint32_t frames) {
    while (context_.engine.ready_frames(stream_.id) + frames > settings_.endpoint_frames) {
        auto dropped = context_.engine.drop_oldest(stream_.id);
        if (!dropped) break;
        ++context_.lost_packets;
        context_.lost_frames += dropped->frame_count();
        context_.log.line("lost stream=%u frames=%u t=%llu", stream_.id, dropped->frame_count(), ull(qpc_us()));
    }
}

}  // namespace brisvane::engine_server
