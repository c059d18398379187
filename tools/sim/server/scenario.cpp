#include "scenario.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>
#include <sstream>

namespace brisvane::engine_server {
namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::wstring widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

bool number(const std::string& s, std::uint64_t& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, 0);
    return *end == '\0';
}

bool real(const std::string& s, double& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return *end == '\0';
}

bool method_named(const std::string& name, fakes::Method& out) {
    for (int i = 0; i < fakes::kMethodCount; ++i) {
        const auto m = static_cast<fakes::Method>(i);
        if (name == fakes::to_string(m)) {
            out = m;
            return true;
        }
    }
    return false;
}

template <class T>
bool number_list(const std::string& s, std::vector<T>& out) {
    out.clear();
    std::string item;
    std::istringstream in(s);
    while (std::getline(in, item, ',')) {
        std::uint64_t v = 0;
        if (!number(trim(item), v)) return false;
        out.push_back(static_cast<T>(v));
    }
    return !out.empty();
}

std::string unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        switch (s[++i]) {
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case '\\': out += '\\'; break;
            default: out += '\\'; out += s[i]; break;
        }
    }
    return out;
}

// An endpoint id as written in a scenario (escapes allowed), or `none`.
std::optional<std::wstring> endpoint_id(const std::string& word) {
    if (word == "none") return std::nullopt;
    return widen(unescape(word));
}

bool endpoint_known(const Scenario& sc, const std::optional<std::wstring>& id) {
    return !id || std::ranges::any_of(sc.devices, [&](const fakes::FakeEndpoint& d) { return d.id == *id; });
}

bool device_state_named(const std::string& name, DWORD& out) {
    static const std::map<std::string, DWORD> states{{"active", DEVICE_STATE_ACTIVE},
                                                     {"disabled", DEVICE_STATE_DISABLED},
                                                     {"notpresent", DEVICE_STATE_NOTPRESENT},
                                                     {"unplugged", DEVICE_STATE_UNPLUGGED}};
    const auto it = states.find(name);
    if (it == states.end()) return false;
    out = it->second;
    return true;
}

// Applies one stream key; nullopt when `key` is not a stream key, else whether the value is good.
std::optional<bool> set_stream_key(const std::string& key, const std::string& value, StreamSettings& sc) {
    const auto w = words(value);
    std::uint64_t u = 0, v = 0;
    if (key == "endpoint_frames") return number(value, u) && (sc.endpoint_frames = u, true);
    if (key == "total_frames") return number(value, u) && (sc.total_frames = u, true);
    if (key == "period_ms") return number(value, u) && u > 0 && (sc.period_ms = static_cast<unsigned>(u), true);
    if (key == "packets_per_signal")
        return number(value, u) && u > 0 && (sc.packets_per_signal = static_cast<unsigned>(u), true);
    if (key == "packet_frames") return number_list(value, sc.packet_frames);
    if (key == "packet_flags") return number_list(value, sc.packet_flags);
    if (key == "invalidate_after_packets") return number(value, u) && (sc.invalidate_after_packets = u, true);
    if (key == "invalidate_after_ms") return number(value, u) && (sc.invalidate_after_ms = u, true);
    if (key == "pace") {
        sc.pace = value == "fast" ? Pace::Fast : Pace::Realtime;
        return value == "fast" || value == "realtime";
    }
    if (key == "loop") {
        sc.loop = value == "yes";
        return value == "yes" || value == "no";
    }
    if (key == "source") {
        sc.counting_base.reset();
        if (!w.empty() && w[0] == "counting") {
            sc.source = SourceKind::Counting;
            if (w.size() == 2 && number(w[1], u)) sc.counting_base = u;
            return w.size() == 1 || sc.counting_base.has_value();
        }
        if (w.size() == 3 && w[0] == "tone") {
            sc.source = SourceKind::Tone;
            return real(w[1], sc.frequency) && real(w[2], sc.amplitude);
        }
        if (w.size() == 4 && w[0] == "sweep") {
            sc.source = SourceKind::Sweep;
            return real(w[1], sc.frequency) && real(w[2], sc.frequency_end) && real(w[3], sc.amplitude) &&
                   sc.frequency > 0 && sc.frequency_end > 0;
        }
        if (w.size() >= 2 && w[0] == "file") {
            sc.source = SourceKind::File;
            sc.file = widen(trim(value.substr(4)));
            return true;
        }
        return false;
    }
    using Kind = TimeWindow::Kind;
    static const std::map<std::string, Kind> windows{{"silence", Kind::Silence}, {"glitch", Kind::Glitch},
                                                     {"late", Kind::Late}};
    if (const auto it = windows.find(key); it != windows.end()) {
        // silence FROM TO [hold]; glitch AT LENGTH; late AT DELAY
        const bool hold = it->second == Kind::Silence && w.size() == 3 && w[2] == "hold";
        if ((w.size() != 2 && !hold) || !number(w[0], u) || !number(w[1], v)) return false;
        const std::uint64_t to = it->second == Kind::Silence ? v : u + v;
        if (to <= u) return false;
        sc.windows.push_back({it->second, u, to, hold});
        return true;
    }
    return std::nullopt;
}

