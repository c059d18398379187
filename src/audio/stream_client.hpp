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

namespace brisvane {

class BufferEvent;
class PacketReader;

// An audio client and what its initialisation set up; the last three are unset until then.
class StreamClient {
public:
    StreamClient(ComPtr<IAudioClient> client, Direction direction)
        : client_(std::move(client)), direction_(direction) {}

    IAudioClient* get() const { return client_.get(); }
    Direction direction() const { return direction_; }
    std::optional<std::uint32_t> share_mode() const { return share_mode_; }
    std::optional<bool> event_driven() const { return event_driven_; }
    std::optional<std::size_t> bytes_per_frame() const { return bytes_per_frame_; }

private:
    friend std::expected<void, AudioError> initialize_client(StreamClient&, const WAVEFORMATEXTENSIBLE&, Direction,
                                                             const ClientMode&);

    ComPtr<IAudioClient> client_;
    Direction direction_;
    std::optional<std::uint32_t> share_mode_;
    std::optional<bool> event_driven_;
    std::optional<std::size_t> bytes_per_frame_;
};

// The engine's default and minimum periods.
std::expected<DevicePeriod, AudioError> device_period(const StreamClient& client);

// Initialises the client for the requested direction and mode with the given format.
std::expected<void, AudioError> initialize_client(StreamClient& client, const WAVEFORMATEXTENSIBLE& format,
                                                  Direction requested, const ClientMode& mode);

// The endpoint buffer's size in sample frames.
std::expected<std::uint32_t, AudioError> buffer_frame_count(const StreamClient& client);

// A new auto-reset event, registered as the client's buffer event.
std::expected<BufferEvent, AudioError> create_buffer_event(const StreamClient& client);

// Registers the event that the engine sets when captured data is ready.
std::expected<void, AudioError> set_buffer_event(const StreamClient& client, HANDLE event);

// The capture service of the client.
std::expected<PacketReader, AudioError> capture_service(const StreamClient& client);

std::expected<void, AudioError> start_stream(const StreamClient& client);

// Stops a started stream; the engine keeps nothing for it afterwards.
std::expected<void, AudioError> stop_stream(const StreamClient& client);

}  // namespace brisvane
