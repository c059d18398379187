#include "audio/stream_client.hpp"

#include "audio/buffer_event.hpp"
#include "audio/client_plan.hpp"
#include "audio/packet_reader.hpp"
#include "audio/windows_error.hpp"

namespace brisvane {

namespace {

// {C8ADBD64-E71E-48A0-A4DE-185C395CD317}
constexpr IID IID_AUDIO_CAPTURE_CLIENT = {
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};

}  // namespace

std::expected<DevicePeriod, AudioError> device_period(const StreamClient& client) {
    REFERENCE_TIME default_hns = 0;
    REFERENCE_TIME minimum_hns = 0;
    if (const HRESULT hr = client.get()->GetDevicePeriod(&default_hns, &minimum_hns); FAILED(hr)) {
        return windows_error(hr);
    }
    return DevicePeriod{default_hns, minimum_hns};
}

std::expected<void, AudioError> initialize_client(StreamClient& client, const WAVEFORMATEXTENSIBLE& format,
                                                  Direction requested, const ClientMode& mode) {
    const auto plan = plan_client(client.direction(), requested, mode);
    if (!plan) {
        return std::unexpected(plan.error() == ClientRefusal::LoopbackWithExclusiveMode
                                   ? AudioError::loopback_with_exclusive_mode()
                                   : AudioError::render_to_capture_device());
    }
    const HRESULT hr = client.get()->Initialize(static_cast<AUDCLNT_SHAREMODE>(plan->share_mode), plan->stream_flags,
                                                plan->buffer_hns, plan->periodicity_hns,
                                                reinterpret_cast<const WAVEFORMATEX*>(&format), nullptr);
    if (FAILED(hr)) {
        return windows_error(hr);
    }
    client.direction_ = requested;
    client.share_mode_ = plan->share_mode;
    client.event_driven_ = plan->event_driven;
    client.bytes_per_frame_ = format.Format.nBlockAlign;
    return {};
}

std::expected<std::uint32_t, AudioError> buffer_frame_count(const StreamClient& client) {
    UINT32 frames = 0;
    if (const HRESULT hr = client.get()->GetBufferSize(&frames); FAILED(hr)) {
        return windows_error(hr);
    }
    return frames;
}

std::expected<BufferEvent, AudioError> create_buffer_event(const StreamClient& client) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr || event == INVALID_HANDLE_VALUE) {
        return windows_error(HresultError::from_last_error());
    }
    // The handle stays open for the life of the process, also when registration fails.
    if (auto set = set_buffer_event(client, event); !set) {
        return std::unexpected(std::move(set.error()));
    }
    return BufferEvent(event);
}

std::expected<void, AudioError> set_buffer_event(const StreamClient& client, HANDLE event) {
    if (const HRESULT hr = client.get()->SetEventHandle(event); FAILED(hr)) {
        return windows_error(hr);
    }
    return {};
}

std::expected<PacketReader, AudioError> capture_service(const StreamClient& client) {
    ComPtr<IAudioCaptureClient> capture;
    if (const HRESULT hr = client.get()->GetService(IID_AUDIO_CAPTURE_CLIENT, capture.put_void()); FAILED(hr)) {
        return windows_error(hr);
    }
    if (!capture) {
        return no_object_error();
    }
    return PacketReader(std::move(capture), client.bytes_per_frame().value_or(0), client.share_mode());
}

std::expected<void, AudioError> start_stream(const StreamClient& client) {
    if (const HRESULT hr = client.get()->Start(); FAILED(hr)) {
        return windows_error(hr);
    }
    return {};
}

std::expected<void, AudioError> stop_stream(const StreamClient& client) {
    if (const HRESULT hr = client.get()->Stop(); FAILED(hr)) {
        return windows_error(hr);
    }
    return {};
}

}  // namespace brisvane
