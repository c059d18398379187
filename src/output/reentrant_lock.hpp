#pragma once

#include <windows.h>

namespace brisvane {

// A process-wide re-entrant lock: the owning thread may take it again, other threads wait.
class ReentrantLock {
public:
    ReentrantLock() { InitializeCriticalSection(&section_); }
    ReentrantLock(const ReentrantLock&) = delete;
    ReentrantLock& operator=(const ReentrantLock&) = delete;
    // Never destroyed: the lock lives as long as the process.

    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

}  // namespace brisvane
