#pragma once

#include <expected>

#include "error/app_error.hpp"

namespace brisvane {

// Writes the exit report of an error to standard error and gives the exit status:
// 0 and nothing written on success, 1 after a report. Failed writes are ignored.
int report_outcome(std::expected<void, AppError> outcome);

}  // namespace brisvane