// What a stream's settings cannot be, whichever sections made them; empty when fine.
std::string settings_problem(const StreamSettings& s) {
    if (s.source == SourceKind::Sweep && s.total_frames == 0) return "a sweep needs total_frames";
    if (s.loop && s.source != SourceKind::File) return "loop applies to a file source only";
    return {};
}

// "[endpoint ID]", "[process]", "[include]" or "[exclude]".
bool section_header(const std::string& text, StreamScope& scope) {
    const auto w = words(text.substr(1, text.size() - 2));
    using Kind = StreamScope::Kind;
    static const std::map<std::string, Kind> kinds{
        {"process", Kind::Process}, {"include", Kind::Include}, {"exclude", Kind::Exclude}};
    if (w.size() == 2 && w[0] == "endpoint") {
        scope = {Kind::Endpoint, widen(unescape(w[1]))};
        return true;
    }
    const auto it = w.size() == 1 ? kinds.find(w[0]) : kinds.end();
    if (it == kinds.end()) return false;
    scope = {it->second, {}};
    return true;
}

}  // namespace

bool StreamScope::covers(const fakes::StreamTarget& target) const {
    switch (kind) {
        case Kind::Endpoint: return !target.process_loopback && target.endpoint_id == endpoint_id;
        case Kind::Process: return target.process_loopback;
        case Kind::Include: return target.process_loopback && !target.exclude;
        case Kind::Exclude: return target.process_loopback && target.exclude;
    }
    return false;
}

StreamSettings Scenario::settings_for(const fakes::StreamTarget& target) const {
    StreamSettings s = stream;
    for (const StreamSection& section : sections)
        if (section.scope.covers(target))
            for (const auto& [key, value] : section.settings) set_stream_key(key, value, s);
    return s;
}

std::vector<std::wstring> Scenario::source_files() const {
    std::vector<std::wstring> files;
    if (stream.source == SourceKind::File) files.push_back(stream.file);
    for (const StreamSection& section : sections) {
        StreamSettings s = stream;
        for (const auto& [key, value] : section.settings) set_stream_key(key, value, s);
        if (s.source == SourceKind::File) files.push_back(s.file);
    }
    return files;
}

