#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>

namespace brisvane {

// Bytes per frame written to standard output: 960 sample frames of 8 bytes, 20 ms.
inline constexpr std::size_t FRAME_BYTES = 7680;

// A growable ring buffer of captured PCM bytes, kept in arrival order.
class PcmQueue {
public:
    explicit PcmQueue(std::size_t capacity);

    PcmQueue(PcmQueue&&) noexcept = default;
    PcmQueue& operator=(PcmQueue&&) noexcept = default;
    PcmQueue(const PcmQueue&) = delete;
    PcmQueue& operator=(const PcmQueue&) = delete;

    void push_back(std::byte value);
    // Same bytes, order, capacity and growth as one push_back per byte, copied in runs.
    void append(std::span<const std::byte> bytes);
    std::optional<std::byte> pop_front();

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }

    // Removes the first FRAME_BYTES bytes into a fresh buffer; the caller ensures size() >= FRAME_BYTES.
    std::unique_ptr<std::byte[]> take_frame();

private:
    void grow();

    std::unique_ptr<std::byte[]> storage_;
    std::size_t capacity_ = 0;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace brisvane
