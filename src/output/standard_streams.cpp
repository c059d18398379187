#include "output/standard_streams.hpp"

#include <windows.h>

#include <utility>

#include "output/raw_writer.hpp"
#include "output/reentrant_lock.hpp"
#include "output/std_handle_writer.hpp"

namespace brisvane {

struct StandardOutput {
    ReentrantLock lock;
    StdHandleWriter writer{STD_OUTPUT_HANDLE};
};

namespace {

// Created once, on first use, and never destroyed.
StandardOutput& standard_output() {
    static StandardOutput* const instance = new StandardOutput();
    return *instance;
}

struct StandardError {
    ReentrantLock lock;
    StdHandleWriter writer{STD_ERROR_HANDLE};
};

StandardError& standard_error() {
    static StandardError* const instance = new StandardError();
    return *instance;
}

}  // namespace

OutputLock::OutputLock(StandardOutput& output) : output_(&output) { output_->lock.lock(); }

OutputLock::OutputLock(OutputLock&& other) noexcept : output_(std::exchange(other.output_, nullptr)) {}

OutputLock::~OutputLock() {
    if (output_) {
        output_->lock.unlock();
    }
}

std::expected<void, OutputError> OutputLock::write_all(std::span<const std::byte> bytes) {
    return write_all_raw(output_->writer, bytes);
}

OutputLock lock_output() { return OutputLock(standard_output()); }

StderrLock::StderrLock() { standard_error().lock.lock(); }

StderrLock::~StderrLock() { standard_error().lock.unlock(); }

std::expected<void, OutputError> StderrLock::write_all(std::span<const std::byte> bytes) {
    return write_all_raw(standard_error().writer, bytes);
}

void print_to_stderr(std::string_view text) {
    StderrLock lock;
    if (!lock.write_all(std::as_bytes(std::span(text.data(), text.size())))) {
        ExitProcess(FAILED_STDERR_EXIT_STATUS);
    }
}

void flush_at_exit() {}

}  // namespace brisvane
