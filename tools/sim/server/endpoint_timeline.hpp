// Plays a scenario's endpoint events (default changes, bare notifications, device states) at
// their times on the run's clock.
#pragma once

#include "fake_engine.hpp"
#include "run_clock.hpp"
#include "scenario.hpp"

#include <functional>
#include <string>
#include <thread>

namespace brisvane::engine_server {

class EndpointTimeline {
public:
    using LogLine = std::function<void(const std::string&)>;

    // Sets the endpoints, applies the events already due (without listeners: none can be
    // registered yet), and plays the rest on a thread of its own that lives as long as the process.
    void start(fakes::FakeEngine& engine, const Scenario& scenario, const RunClock& clock, LogLine log);

private:
    std::thread thread_;
};

}  // namespace brisvane::engine_server
