// The engine server's log file: whole lines, each written through at once, because the
// process may be ended at any moment; shared with the later processes of a run.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace brisvane::engine_server {

class Log {
public:
    Log() { InitializeCriticalSection(&cs_); }
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Opened for appending: the later processes of a run (`truncate` false) write to it too.
    void open(const std::wstring& path, bool truncate) {
        if (path.empty()) return;
        file_ = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    bool on() const { return file_ != INVALID_HANDLE_VALUE; }
    void line(const char* format, ...) {
        if (!on()) return;
        char buffer[1024];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(buffer, sizeof buffer - 1, format, args);
        va_end(args);
        if (n < 0) return;
        if (n > static_cast<int>(sizeof buffer) - 2) n = static_cast<int>(sizeof buffer) - 2;
        buffer[n++] = '\n';
        EnterCriticalSection(&cs_);
        DWORD written = 0;
        WriteFile(file_, buffer, static_cast<DWORD>(n), &written, nullptr);
        LeaveCriticalSection(&cs_);
    }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    CRITICAL_SECTION cs_;
};

}  // namespace brisvane::engine_server
