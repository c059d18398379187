#include "error/out_of_memory.hpp"

#include <windows.h>

namespace brisvane {

void stop_out_of_memory() {
    // Nothing here may allocate.
    static constexpr char MESSAGE[] = "brisvane: out of memory\n";
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        (void)WriteFile(handle, MESSAGE, sizeof MESSAGE - 1, &written, nullptr);
    }
    ExitProcess(OUT_OF_MEMORY_EXIT_STATUS);
}

}  // namespace brisvane
