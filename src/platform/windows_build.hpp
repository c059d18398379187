#pragma once

#include <cstdint>

namespace brisvane {

// The build number of the running Windows, as the kernel reports it (RtlGetVersion: not the
// compatibility version that GetVersionEx gives a program without a manifest); 0 if unknown.
std::uint32_t windows_build();

}  // namespace brisvane
