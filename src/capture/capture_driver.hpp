#pragma once

#include <expected>

#include "capture/capture_options.hpp"
#include "error/app_error.hpp"

namespace brisvane {

// Captures what the options ask for, as records on standard output, until the capture ends:
// how it ended (stopped, the application exited), or the error that ended it.
std::expected<EndReason, AppError> run_capture(const CaptureOptions& options);

// Writes the active output devices as records.
std::expected<void, AppError> run_device_list(const CaptureOptions& options);

}  // namespace brisvane
