#include <new>

#include "error/exit_report.hpp"
#include "error/out_of_memory.hpp"
#include "output/standard_streams.hpp"
#include "watch/watch_driver.hpp"

// Writes the default render endpoint, and each change of it, as lines on standard output.
int main() {
    std::set_new_handler(brisvane::stop_out_of_memory);
    const int status = brisvane::report_outcome(brisvane::run_watch());
    brisvane::flush_at_exit();
    return status;
}
