#include "output/console_write_plan.hpp"

#include <algorithm>

#include "output/utf8_prefix.hpp"

namespace brisvane {

namespace {

using Action = ConsoleWritePlan::Action;

constexpr ConsoleWritePlan reject() { return {Action::Reject, 0, {}}; }

// Adds one byte to the cut-off sequence and writes it once it is complete.
ConsoleWritePlan continue_pending(std::byte next, PendingUtf8& pending) {
    if ((std::to_integer<unsigned>(next) & 0xC0) != 0x80) {
        pending.length = 0;
        return reject();
    }
    pending.bytes[pending.length++] = next;
    if (pending.length < utf8_sequence_width(pending.bytes[0])) {
        return {Action::Hold, 1, {}};
    }
    const std::span<const std::byte> sequence(pending.bytes.data(), pending.length);
    pending.length = 0;
    if (valid_utf8_prefix(sequence) != sequence.size()) {
        return reject();
    }
    return {Action::Write, 1, sequence};
}

}  // namespace

ConsoleWritePlan plan_console_write(std::span<const std::byte> data, PendingUtf8& pending) {
    if (pending.length > 0) {
        return continue_pending(data[0], pending);
    }
    const auto chunk = data.first(std::min(data.size(), CONSOLE_CHUNK_BYTES));
    const std::size_t valid = valid_utf8_prefix(chunk);
    if (valid > 0) {
        return {Action::Write, valid, chunk.first(valid)};
    }
    const std::size_t width = utf8_sequence_width(data[0]);
    if (width > 1 && data.size() < width) {
        pending.bytes[0] = data[0];
        pending.length = 1;
        return {Action::Hold, 1, {}};
    }
    return reject();
}

}  // namespace brisvane
