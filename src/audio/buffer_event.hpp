#pragma once

#include <windows.h>

#include <cstdint>
#include <expected>
#include <utility>

#include "error/audio_error.hpp"

namespace brisvane {

// The auto-reset event that the engine sets when captured data is ready. Its handle is
// never closed: it lives as long as the process.
class BufferEvent {
public:
    explicit BufferEvent(HANDLE handle) : handle_(handle) {}
    BufferEvent(BufferEvent&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    BufferEvent& operator=(BufferEvent&& other) noexcept {
        handle_ = std::exchange(other.handle_, nullptr);
        return *this;
    }
    BufferEvent(const BufferEvent&) = delete;
    BufferEvent& operator=(const BufferEvent&) = delete;

    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_;
};

// Waits for the event; every outcome but a signal is EventTimeout.
std::expected<void, AudioError> wait_buffer_event(const BufferEvent& event, std::uint32_t timeout_ms);

}  // namespace brisvane
