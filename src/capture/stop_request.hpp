#pragma once

#include <windows.h>

namespace brisvane {

// The caller's way to end a capture cleanly: when standard input is a pipe, its end (the
// writer closed it, or the process holding it exited) sets the event. Any other standard input
// (none, the null device, a console, a file) asks for nothing and the event is never set.
class StopRequest {
public:
    StopRequest();
    HANDLE event() const { return event_; }

private:
    HANDLE event_;  // lives as long as the process: the reading thread may outlive this object
};

}  // namespace brisvane
