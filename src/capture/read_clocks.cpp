#include "capture/read_clocks.hpp"

#include <windows.h>

namespace brisvane {

namespace {

// FILETIME counts from 1601-01-01; the records count from 1970-01-01.
constexpr std::int64_t FILETIME_1970 = 116444736000000000;

std::int64_t counter_frequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

}  // namespace

ClockReading read_clocks() {
    static const std::int64_t frequency = counter_frequency();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    const std::int64_t ticks = counter.QuadPart;
    const std::int64_t qpc = ticks / frequency * HNS_PER_SECOND + ticks % frequency * HNS_PER_SECOND / frequency;
    const std::int64_t system =
        static_cast<std::int64_t>((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) - FILETIME_1970;
    return ClockReading{qpc, system};
}

}  // namespace brisvane
