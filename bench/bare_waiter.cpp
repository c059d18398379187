// Wine's own cost: a program that only waits on an auto-reset event, set every 10 ms by a
// thread, as an audio engine sets the buffer event. It runs for the given seconds.
#include <windows.h>

#include <cstdlib>

namespace {

volatile LONG running = 1;

DWORD WINAPI signal_every_period(void* event) {
    while (running) {
        Sleep(10);
        SetEvent(static_cast<HANDLE>(event));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const DWORD seconds = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 60;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, signal_every_period, event, 0, nullptr);
    const ULONGLONG end = GetTickCount64() + seconds * 1000ull;
    unsigned long long wakeups = 0;
    while (GetTickCount64() < end) {
        if (WaitForSingleObject(event, 3000) == WAIT_OBJECT_0) ++wakeups;
    }
    running = 0;
    WaitForSingleObject(thread, INFINITE);
    return wakeups > 0 ? 0 : 1;
}
