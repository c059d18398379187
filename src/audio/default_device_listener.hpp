#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

#include <expected>

#include "audio/device_change_queue.hpp"
#include "error/audio_error.hpp"

namespace brisvane {

// Registers with the enumerator a listener that hands every new default render endpoint of
// the console role to a queue (other flows and roles are ignored), notes there that an endpoint
// came, went or changed its state, and returns that queue. The registration is never undone, so the system may call the listener until the
// process ends: the listener and its queue live as long as the process.
std::expected<DeviceChangeQueue*, AudioError> listen_for_default_render_changes(IMMDeviceEnumerator& enumerator);

}  // namespace brisvane
