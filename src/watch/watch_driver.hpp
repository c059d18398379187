#pragma once

#include <expected>

#include "error/app_error.hpp"

namespace brisvane {

// Writes a line for the default render endpoint, then one for each change of it, until an
// error ends the run.
std::expected<void, AppError> run_watch();

}  // namespace brisvane
