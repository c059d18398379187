#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace brisvane {

// How many bytes the console path looks at in one write.
inline constexpr std::size_t CONSOLE_CHUNK_BYTES = 4096;

// The start of a UTF-8 sequence that an earlier write cut off.
struct PendingUtf8 {
    std::array<std::byte, 4> bytes{};
    std::size_t length = 0;
};

// What one console write does with the bytes it is given.
struct ConsoleWritePlan {
    enum class Action {
        Hold,    // the byte went into the pending sequence; nothing to write yet
        Write,   // write `text` (valid UTF-8) to the console
        Reject,  // bytes that can neither start nor continue UTF-8
    };
    Action action;
    std::size_t consumed;             // bytes of the caller's data that the write accepts
    std::span<const std::byte> text;  // for Write: into the data or into the pending sequence
};

// Decides one console write of non-empty data, updating the pending sequence.
ConsoleWritePlan plan_console_write(std::span<const std::byte> data, PendingUtf8& pending);

}  // namespace brisvane
