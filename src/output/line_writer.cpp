#include "output/line_writer.hpp"

#include <cstring>

#include "output/line_feed_search.hpp"

namespace brisvane {

LineWriter::LineWriter(RawWriter& raw, std::size_t capacity)
    : raw_(&raw), buffer_(std::make_unique_for_overwrite<std::byte[]>(capacity)), capacity_(capacity) {}

void LineWriter::hold(std::span<const std::byte> bytes) {
    if (!bytes.empty()) {
        std::memcpy(buffer_.get() + filled_, bytes.data(), bytes.size());
        filled_ += bytes.size();
    }
}

std::expected<void, OutputError> LineWriter::flush_held() {
    std::size_t written = 0;
    std::expected<void, OutputError> outcome;
    while (written < filled_) {
        auto accepted = write_or_discard(*raw_, held().subspan(written));
        if (!accepted) {
            outcome = std::unexpected(accepted.error());
            break;
        }
        if (*accepted == 0) {
            outcome = std::unexpected(OutputError::buffered_write_zero());
            break;
        }
        written += *accepted;
    }
    if (written > 0) {
        std::memmove(buffer_.get(), buffer_.get() + written, filled_ - written);
        filled_ -= written;
    }
    return outcome;
}

std::expected<void, OutputError> LineWriter::buffered_write_all(std::span<const std::byte> bytes) {
    if (bytes.size() < spare()) {
        hold(bytes);
        return {};
    }
    if (bytes.size() > spare()) {
        if (auto flushed = flush_held(); !flushed) {
            return flushed;
        }
    }
    if (bytes.size() >= capacity_) {
        return write_all_raw(*raw_, bytes);
    }
    hold(bytes);
    return {};
}

std::expected<void, OutputError> LineWriter::write_all(std::span<const std::byte> bytes) {
    const std::size_t newline = find_last_line_feed(bytes);
    if (newline == bytes.size()) {
        // No line feed: first finish a held line, if the held bytes end one.
        if (filled_ > 0 && buffer_[filled_ - 1] == LINE_FEED) {
            if (auto flushed = flush_held(); !flushed) {
                return flushed;
            }
        }
        return buffered_write_all(bytes);
    }
    const auto lines = bytes.first(newline + 1);
    const auto tail = bytes.subspan(newline + 1);
    if (filled_ == 0) {
        if (auto written = write_all_raw(*raw_, lines); !written) {
            return written;
        }
    } else {
        if (auto written = buffered_write_all(lines); !written) {
            return written;
        }
        if (auto flushed = flush_held(); !flushed) {
            return flushed;
        }
    }
    return buffered_write_all(tail);
}

void LineWriter::reset_capacity(std::size_t capacity) {
    buffer_ = std::make_unique_for_overwrite<std::byte[]>(capacity);
    capacity_ = capacity;
    filled_ = 0;
}

}  // namespace brisvane
