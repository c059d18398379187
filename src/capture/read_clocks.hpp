#pragma once

#include "capture/engine_time.hpp"

namespace brisvane {

// The performance counter and the system time, read together.
ClockReading read_clocks();

}  // namespace brisvane
