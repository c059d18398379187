// A scenario of the simulated engine server, as read from its file (see tools/sim/README.md).
#pragma once

#include "fake_endpoints.hpp"
#include "fake_types.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brisvane::engine_server {

enum class SourceKind { Counting, Tone, Sweep, File };
enum class Pace { Fast, Realtime };
enum class CallLog { All, Setup, None };

struct InjectedFault {
    fakes::Method method{};
    fakes::Fault fault;
};

// At `at_ms` on the run's clock: the default render endpoint becomes `id` (none: there is
// none), or, for a bare notification, listeners are told so for `flow` and `role` alone.
struct EndpointEvent {
    std::uint64_t at_ms = 0;
    bool change_default = true;
    EDataFlow flow = eRender;
    ERole role = eConsole;
    std::optional<std::wstring> id;
};

struct Scenario {
    REFERENCE_TIME default_period_hns = 100000;
    REFERENCE_TIME minimum_period_hns = 30000;
    UINT32 buffer_frames = 480;
    std::uint64_t endpoint_frames = 4800;

    SourceKind source = SourceKind::Tone;
    double frequency = 1000.0;      // tone
    double frequency_end = 8000.0;  // sweep: from `frequency` to this
    double amplitude = 0.5;
    std::wstring file;              // file source: a Windows path
    std::uint64_t total_frames = 0; // 0: unlimited (a file: its length, unless it loops)
    bool loop = false;              // file source: start again at its beginning

    std::vector<UINT32> packet_frames{480};
    std::vector<DWORD> packet_flags{0};
    Pace pace = Pace::Realtime;
    unsigned period_ms = 10;
    unsigned packets_per_signal = 1;

    std::vector<InjectedFault> faults;
    std::optional<std::wstring> error_description;
    std::optional<std::uint64_t> invalidate_after_packets;
    std::optional<std::uint64_t> invalidate_after_ms;

    std::vector<fakes::FakeEndpoint> devices{fakes::kBuiltInEndpoint};
    std::optional<std::wstring> default_id = fakes::kBuiltInEndpoint.id;
    std::vector<EndpointEvent> endpoint_events;  // in time order

    std::wstring log;  // empty: no log
    CallLog log_calls = CallLog::All;
    bool log_packets = true;
};

// Parses a scenario file's text; on failure the message names the line.
bool parse_scenario(const std::string& text, Scenario& out, std::string& error);

// Byte `index` of the counting source.
constexpr std::uint8_t counting_byte(std::uint64_t i) {
    return static_cast<std::uint8_t>(i * 7 + (i >> 8) + (i >> 16) + (i >> 24));
}

}  // namespace brisvane::engine_server
