#include "audio/endpoint_device.hpp"

#include <audioclient.h>

#include "audio/device_enumerator.hpp"
#include "audio/stream_client.hpp"
#include "audio/windows_error.hpp"

namespace brisvane {

namespace {

// {1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}
constexpr IID IID_AUDIO_CLIENT = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};

}  // namespace

HRESULT initialize_com() { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }

std::expected<EndpointDevice, AudioError> open_default_endpoint(Direction direction) {
    auto enumerator = create_device_enumerator();
    if (!enumerator) return std::unexpected(std::move(enumerator.error()));
    // The error, if any, holds the thread's error object before the enumerator's release can replace it.
    auto device = default_device(*enumerator->get(), direction);
    enumerator->reset();
    if (!device) return std::unexpected(std::move(device.error()));
    return EndpointDevice{std::move(*device), direction};
}

std::expected<StreamClient, AudioError> activate_client(const EndpointDevice& endpoint) {
    return activate_client(*endpoint.device.get(), endpoint.direction);
}

std::expected<StreamClient, AudioError> activate_client(IMMDevice& device, Direction direction) {
    ComPtr<IAudioClient> client;
    if (const HRESULT hr = device.Activate(IID_AUDIO_CLIENT, CLSCTX_ALL, nullptr, client.put_void()); FAILED(hr)) {
        return windows_error(hr);
    }
    if (!client) {
        return no_object_error();
    }
    return StreamClient(std::move(client), direction);
}

}  // namespace brisvane
