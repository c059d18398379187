#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>

#include "output/output_error.hpp"
#include "output/raw_writer.hpp"

namespace brisvane {

inline constexpr std::size_t LINE_BUFFER_BYTES = 1024;

// Line-buffered writer: whole lines reach the raw writer at once, a short tail after
// the last line feed is held until the next write or a flush.
class LineWriter {
public:
    LineWriter(RawWriter& raw, std::size_t capacity);

    std::expected<void, OutputError> write_all(std::span<const std::byte> bytes);
    // Writes out the held bytes; on failure the accepted ones leave the buffer.
    std::expected<void, OutputError> flush_held();
    // Replaces the buffer by one of the given capacity; held bytes must have been flushed.
    void reset_capacity(std::size_t capacity);

    std::span<const std::byte> held() const { return {buffer_.get(), filled_}; }
    std::size_t capacity() const { return capacity_; }

private:
    std::size_t spare() const { return capacity_ - filled_; }
    void hold(std::span<const std::byte> bytes);
    std::expected<void, OutputError> buffered_write_all(std::span<const std::byte> bytes);

    RawWriter* raw_;
    std::unique_ptr<std::byte[]> buffer_;
    std::size_t capacity_;
    std::size_t filled_ = 0;
};

}  // namespace brisvane