bool parse_scenario(const std::string& text, Scenario& sc, std::string& first_error) {
    // Reads every line, so that a `log` line after a bad one still takes effect.
    std::istringstream in(text);
    std::string line;
    bool devices_given = false, default_given = false;
    StreamSection* open_section = nullptr;
    std::vector<EndpointEvent> initial_states;
    const auto problem = [&](unsigned n, const std::string& what) {
        if (first_error.empty()) first_error = "line " + std::to_string(n) + ": " + what;
    };
    for (unsigned n = 1; std::getline(in, line); ++n) {
        if (const std::string bare = trim(line.substr(0, line.find('#'))); bare.starts_with('[')) {
            StreamScope scope;
            if (!bare.ends_with(']') || !section_header(bare, scope)) {
                problem(n, "bad section '" + bare + "'");
                continue;
            }
            open_section = &sc.sections.emplace_back(StreamSection{scope, {}});
            continue;
        }
        // A '#' starts a comment, except inside error_description, whose value is taken whole.
        const auto eq = line.find('=');
        std::string key = trim(line.substr(0, eq == std::string::npos ? line.size() : eq));
        if (key.empty() || key[0] == '#') continue;
        if (eq == std::string::npos) {
            problem(n, "no '='");
            continue;
        }
        std::string value = line.substr(eq + 1);
        if (key != "error_description") value = value.substr(0, value.find('#'));
        value = trim(value);
        const auto w = words(value);
        std::uint64_t u = 0;
        bool ok = true;
        // Stream keys go to the section they stand in; the engine's keys may stand anywhere.
        StreamSettings scratch;
        if (auto stream_key = set_stream_key(key, value, open_section ? scratch : sc.stream)) {
            ok = *stream_key;
            if (open_section) open_section->settings.emplace_back(key, value);
        } else if (key == "default_period_hns") ok = number(value, u), sc.default_period_hns = static_cast<REFERENCE_TIME>(u);
        else if (key == "minimum_period_hns") ok = number(value, u), sc.minimum_period_hns = static_cast<REFERENCE_TIME>(u);
        else if (key == "buffer_frames") ok = number(value, u), sc.buffer_frames = static_cast<UINT32>(u);
        else if (key == "fail") {
            InjectedFault f;
            std::uint64_t hr = 0, nth = 1;
            ok = (w.size() == 2 || w.size() == 3) && method_named(w[0], f.method) && number(w[1], hr) &&
                 (w.size() == 2 || (number(w[2], nth) && nth > 0));
            f.fault = fakes::Fault::fail(static_cast<HRESULT>(static_cast<std::uint32_t>(hr)), static_cast<unsigned>(nth));
            sc.faults.push_back(f);
        } else if (key == "error_description") {
            sc.error_description = widen(unescape(value));
        } else if (key == "activation") {
            // activation = HRESULT|never [N]
            ActivationOutcome a;
            std::uint64_t hr = 0, nth = 1;
            ok = (w.size() == 1 || w.size() == 2) && (w[0] == "never" || number(w[0], hr)) &&
                 (w.size() == 1 || (number(w[1], nth) && nth > 0));
            a.nth = static_cast<unsigned>(nth);
            if (w.size() > 0 && w[0] != "never") a.result = static_cast<HRESULT>(static_cast<std::uint32_t>(hr));
            sc.activations.push_back(a);
        } else if (key == "device") {
            // The id is the first word, the name the rest; the first device replaces the built-in one.
            const auto space = value.find_first_of(" \t");
            ok = !value.empty();
            if (!std::exchange(devices_given, true)) sc.devices.clear();
            sc.devices.push_back({widen(unescape(value.substr(0, space))),
                                  space == std::string::npos ? std::wstring() : widen(unescape(trim(value.substr(space))))});
        } else if (key == "default") {
            ok = w.size() == 1;
            default_given = true;
            if (ok) sc.default_id = endpoint_id(w[0]);
        } else if (key == "default_change") {
            ok = w.size() == 2 && number(w[0], u);
            if (ok) sc.endpoint_events.push_back({u, EndpointEvent::Kind::DefaultChange, eRender, eConsole, endpoint_id(w[1])});
        } else if (key == "notify") {
            static const std::map<std::string, EDataFlow> flows{{"render", eRender}, {"capture", eCapture}};
            static const std::map<std::string, ERole> roles{
                {"console", eConsole}, {"multimedia", eMultimedia}, {"communications", eCommunications}};
            ok = w.size() == 4 && number(w[0], u) && flows.contains(w[1]) && roles.contains(w[2]);
            if (ok) sc.endpoint_events.push_back({u, EndpointEvent::Kind::Notify, flows.at(w[1]), roles.at(w[2]), endpoint_id(w[3])});
        } else if (key == "device_state") {
            DWORD state = 0;
            ok = w.size() == 3 && number(w[0], u) && w[1] != "none" && device_state_named(w[2], state);
            if (ok) (u == 0 ? initial_states : sc.endpoint_events).push_back(
                {u, EndpointEvent::Kind::State, eRender, eConsole, endpoint_id(w[1]), state});
        } else if (key == "log") {
            sc.log = widen(value);
        } else if (key == "log_calls") {
            ok = value == "all" || value == "setup" || value == "none";
            sc.log_calls = value == "all" ? CallLog::All : value == "setup" ? CallLog::Setup : CallLog::None;
        } else if (key == "log_packets") {
            ok = value == "yes" || value == "no";
            sc.log_packets = value == "yes";
        } else {
            problem(n, "unknown key '" + key + "'");
            continue;
        }
        if (!ok) problem(n, "bad value for '" + key + "': " + value);
    }
    if (!first_error.empty()) return false;
    if (devices_given && !default_given) sc.default_id = sc.devices.front().id;
    bool known = endpoint_known(sc, sc.default_id);
    for (const auto& e : sc.endpoint_events) known = known && (e.kind == EndpointEvent::Kind::Notify || endpoint_known(sc, e.id));
    for (const auto& e : initial_states) known = known && endpoint_known(sc, e.id);
    if (!known) {
        first_error = "a default or a device state names an endpoint that no device line gives";
        return false;
    }
    for (const auto& e : initial_states)
        std::ranges::find(sc.devices, *e.id, &fakes::FakeEndpoint::id)->state = e.state;
    std::ranges::stable_sort(sc.endpoint_events, {}, &EndpointEvent::at_ms);
    first_error = settings_problem(sc.stream);
    for (const StreamSection& section : sc.sections) {
        StreamSettings s = sc.stream;
        for (const auto& [key, value] : section.settings) set_stream_key(key, value, s);
        if (first_error.empty()) first_error = settings_problem(s);
    }
    if (!first_error.empty()) return false;
    if (sc.error_description) {
        for (auto& f : sc.faults)
            if (f.fault.hr != S_OK) {
                fakes::ErrorInfoContent content;
                content.description = *sc.error_description;
                f.fault = f.fault.with_error_info(content);
            }
    }
    return true;
}

}  // namespace brisvane::engine_server
