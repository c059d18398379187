#include "capture/stop_request.hpp"

#include <thread>

namespace brisvane {

namespace {

// Reads and drops whatever comes until the pipe ends. The handle may have been opened for
// overlapped I/O (Node.js's pipes are), so every read carries an event of its own to wait on.
void read_until_end(HANDLE input, HANDLE stop) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[256];
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = done;
        ResetEvent(done);
        DWORD read = 0;
        if (!ReadFile(input, buffer, sizeof buffer, nullptr, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) break;
        }
        if (!GetOverlappedResult(input, &overlapped, &read, TRUE) || read == 0) break;
    }
    SetEvent(stop);
}

}  // namespace

StopRequest::StopRequest() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE) return;
    std::thread(read_until_end, input, event_).detach();
}

}  // namespace brisvane
