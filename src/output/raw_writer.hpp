#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "output/output_error.hpp"

namespace brisvane {

// One unbuffered write to a stream: accepts a leading part of the bytes, or fails.
class RawWriter {
public:
    virtual std::expected<std::size_t, OutputError> write(std::span<const std::byte> bytes) = 0;

protected:
    RawWriter() = default;
    RawWriter(const RawWriter&) = default;
    RawWriter& operator=(const RawWriter&) = default;
    ~RawWriter() = default;
};

// Repeats raw writes until every byte is accepted; a missing handle counts as every byte accepted.
std::expected<void, OutputError> write_all_raw(RawWriter& writer, std::span<const std::byte> bytes);

}  // namespace brisvane
