#include "audio/endpoint_device.hpp"

#include <audioclient.h>

#include "audio/stream_client.hpp"
#include "audio/windows_error.hpp"

namespace brisvane {

namespace {

// {BCDE0395-E52F-467C-8E3D-C4579291692E}
constexpr CLSID CLSID_DEVICE_ENUMERATOR = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
// {A95664D2-9614-4F35-A746-DE8DB63617E6}
constexpr IID IID_DEVICE_ENUMERATOR = {0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
// {1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}
constexpr IID IID_AUDIO_CLIENT = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};

}  // namespace

HRESULT initialize_com() { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }

std::expected<EndpointDevice, AudioError> open_default_endpoint(Direction direction) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (const HRESULT hr = CoCreateInstance(CLSID_DEVICE_ENUMERATOR, nullptr, CLSCTX_ALL, IID_DEVICE_ENUMERATOR,
                                            enumerator.put_void());
        FAILED(hr)) {
        return windows_error(hr);
    }
    if (!enumerator) {
        return no_object_error();
    }
    ComPtr<IMMDevice> device;
    const HRESULT hr =
        enumerator->GetDefaultAudioEndpoint(static_cast<EDataFlow>(direction), eConsole, device.put());
    if (FAILED(hr)) {
        // Take the thread's error object before the enumerator's release can replace it.
        auto error = HresultError::from_status(hr);
        enumerator.reset();
        return windows_error(std::move(error));
    }
    enumerator.reset();
    if (!device) {
        return no_object_error();
    }
    return EndpointDevice{std::move(device), direction};
}

std::expected<StreamClient, AudioError> activate_client(const EndpointDevice& endpoint) {
    ComPtr<IAudioClient> client;
    if (const HRESULT hr = endpoint.device->Activate(IID_AUDIO_CLIENT, CLSCTX_ALL, nullptr, client.put_void());
        FAILED(hr)) {
        return windows_error(hr);
    }
    if (!client) {
        return no_object_error();
    }
    return StreamClient(std::move(client), endpoint.direction);
}

}  // namespace brisvane
