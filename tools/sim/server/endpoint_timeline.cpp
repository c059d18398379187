#include "endpoint_timeline.hpp"

#include "fake_endpoint_driver.hpp"

#include <windows.h>

#include <cstdio>

namespace brisvane::engine_server {
namespace {

std::string log_text(const std::optional<std::wstring>& id) {
    if (!id) return "none";
    std::string out;
    for (wchar_t c : *id) {
        if (c == L'\t') out += "\\t";
        else if (c == L'\n') out += "\\n";
        else if (c == L'\r') out += "\\r";
        else if (c == L'\\') out += "\\\\";
        else if (c < 0x80) out += static_cast<char>(c);
        else out += '?';
    }
    return out;
}

const char* state_name(DWORD state) {
    switch (state) {
        case DEVICE_STATE_ACTIVE: return "active";
        case DEVICE_STATE_DISABLED: return "disabled";
        case DEVICE_STATE_NOTPRESENT: return "notpresent";
        default: return "unplugged";
    }
}

void apply(fakes::FakeEngine& engine, const EndpointEvent& e, const EndpointTimeline::LogLine& log) {
    using Kind = EndpointEvent::Kind;
    fakes::EndpointDriver driver(engine);
    // Logged before the listeners hear of it: a program may react, and end, at once.
    std::string line = e.kind == Kind::State ? "device_state" : e.kind == Kind::Notify ? "notify" : "default_change";
    char text[512];
    std::snprintf(text, sizeof text, " t=%llu at_ms=%llu", static_cast<unsigned long long>(qpc_us()),
                  static_cast<unsigned long long>(e.at_ms));
    line += text;
    if (e.kind == Kind::Notify) {
        std::snprintf(text, sizeof text, " flow=%d role=%d", static_cast<int>(e.flow), static_cast<int>(e.role));
        line += text;
    }
    line += " id=" + log_text(e.id);
    if (e.kind == Kind::State) line += std::string(" state=") + state_name(e.state);
    log(line + " listeners=" + std::to_string(driver.listener_count()));
    if (e.kind == Kind::State) driver.set_state(*e.id, e.state);
    else if (e.kind == Kind::Notify) driver.notify(e.flow, e.role, e.id);
    else driver.change_default(e.id);
}

}  // namespace

void EndpointTimeline::start(fakes::FakeEngine& engine, const Scenario& scenario, const RunClock& clock,
                             LogLine log) {
    fakes::EndpointDriver(engine).set_endpoints(scenario.devices, scenario.default_id);
    const auto due = [clock](const EndpointEvent& e) { return clock.after_ms(e.at_ms); };
    std::size_t next = 0;
    const auto& events = scenario.endpoint_events;
    for (; next < events.size() && due(events[next]) <= clock.now(); ++next) apply(engine, events[next], log);
    if (next == events.size()) return;
    thread_ = std::thread([&engine, events, next, due, clock, log]() mutable {
        for (std::size_t i = next; i < events.size(); ++i) {
            for (std::uint64_t now; (now = clock.now()) < due(events[i]);)
                Sleep(static_cast<DWORD>(clock.ticks_in_ms(due(events[i]) - now) + 1));
            apply(engine, events[i], log);
        }
    });
}

}  // namespace brisvane::engine_server
