#include <new>

#include "error/exit_report.hpp"
#include "error/out_of_memory.hpp"
#include "main/capture_driver.hpp"
#include "output/standard_streams.hpp"

// Loopback capture of the default render endpoint, streamed as raw PCM on standard output.
int main() {
    std::set_new_handler(brisvane::stop_out_of_memory);
    const int status = brisvane::report_outcome(brisvane::run_capture());
    brisvane::flush_at_exit();
    return status;
}
