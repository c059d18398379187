#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

#include <expected>

#include "audio/audio_types.hpp"
#include "error/audio_error.hpp"
#include "platform/com_ptr.hpp"

namespace brisvane {

// The system's device enumerator.
std::expected<ComPtr<IMMDeviceEnumerator>, AudioError> create_device_enumerator();

// The enumerator's default endpoint for the direction, in the console role.
std::expected<ComPtr<IMMDevice>, AudioError> default_device(IMMDeviceEnumerator& enumerator, Direction direction);

}  // namespace brisvane
