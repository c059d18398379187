#include "error/out_of_memory.hpp"

#include <windows.h>

#include <span>
#include <string_view>

#include "output/raw_writer.hpp"
#include "output/std_handle_writer.hpp"

namespace brisvane {

void stop_out_of_memory() {
    // Nothing here may allocate: a writer of its own on the stack, not standard error's
    // shared one, which may not exist yet.
    static constexpr std::string_view MESSAGE = "brisvane: out of memory\n";
    StdHandleWriter writer(STD_ERROR_HANDLE);
    (void)write_all_raw(writer, std::as_bytes(std::span(MESSAGE.data(), MESSAGE.size())));
    ExitProcess(OUT_OF_MEMORY_EXIT_STATUS);
}

}  // namespace brisvane
