#pragma once

#include <windows.h>

#include "output/console_write_plan.hpp"
#include "output/raw_writer.hpp"
#include "platform/owned_handle.hpp"

namespace brisvane {

// When a writer looks up its standard handle and whether it is a console: on every write (the
// standard streams, which the program may change meanwhile), or on the first (a stream that
// only this writer uses, written often: each lookup costs a system call).
enum class HandleLookup { EveryWrite, Once };

// Raw writes to a standard handle: bytes to pipes, files and UTF-8 consoles, UTF-16 to consoles
// with another code page.
class StdHandleWriter final : public RawWriter {
public:
    explicit StdHandleWriter(DWORD std_handle_id, HandleLookup lookup = HandleLookup::EveryWrite)
        : std_handle_id_(std_handle_id), lookup_(lookup) {}

    std::expected<std::size_t, OutputError> write(std::span<const std::byte> bytes) override;

private:
    std::expected<std::size_t, OutputError> write_bytes(HANDLE handle, std::span<const std::byte> bytes);

    DWORD std_handle_id_;
    HandleLookup lookup_;
    bool looked_up_ = false;
    HANDLE handle_ = nullptr;
    bool console_text_ = false;  // a console that takes text, not bytes
    PendingUtf8 pending_utf8_;
    // Signalled when a write that pends completes (a handle opened for overlapped I/O);
    // created on the first write and kept.
    OwnedHandle write_done_;
};

}  // namespace brisvane
