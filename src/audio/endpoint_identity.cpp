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
        if (cause && cause->code() == ENDPOINT_NOT_FOUND) return std::nullopt;
        return std::unexpected(std::move(device.error()));
    }
    auto identity = device_identity(*device->get());
    if (!identity) return std::unexpected(std::move(identity.error()));
    return std::move(*identity);
}

std::expected<EndpointIdentity, AudioError> endpoint_identity(IMMDeviceEnumerator& enumerator, const std::wstring& id) {
    auto device = device_by_id(enumerator, id);
    if (!device) return std::unexpected(std::move(device.error()));
    return identity_of(*device->get(), id);
}

std::expected<EndpointIdentity, AudioError> device_identity(IMMDevice& device) {
    auto id = device_id(device);
    if (!id) return std::unexpected(std::move(id.error()));
    return identity_of(device, std::move(*id));
}

std::expected<std::vector<EndpointIdentity>, AudioError> active_render_endpoints(IMMDeviceEnumerator& enumerator) {
    ComPtr<IMMDeviceCollection> collection;
    if (const HRESULT hr = enumerator.EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, collection.put()); FAILED(hr)) {
        return windows_error(hr);
    }
    if (!collection) {
        return no_object_error();
    }
    UINT count = 0;
    if (const HRESULT hr = collection->GetCount(&count); FAILED(hr)) {
        return windows_error(hr);
    }
    std::vector<EndpointIdentity> endpoints;
    for (UINT i = 0; i < count; ++i) {
        ComPtr<IMMDevice> device;
        if (const HRESULT hr = collection->Item(i, device.put()); FAILED(hr)) {
            return windows_error(hr);
        }
        if (!device) {
            return no_object_error();
        }
        auto identity = device_identity(*device.get());
        if (!identity) return std::unexpected(std::move(identity.error()));
        endpoints.push_back(std::move(*identity));
    }
    return endpoints;
}

}  // namespace brisvane
