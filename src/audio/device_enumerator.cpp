#include "audio/device_enumerator.hpp"

#include "audio/windows_error.hpp"

namespace brisvane {

namespace {

// {BCDE0395-E52F-467C-8E3D-C4579291692E}
constexpr CLSID CLSID_DEVICE_ENUMERATOR = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
// {A95664D2-9614-4F35-A746-DE8DB63617E6}
constexpr IID IID_DEVICE_ENUMERATOR = {0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};

}  // namespace

std::expected<ComPtr<IMMDeviceEnumerator>, AudioError> create_device_enumerator() {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (const HRESULT hr = CoCreateInstance(CLSID_DEVICE_ENUMERATOR, nullptr, CLSCTX_ALL, IID_DEVICE_ENUMERATOR,
                                            enumerator.put_void());
        FAILED(hr)) {
        return windows_error(hr);
    }
    if (!enumerator) {
        return no_object_error();
    }
    return enumerator;
}

std::expected<ComPtr<IMMDevice>, AudioError> default_device(IMMDeviceEnumerator& enumerator, Direction direction) {
    ComPtr<IMMDevice> device;
    if (const HRESULT hr =
            enumerator.GetDefaultAudioEndpoint(static_cast<EDataFlow>(direction), eConsole, device.put());
        FAILED(hr)) {
        return windows_error(hr);
    }
    if (!device) {
        return no_object_error();
    }
    return device;
}

std::expected<ComPtr<IMMDevice>, AudioError> device_by_id(IMMDeviceEnumerator& enumerator, const std::wstring& id) {
    ComPtr<IMMDevice> device;
    if (const HRESULT hr = enumerator.GetDevice(id.c_str(), device.put()); FAILED(hr)) {
        return windows_error(hr);
    }
    if (!device) {
        return no_object_error();
    }
    return device;
}

std::expected<DWORD, AudioError> device_state(IMMDevice& device) {
    DWORD state = 0;
    if (const HRESULT hr = device.GetState(&state); FAILED(hr)) {
        return windows_error(hr);
    }
    return state;
}

}  // namespace brisvane
