// Engine frames and the performance counter's 100-ns units: at 48 kHz one frame lasts 625/3 units.
#pragma once

#include <cstdint>

namespace brisvane {

inline constexpr std::int64_t HNS_PER_SECOND = 10'000'000;
inline constexpr std::int64_t HNS_PER_RECORD = HNS_PER_SECOND / 50;  // 20 ms

// The duration of `frames` engine frames, rounded down.
constexpr std::int64_t frames_to_hns(std::int64_t frames) {
    const std::int64_t product = frames * 625;
    return product >= 0 ? product / 3 : -((-product + 2) / 3);
}

// The number of engine frames in a duration, rounded to the nearest.
constexpr std::int64_t hns_to_frames(std::int64_t hns) {
    const std::int64_t product = hns * 3;
    return product >= 0 ? (product + 312) / 625 : -((-product + 312) / 625);
}

// The same, rounded down.
constexpr std::int64_t hns_to_frames_floor(std::int64_t hns) {
    const std::int64_t product = hns * 3;
    return product >= 0 ? product / 625 : -((-product + 624) / 625);
}

// One reading of the two clocks a record's time is given in, taken at one instant.
struct ClockReading {
    std::int64_t qpc = 0;     // the performance counter, in 100-ns units
    std::int64_t system = 0;  // the system time, in 100-ns units since 1970-01-01 UTC
};

}  // namespace brisvane
