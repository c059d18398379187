#pragma once

#include <windows.h>

#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "platform/owned_handle.hpp"

namespace brisvane {

// New default endpoint ids (none: no default), handed from the system's notification
// threads to the thread that writes them; pushing never waits for that thread.
class DeviceChangeQueue {
public:
    explicit DeviceChangeQueue(OwnedHandle ready) : ready_(std::move(ready)) {}

    // Appends the id and sets the ready event.
    void push(std::optional<std::wstring> id);
    // Every id pushed since the last call, oldest first.
    std::deque<std::optional<std::wstring>> take_all();
    // Auto-reset event, set by each push.
    HANDLE ready_event() const { return ready_.get(); }

private:
    std::mutex lock_;
    std::deque<std::optional<std::wstring>> ids_;
    OwnedHandle ready_;
};

}  // namespace brisvane
