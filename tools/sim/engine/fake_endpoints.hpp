// The render endpoints of the simulated engine: which exist, in which state, which is the
// default, and who listens for changes; with the enumerator's and the device's methods that
// read them.
#pragma once

#include "fake_types.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brisvane::fakes {

struct FakeEndpoint {
    std::wstring id;
    std::wstring name;  // PKEY_Device_FriendlyName
    DWORD state = DEVICE_STATE_ACTIVE;
};

// The one endpoint of an engine that is told of no other.
inline const FakeEndpoint kBuiltInEndpoint{L"{0.0.0.00000000}.{fake-render-endpoint}",
                                           L"Speakers (Simulated Audio Engine)"};

namespace detail {

struct EngineState;

struct EndpointDirectory {
    std::vector<FakeEndpoint> devices{kBuiltInEndpoint};
    std::optional<std::wstring> default_id = kBuiltInEndpoint.id;  // none: GetDefaultAudioEndpoint fails
    // Registered listeners, held without a reference as the system does.
    std::vector<IMMNotificationClient*> listeners;

    const FakeEndpoint* find(const std::wstring& id) const;
    FakeEndpoint* find(const std::wstring& id);
};

// Made in fake_audio_objects.cpp: a device object for the endpoint with this id.
IMMDevice* new_device(const std::shared_ptr<EngineState>& state, std::wstring id);

// IMMDeviceEnumerator::GetDevice, EnumAudioEndpoints, RegisterEndpointNotificationCallback,
// Unregister...; IMMDevice::GetId, GetState and OpenPropertyStore, each recorded and open to
// injected faults.
HRESULT get_device(const std::shared_ptr<EngineState>& state, LPCWSTR id, IMMDevice** out);
HRESULT enum_endpoints(const std::shared_ptr<EngineState>& state, EDataFlow flow, DWORD mask,
                       IMMDeviceCollection** out);
HRESULT device_state(const std::shared_ptr<EngineState>& state, const std::wstring& id, DWORD* out);
HRESULT register_listener(const std::shared_ptr<EngineState>& state, IMMNotificationClient* listener);
HRESULT unregister_listener(const std::shared_ptr<EngineState>& state, IMMNotificationClient* listener);
HRESULT copy_device_id(const std::shared_ptr<EngineState>& state, const std::wstring& id, LPWSTR* out);
HRESULT open_property_store(const std::shared_ptr<EngineState>& state, const std::wstring& id, IPropertyStore** out);

}  // namespace detail
}  // namespace brisvane::fakes
