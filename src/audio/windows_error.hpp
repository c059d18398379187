#pragma once

#include <windows.h>

#include <expected>
#include <utility>

#include "error/audio_error.hpp"
#include "error/hresult_error.hpp"

namespace brisvane {

// The audio layer's error for a failed platform call: its status, with the thread's error object.
inline std::unexpected<AudioError> windows_error(HRESULT status) {
    return std::unexpected(AudioError::windows(HresultError::from_status(status)));
}

// The same, for a status whose error object was taken earlier.
inline std::unexpected<AudioError> windows_error(HresultError error) {
    return std::unexpected(AudioError::windows(std::move(error)));
}

// A call that reported success but handed back no object.
inline std::unexpected<AudioError> no_object_error() {
    return std::unexpected(AudioError::windows(HresultError::empty()));
}

}  // namespace brisvane
