#pragma once

namespace brisvane {

// Exit status of a process that could not obtain storage.
inline constexpr int OUT_OF_MEMORY_EXIT_STATUS = 102;

// Ends the process at once: one short line on standard error, then OUT_OF_MEMORY_EXIT_STATUS.
// Installed as the allocation failure handler, so it covers every allocation.
[[noreturn]] void stop_out_of_memory();

}  // namespace brisvane
