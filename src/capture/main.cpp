#include <new>
#include <span>
#include <string>
#include <vector>

#include "capture/capture_driver.hpp"
#include "error/exit_report.hpp"
#include "error/out_of_memory.hpp"
#include "error/wide_text.hpp"
#include "output/standard_streams.hpp"
#include "platform/utf16_view.hpp"

namespace {

constexpr int INVALID_COMMAND_LINE_STATUS = 2;

void write_to_stderr(std::string_view text) {
    brisvane::StderrLock lock;
    (void)lock.write_all(std::as_bytes(std::span(text.data(), text.size())));
}

// The report of a refused command line, then the usage.
int refuse(std::string reason) {
    (void)brisvane::report_outcome(
        std::unexpected(brisvane::AppError("invalid command line", brisvane::MessageError(std::move(reason)))));
    write_to_stderr("\n");
    write_to_stderr(brisvane::usage_text());
    return INVALID_COMMAND_LINE_STATUS;
}

int run(std::span<const std::string> arguments) {
    auto command = brisvane::parse_command_line(arguments);
    if (!command) return refuse(std::move(command.error()));
    switch (command->kind) {
        case brisvane::CommandKind::Help:
            write_to_stderr(brisvane::usage_text());
            return 0;
        case brisvane::CommandKind::Version:
            write_to_stderr("brisvane-capture " BRISVANE_VERSION "\n");
            return 0;
        case brisvane::CommandKind::Capture:
            break;
    }
    if (command->options.source == brisvane::SourceKind::DeviceList) {
        return brisvane::report_outcome(brisvane::run_device_list(command->options));
    }
    auto ended = brisvane::run_capture(command->options);
    if (!ended) return brisvane::report_outcome(std::unexpected(std::move(ended.error())));
    return 0;
}

}  // namespace

// Captures the chosen source as a stream of records on standard output (docs/PROTOCOL.md).
int wmain(int argc, wchar_t** argv) {
    std::set_new_handler(brisvane::stop_out_of_memory);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(brisvane::utf16_to_utf8_lossy(brisvane::as_utf16(argv[i])));
    const int status = run(arguments);
    brisvane::flush_at_exit();
    return status;
}
