// Plays a scenario's endpoint events (default changes and bare notifications) at their times.
#pragma once

#include "fake_engine.hpp"
#include "scenario.hpp"

#include <functional>
#include <string>
#include <thread>

namespace brisvane::engine_server {

// The run's clock: it starts when the first process loads the scenario file and is shared,
// through a named section, by every process that loads the same file while one of them still
// runs. So a program started after a change finds the endpoints as they are by then, as it
// would on a real system. The section stays open as long as the process.
struct RunClock {
    std::uint64_t epoch_us = 0;  // QueryPerformanceCounter in microseconds
    bool first = true;           // this process started the clock
};
RunClock join_run_clock(const std::wstring& scenario_path);

class EndpointTimeline {
public:
    using LogLine = std::function<void(const std::string&)>;

    // Sets the endpoints, applies the events already due, and plays the rest on a thread of
    // its own that lives as long as the process.
    void start(fakes::FakeEngine& engine, const Scenario& scenario, std::uint64_t epoch_us, LogLine log);

private:
    std::thread thread_;
};

}  // namespace brisvane::engine_server
