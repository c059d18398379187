#pragma once

#include <cstdint>
#include <expected>

#include "error/app_error.hpp"

namespace brisvane {

// Timeout of each wait on the buffer event, in milliseconds.
inline constexpr std::uint32_t EVENT_WAIT_MS = 3000;

// Queue storage for an endpoint buffer: room for two buffers and two frames.
constexpr std::uint64_t queue_capacity(std::uint32_t buffer_frames) {
    return std::uint64_t{buffer_frames} * 16 + 15360;
}

// Sets up loopback capture of the default render endpoint and streams it to standard
// output until something fails; it only ever returns an error.
std::expected<void, AppError> run_capture();

}  // namespace brisvane
