#include "audio/endpoint_identity.hpp"

#include "audio/device_enumerator.hpp"
#include "audio/windows_error.hpp"
#include "platform/co_task_memory.hpp"
#include "platform/com_ptr.hpp"
#include "platform/prop_variant.hpp"

namespace brisvane {

namespace {

// PKEY_Device_FriendlyName: {A45C254E-DF1C-4EFD-8020-67D146A850E0}, 14.
constexpr PROPERTYKEY FRIENDLY_NAME_KEY = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};

// What GetDefaultAudioEndpoint returns when there is no default endpoint.
constexpr HRESULT NOT_FOUND = static_cast<HRESULT>(0x80070490);

std::expected<std::wstring, AudioError> device_id(IMMDevice& device) {
    CoTaskMemory<wchar_t> id;
    if (const HRESULT hr = device.GetId(id.put()); FAILED(hr)) {
        return windows_error(hr);
    }
    if (!id.get()) {
        return no_object_error();
    }
    return std::wstring(id.get());
}

std::expected<std::wstring, AudioError> friendly_name(IMMDevice& device) {
    ComPtr<IPropertyStore> store;
    if (const HRESULT hr = device.OpenPropertyStore(STGM_READ, store.put()); FAILED(hr)) {
        return windows_error(hr);
    }
    if (!store) {
        return no_object_error();
    }
    PropVariant name;
    if (const HRESULT hr = store->GetValue(FRIENDLY_NAME_KEY, name.put()); FAILED(hr)) {
        return windows_error(hr);
    }
    // A device without the property gives VT_EMPTY: it has no name to show.
    if (name.get().vt != VT_LPWSTR || name.get().pwszVal == nullptr) {
        return std::wstring();
    }
    return std::wstring(name.get().pwszVal);
}

std::expected<EndpointIdentity, AudioError> identity_of(IMMDevice& device, std::wstring id) {
    auto name = friendly_name(device);
    if (!name) return std::unexpected(std::move(name.error()));
    return EndpointIdentity{std::move(id), std::move(*name)};
}

}  // namespace

std::expected<std::optional<EndpointIdentity>, AudioError> default_render_identity(IMMDeviceEnumerator& enumerator) {
    auto device = default_device(enumerator, Direction::Render);
    if (!device) {
        const HresultError* cause = device.error().hresult();
        if (cause && cause->code() == NOT_FOUND) return std::nullopt;
        return std::unexpected(std::move(device.error()));
    }
    auto id = device_id(*device->get());
    if (!id) return std::unexpected(std::move(id.error()));
    auto identity = identity_of(*device->get(), std::move(*id));
    if (!identity) return std::unexpected(std::move(identity.error()));
    return std::move(*identity);
}

std::expected<EndpointIdentity, AudioError> endpoint_identity(IMMDeviceEnumerator& enumerator, const std::wstring& id) {
    ComPtr<IMMDevice> device;
    if (const HRESULT hr = enumerator.GetDevice(id.c_str(), device.put()); FAILED(hr)) {
        return windows_error(hr);
    }
    if (!device) {
        return no_object_error();
    }
    return identity_of(*device.get(), id);
}

}  // namespace brisvane
