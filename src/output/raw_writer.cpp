#include "output/raw_writer.hpp"

namespace brisvane {

namespace {

// One raw write in which a missing handle counts as every byte accepted.
std::expected<std::size_t, OutputError> write_or_discard(RawWriter& writer, std::span<const std::byte> bytes) {
    auto accepted = writer.write(bytes);
    if (!accepted && accepted.error().is_invalid_handle()) {
        return bytes.size();
    }
    return accepted;
}

}  // namespace

std::expected<void, OutputError> write_all_raw(RawWriter& writer, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        auto accepted = write_or_discard(writer, bytes);
        if (!accepted) {
            return std::unexpected(accepted.error());
        }
        if (*accepted == 0) {
            return std::unexpected(OutputError::write_zero());
        }
        bytes = bytes.subspan(*accepted);
    }
    return {};
}

}  // namespace brisvane
