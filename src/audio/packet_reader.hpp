#pragma once

#include <windows.h>
#include <audioclient.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>

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

// Reads at most one packet, appends its bytes to the queue as delivered and hands it
// back to the engine. A report of 0 frames means the capture buffer is empty.
std::expected<PacketInfo, AudioError> read_packet(const PacketReader& reader, PcmQueue& queue);

}  // namespace brisvane
