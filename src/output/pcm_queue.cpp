#include "output/pcm_queue.hpp"

#include <algorithm>
#include <cstring>

namespace brisvane {

PcmQueue::PcmQueue(std::size_t capacity)
    : storage_(std::make_unique_for_overwrite<std::byte[]>(capacity)), capacity_(capacity) {}

void PcmQueue::push_back(std::byte value) {
    if (size_ == capacity_) {
        grow();
    }
    storage_[(head_ + size_) % capacity_] = value;
    ++size_;
}

void PcmQueue::append(std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        if (size_ == capacity_) {
            grow();
        }
        const std::size_t tail = (head_ + size_) % capacity_;
        // The free room starting at the tail, up to the end of the storage.
        const std::size_t room = tail >= head_ ? capacity_ - tail : head_ - tail;
        const std::size_t run = std::min({bytes.size(), room, capacity_ - size_});
        std::memcpy(storage_.get() + tail, bytes.data(), run);
        size_ += run;
        bytes = bytes.subspan(run);
    }
}

std::optional<std::byte> PcmQueue::pop_front() {
    if (size_ == 0) {
        return std::nullopt;
    }
    const std::byte value = storage_[head_];
    head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    --size_;
    return value;
}

std::unique_ptr<std::byte[]> PcmQueue::take_frame() {
    // Every byte of the fresh buffer is overwritten below, so it is not zero-filled first.
    auto frame = std::make_unique_for_overwrite<std::byte[]>(FRAME_BYTES);
    const std::size_t first = std::min(FRAME_BYTES, capacity_ - head_);
    std::memcpy(frame.get(), storage_.get() + head_, first);
    std::memcpy(frame.get() + first, storage_.get(), FRAME_BYTES - first);
    head_ = (head_ + FRAME_BYTES) % capacity_;
    size_ -= FRAME_BYTES;
    return frame;
}

void PcmQueue::grow() {
    const std::size_t old_capacity = capacity_;
    const std::size_t new_capacity = std::max<std::size_t>(old_capacity * 2, 8);
    auto bigger = std::make_unique_for_overwrite<std::byte[]>(new_capacity);
    if (old_capacity > 0) {
        std::memcpy(bigger.get(), storage_.get(), old_capacity);
    }
    storage_ = std::move(bigger);
    capacity_ = new_capacity;

    if (head_ + size_ <= old_capacity) {
        return;  // contiguous: nothing to move
    }
    const std::size_t older_run = old_capacity - head_;  // from head to the old end
    const std::size_t newer_run = size_ - older_run;     // wrapped to the start
    if (newer_run < older_run && newer_run <= new_capacity - old_capacity) {
        std::memcpy(storage_.get() + old_capacity, storage_.get(), newer_run);
    } else {
        const std::size_t new_head = new_capacity - older_run;
        std::memmove(storage_.get() + new_head, storage_.get() + head_, older_run);
        head_ = new_head;
    }
}

}  // namespace brisvane
