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
    // Notes that an endpoint came, went or changed its state, and sets the ready event.
    void note_state_change();
    // Every id pushed since the last call, oldest first.
    std::deque<std::optional<std::wstring>> take_all();
    // Whether an endpoint changed since the last call.
    bool take_state_change();
    // Auto-reset event, set by each push.
    HANDLE ready_event() const { return ready_.get(); }

private:
    std::mutex lock_;
    std::deque<std::optional<std::wstring>> ids_;
    bool state_changed_ = false;
    OwnedHandle ready_;
};

}  // namespace brisvane
