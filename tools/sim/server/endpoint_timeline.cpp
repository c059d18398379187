#include "endpoint_timeline.hpp"

#include "fake_endpoint_driver.hpp"

#include <windows.h>

#include <cstdio>
#include <cwctype>

namespace brisvane::engine_server {
namespace {

std::uint64_t qpc_us() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<std::uint64_t>(static_cast<long double>(c.QuadPart) * 1e6L / f.QuadPart);
}

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

void apply(fakes::FakeEngine& engine, const EndpointEvent& e, const EndpointTimeline::LogLine& log) {
    fakes::EndpointDriver driver(engine);
    char line[512];
    if (e.change_default) {
        const std::size_t listeners = driver.change_default(e.id);
        std::snprintf(line, sizeof line, "default_change t=%llu at_ms=%llu id=%s listeners=%zu",
                      static_cast<unsigned long long>(qpc_us()), static_cast<unsigned long long>(e.at_ms),
                      log_text(e.id).c_str(), listeners);
    } else {
        const std::size_t listeners = driver.notify(e.flow, e.role, e.id);
        std::snprintf(line, sizeof line, "notify t=%llu at_ms=%llu flow=%d role=%d id=%s listeners=%zu",
                      static_cast<unsigned long long>(qpc_us()), static_cast<unsigned long long>(e.at_ms),
                      static_cast<int>(e.flow), static_cast<int>(e.role), log_text(e.id).c_str(), listeners);
    }
    log(line);
}

}  // namespace

RunClock join_run_clock(const std::wstring& scenario_path) {
    const std::uint64_t now = qpc_us();
    if (scenario_path.empty()) return {now, true};
    std::uint32_t hash = 2166136261u;  // FNV-1a of the lower-cased path: a name without backslashes
    for (wchar_t c : scenario_path) hash = (hash ^ static_cast<std::uint32_t>(std::towlower(c))) * 16777619u;
    wchar_t name[64];
    std::swprintf(name, std::size(name), L"brisvane-sim-run-clock-%08x", hash);
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG64), name);
    if (section == nullptr) return {now, true};
    auto* shared = static_cast<volatile LONG64*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG64)));
    if (shared == nullptr) return {now, true};
    const LONG64 before = InterlockedCompareExchange64(shared, static_cast<LONG64>(now), 0);
    return before == 0 ? RunClock{now, true} : RunClock{static_cast<std::uint64_t>(before), false};
}


void EndpointTimeline::start(fakes::FakeEngine& engine, const Scenario& scenario, std::uint64_t epoch,
                             LogLine log) {
    fakes::EndpointDriver(engine).set_endpoints(scenario.devices, scenario.default_id);
    const auto due = [epoch](const EndpointEvent& e) { return epoch + e.at_ms * 1000; };
    std::size_t next = 0;
    const auto& events = scenario.endpoint_events;
    for (; next < events.size() && due(events[next]) <= qpc_us(); ++next) apply(engine, events[next], log);
    if (next == events.size()) return;
    thread_ = std::thread([&engine, events, next, due, log]() mutable {
        for (std::size_t i = next; i < events.size(); ++i) {
            const std::uint64_t now = qpc_us();
            if (due(events[i]) > now) Sleep(static_cast<DWORD>((due(events[i]) - now + 999) / 1000));
            apply(engine, events[i], log);
        }
    });
}

}  // namespace brisvane::engine_server
