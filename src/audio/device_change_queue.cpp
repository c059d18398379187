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

std::deque<std::optional<std::wstring>> DeviceChangeQueue::take_all() {
    std::lock_guard hold(lock_);
    return std::exchange(ids_, {});
}

}  // namespace brisvane
