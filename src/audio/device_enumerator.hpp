#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

#include <expected>
#include <string>

#include "audio/audio_types.hpp"
#include "error/audio_error.hpp"
#include "platform/com_ptr.hpp"

namespace brisvane {

// The system's device enumerator.
std::expected<ComPtr<IMMDeviceEnumerator>, AudioError> create_device_enumerator();

// The enumerator's default endpoint for the direction, in the console role.
std::expected<ComPtr<IMMDevice>, AudioError> default_device(IMMDeviceEnumerator& enumerator, Direction direction);

// The endpoint with this id, whatever its state.
std::expected<ComPtr<IMMDevice>, AudioError> device_by_id(IMMDeviceEnumerator& enumerator, const std::wstring& id);

// DEVICE_STATE_ACTIVE, DISABLED, NOTPRESENT or UNPLUGGED.
std::expected<DWORD, AudioError> device_state(IMMDevice& device);

// What GetDefaultAudioEndpoint and GetDevice return when there is no such endpoint.
inline constexpr HRESULT ENDPOINT_NOT_FOUND = static_cast<HRESULT>(0x80070490);

}  // namespace brisvane
