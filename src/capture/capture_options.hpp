// brisvane-capture.exe's command line: what to capture, in which format, how to recover.
// Platform-free; the arguments come as UTF-8.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "capture/output_format.hpp"
#include "capture/records.hpp"
#include "capture/reopen_policy.hpp"

namespace brisvane {

struct CaptureOptions {
    SourceKind source = SourceKind::DefaultDevice;
    std::string device_id;         // with SourceKind::Device, UTF-8
    std::uint32_t process_id = 0;  // with SourceKind::App and AllButApp
    OutputFormat format;
    TimelineMode timeline = TimelineMode::Exact;
    bool follow_default = true;
    std::uint32_t fill_lag_ms = 200;  // how far the continuous timeline follows the clock behind it
    ReopenSettings reopen;
};

enum class CommandKind { Capture, Help, Version };

struct Command {
    CommandKind kind = CommandKind::Capture;
    CaptureOptions options;
};

// The command the arguments (without the program's name) ask for, or why they cannot be taken.
std::expected<Command, std::string> parse_command_line(std::span<const std::string> arguments);

// What --help writes, and what follows a refused command line.
std::string_view usage_text();

}  // namespace brisvane
