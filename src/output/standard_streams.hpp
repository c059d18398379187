#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string_view>

#include "output/output_error.hpp"

namespace brisvane {

struct StandardOutput;

// The driver's hold on standard output; while it exists its thread is the only writer.
class OutputLock {
public:
    explicit OutputLock(StandardOutput& output);
    OutputLock(OutputLock&& other) noexcept;
    OutputLock& operator=(OutputLock&&) = delete;
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;
    ~OutputLock();

    // Writes all the bytes to standard output before it returns: nothing is held back.
    std::expected<void, OutputError> write_all(std::span<const std::byte> bytes);

private:
    StandardOutput* output_;
};

// Takes standard output's lock, creating standard output on first use.
OutputLock lock_output();

// Writes the whole text to standard error, unbuffered, under its own lock. A failure
// other than a missing handle stops the process with FAILED_STDERR_EXIT_STATUS.
void print_to_stderr(std::string_view text);

inline constexpr int FAILED_STDERR_EXIT_STATUS = 101;

// Holds standard error's lock for a series of writes, as the exit report makes.
class StderrLock {
public:
    StderrLock();
    StderrLock(const StderrLock&) = delete;
    StderrLock& operator=(const StderrLock&) = delete;
    ~StderrLock();

    std::expected<void, OutputError> write_all(std::span<const std::byte> bytes);
};

// The entry points' last step, after the exit report. It writes nothing: standard output has no
// buffer, so every byte given to write_all has reached the handle already.
void flush_at_exit();

}  // namespace brisvane
