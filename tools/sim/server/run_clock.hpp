// The run's clock: it starts when the first process loads the scenario file and is shared,
// through a named section, by every process that loads the same file while one of them still
// runs. So a program started after a change finds the endpoints as they are by then, as it
// would on a real system; and every endpoint plays from this epoch on, one frame per 1/48000 s.
// The section stays open as long as the process.
#pragma once

#include <cstdint>
#include <string>

namespace brisvane::engine_server {

// QueryPerformanceCounter now, in microseconds: the time stamps of the log.
std::uint64_t qpc_us();

class RunClock {
public:
    static RunClock join(const std::wstring& scenario_path);

    bool first() const { return first_; }  // this process started the clock
    std::uint64_t now() const;            // QueryPerformanceCounter ticks
    std::uint64_t after_ms(std::uint64_t ms) const { return epoch_ + scale(ms, frequency_, 1000); }
    std::uint64_t ticks_in_ms(std::uint64_t ticks) const { return scale(ticks, 1000, frequency_); }
    std::uint64_t ticks_of_ms(std::uint64_t ms) const { return scale(ms, frequency_, 1000); }
    // The endpoint frame played at `ticks` (0 before the epoch), and the first tick by which
    // `frame` has been played.
    std::uint64_t frame_at(std::uint64_t ticks) const;
    std::uint64_t ticks_at_frame(std::uint64_t frame) const;
    // A packet's QPC position: the QPC time of the frame in 100-ns units, as a program converts
    // its own QueryPerformanceCounter (ticks * 10^7 / frequency).
    std::uint64_t qpc_position(std::uint64_t frame) const;
    std::uint64_t qpc_position_now() const { return scale(now(), 10'000'000, frequency_); }

    // a * b / c rounded down, without overflow while (a mod c) * b fits in 64 bits.
    static std::uint64_t scale(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
        return a / c * b + a % c * b / c;
    }

private:
    std::uint64_t epoch_ = 0;      // QueryPerformanceCounter ticks
    std::uint64_t frequency_ = 1;  // QueryPerformanceFrequency
    bool first_ = true;
};

}  // namespace brisvane::engine_server
