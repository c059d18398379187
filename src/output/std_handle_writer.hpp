#pragma once

#include <windows.h>

#include "output/console_write_plan.hpp"
#include "output/raw_writer.hpp"
#include "platform/owned_handle.hpp"

namespace brisvane {

// Raw writes to a standard handle, looked up on every write: bytes to pipes, files and
// UTF-8 consoles, UTF-16 to consoles with another code page.
class StdHandleWriter final : public RawWriter {
public:
    explicit StdHandleWriter(DWORD std_handle_id) : std_handle_id_(std_handle_id) {}

    std::expected<std::size_t, OutputError> write(std::span<const std::byte> bytes) override;

private:
    std::expected<std::size_t, OutputError> write_bytes(HANDLE handle, std::span<const std::byte> bytes);

    DWORD std_handle_id_;
    PendingUtf8 pending_utf8_;
    // Signalled when a write that pends completes (a handle opened for overlapped I/O);
    // created on the first write and kept.
    OwnedHandle write_done_;
};

}  // namespace brisvane
