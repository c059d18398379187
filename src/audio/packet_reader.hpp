#pragma once

#include <windows.h>
#include <audioclient.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "audio/audio_types.hpp"
#include "platform/com_ptr.hpp"
#include "error/audio_error.hpp"
#include "output/pcm_queue.hpp"

namespace brisvane {

// The capture service and the frame size of the stream it reads.
class PacketReader {
public:
    PacketReader(ComPtr<IAudioCaptureClient> capture, std::size_t bytes_per_frame,
                 std::optional<std::uint32_t> share_mode)
        : capture_(std::move(capture)), bytes_per_frame_(bytes_per_frame), share_mode_(share_mode) {}

    IAudioCaptureClient* get() const { return capture_.get(); }
    std::size_t bytes_per_frame() const { return bytes_per_frame_; }
    std::optional<std::uint32_t> share_mode() const { return share_mode_; }

private:
    ComPtr<IAudioCaptureClient> capture_;
    std::size_t bytes_per_frame_;
    std::optional<std::uint32_t> share_mode_;
};

// A packet that the engine lends until it is released: its bytes as delivered.
struct HeldPacket {
    PacketInfo info;
    std::span<const std::byte> bytes;
};

// Takes the next packet from the capture buffer, if any: 0 frames means the buffer is empty,
// and such a packet is not to be released.
std::expected<HeldPacket, AudioError> acquire_packet(const PacketReader& reader);
// Hands a packet of that many frames back to the engine.
std::expected<void, AudioError> release_packet(const PacketReader& reader, std::uint32_t frames);

// Reads at most one packet, appends its bytes to the queue as delivered and hands it
// back to the engine. A report of 0 frames means the capture buffer is empty.
std::expected<PacketInfo, AudioError> read_packet(const PacketReader& reader, PcmQueue& queue);

}  // namespace brisvane
