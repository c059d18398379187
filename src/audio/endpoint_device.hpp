#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

#include <expected>

#include "audio/audio_types.hpp"
#include "platform/com_ptr.hpp"
#include "error/audio_error.hpp"

namespace brisvane {

class StreamClient;

// The default endpoint of a direction, as the device enumerator gave it.
struct EndpointDevice {
    ComPtr<IMMDevice> device;
    Direction direction;
};

// Joins the calling thread to the multithreaded apartment; the status comes back unchanged.
HRESULT initialize_com();

// The default endpoint for the direction, in the console role.
std::expected<EndpointDevice, AudioError> open_default_endpoint(Direction direction);

// An audio client activated on the endpoint.
std::expected<StreamClient, AudioError> activate_client(const EndpointDevice& endpoint);

// An audio client activated on a device of the given direction.
std::expected<StreamClient, AudioError> activate_client(IMMDevice& device, Direction direction);

}  // namespace brisvane
