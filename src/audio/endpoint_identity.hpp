#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "error/audio_error.hpp"

namespace brisvane {

// What names an endpoint: the platform's id and the friendly name people see.
struct EndpointIdentity {
    std::wstring id;
    std::wstring name;  // empty when the device has none
};

// The default render endpoint of the console role, or nothing when the system has none.
std::expected<std::optional<EndpointIdentity>, AudioError> default_render_identity(IMMDeviceEnumerator& enumerator);

// The endpoint with the given id.
std::expected<EndpointIdentity, AudioError> endpoint_identity(IMMDeviceEnumerator& enumerator, const std::wstring& id);

// The id and name of a device.
std::expected<EndpointIdentity, AudioError> device_identity(IMMDevice& device);

// The active render endpoints, in the system's order.
std::expected<std::vector<EndpointIdentity>, AudioError> active_render_endpoints(IMMDeviceEnumerator& enumerator);

}  // namespace brisvane
