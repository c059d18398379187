#include "audio/device_change_queue.hpp"

#include <utility>

namespace brisvane {

void DeviceChangeQueue::push(std::optional<std::wstring> id) {
    {
        std::lock_guard hold(lock_);
        ids_.push_back(std::move(id));
    }
    SetEvent(ready_.get());
}

void DeviceChangeQueue::note_state_change() {
    {
        std::lock_guard hold(lock_);
        state_changed_ = true;
    }
    SetEvent(ready_.get());
}

bool DeviceChangeQueue::take_state_change() {
    std::lock_guard hold(lock_);
    return std::exchange(state_changed_, false);
}

std::deque<std::optional<std::wstring>> DeviceChangeQueue::take_all() {
    std::lock_guard hold(lock_);
    return std::exchange(ids_, {});
}

}  // namespace brisvane
