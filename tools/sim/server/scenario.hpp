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

// A span of the run's clock in which a stream's endpoint misbehaves: it plays nothing
// (silence; with `hold` the device position stands still meanwhile), packets are lost
// (glitch), or packets are made ready only at its end (late).
struct TimeWindow {
    enum class Kind { Silence, Glitch, Late };
    Kind kind = Kind::Silence;
    std::uint64_t from_ms = 0;
    std::uint64_t to_ms = 0;
    bool hold = false;
};

// What one stream plays and how: the keys that a section may set for some streams only.
struct StreamSettings {
    SourceKind source = SourceKind::Tone;
    double frequency = 1000.0;      // tone
    double frequency_end = 8000.0;  // sweep: from `frequency` to this
    double amplitude = 0.5;
    std::wstring file;              // file source: a Windows path
    std::optional<std::uint64_t> counting_base;  // counting: set, the endpoint's frames are counted
    std::uint64_t total_frames = 0; // 0: unlimited (a file: its length, unless it loops)
    bool loop = false;              // file source: start again at its beginning
    std::uint64_t endpoint_frames = 4800;

    std::vector<UINT32> packet_frames{480};
    std::vector<DWORD> packet_flags{0};
    Pace pace = Pace::Realtime;
    unsigned period_ms = 10;
    unsigned packets_per_signal = 1;
    std::optional<std::uint64_t> invalidate_after_packets;
    std::optional<std::uint64_t> invalidate_after_ms;
    std::vector<TimeWindow> windows;
};

// The streams a section's settings apply to.
struct StreamScope {
    enum class Kind { Endpoint, Process, Include, Exclude };
    Kind kind = Kind::Endpoint;
    std::wstring endpoint_id;

    bool covers(const fakes::StreamTarget& target) const;
};

struct StreamSection {
    StreamScope scope;
    std::vector<std::pair<std::string, std::string>> settings;  // key, value; checked when read
};

// At `at_ms` on the run's clock: the default render endpoint becomes `id` (none: there is
// none); or, for a bare notification, listeners are told so for `flow` and `role` alone; or
// the endpoint `id` goes into `state`.
struct EndpointEvent {
    enum class Kind { DefaultChange, Notify, State };
    std::uint64_t at_ms = 0;
    Kind kind = Kind::DefaultChange;
    EDataFlow flow = eRender;
    ERole role = eConsole;
    std::optional<std::wstring> id;
    DWORD state = DEVICE_STATE_ACTIVE;
};

struct ActivationOutcome {
    unsigned nth = 1;
    std::optional<HRESULT> result;  // none: the completion never comes
};

struct Scenario {
    REFERENCE_TIME default_period_hns = 100000;
    REFERENCE_TIME minimum_period_hns = 30000;
    UINT32 buffer_frames = 480;

    StreamSettings stream;                // every stream's, unless a section says otherwise
    std::vector<StreamSection> sections;  // in file order; every section that covers a stream applies

    std::vector<InjectedFault> faults;
    std::optional<std::wstring> error_description;
    std::vector<ActivationOutcome> activations;

    std::vector<fakes::FakeEndpoint> devices{fakes::kBuiltInEndpoint};
    std::optional<std::wstring> default_id = fakes::kBuiltInEndpoint.id;
    std::vector<EndpointEvent> endpoint_events;  // in time order

    std::wstring log;  // empty: no log
    CallLog log_calls = CallLog::All;
    bool log_packets = true;

    // The settings of a stream that captures `target`.
    StreamSettings settings_for(const fakes::StreamTarget& target) const;
    // Every file that a file source names, in the settings of any stream.
    std::vector<std::wstring> source_files() const;
};

// Parses a scenario file's text; on failure the message names the line.
bool parse_scenario(const std::string& text, Scenario& out, std::string& error);

// Byte `index` of the counting source.
constexpr std::uint8_t counting_byte(std::uint64_t i) {
    return static_cast<std::uint8_t>(i * 7 + (i >> 8) + (i >> 16) + (i >> 24));
}

}  // namespace brisvane::engine_server
