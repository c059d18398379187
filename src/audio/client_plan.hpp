#pragma once

#include <cstdint>
#include <expected>

#include "audio/audio_types.hpp"

namespace brisvane {

inline constexpr std::uint32_t SHARE_MODE_SHARED = 0;     // AUDCLNT_SHAREMODE_SHARED
inline constexpr std::uint32_t SHARE_MODE_EXCLUSIVE = 1;  // AUDCLNT_SHAREMODE_EXCLUSIVE

inline constexpr std::uint32_t STREAMFLAGS_LOOPBACK = 0x00020000;
inline constexpr std::uint32_t STREAMFLAGS_EVENTCALLBACK = 0x00040000;
inline constexpr std::uint32_t STREAMFLAGS_SRC_DEFAULT_QUALITY = 0x08000000;
inline constexpr std::uint32_t STREAMFLAGS_AUTOCONVERTPCM = 0x80000000;

// The arguments of IAudioClient::Initialize for one request. No member ends in padding:
// libc++ 16 keeps std::expected's has-value flag in a value's tail padding, where copying
// the value overwrites it.
struct ClientPlan {
    std::uint32_t share_mode = SHARE_MODE_SHARED;
    std::uint32_t stream_flags = 0;
    bool event_driven = false;
    std::int64_t buffer_hns = 0;
    std::int64_t periodicity_hns = 0;
    friend bool operator==(const ClientPlan&, const ClientPlan&) = default;
};

// Requests refused before any platform call.
enum class ClientRefusal { LoopbackWithExclusiveMode, RenderToCaptureDevice };

// Share mode, stream flags and durations for a client opened for `client_direction`
// and asked to stream in `requested` direction; a Render client asked to capture is loopback.
std::expected<ClientPlan, ClientRefusal> plan_client(Direction client_direction, Direction requested,
                                                     const ClientMode& mode);

}  // namespace brisvane
