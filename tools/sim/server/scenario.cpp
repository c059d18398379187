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
    for (int i = 0; i <= static_cast<int>(fakes::Method::GetNextPacketSize); ++i) {
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

}  // namespace

bool parse_scenario(const std::string& text, Scenario& sc, std::string& first_error) {
    // Reads every line, so that a `log` line after a bad one still takes effect.
    std::istringstream in(text);
    std::string line;
    bool devices_given = false, default_given = false;
    for (unsigned n = 1; std::getline(in, line); ++n) {
        // A '#' starts a comment, except inside error_description, whose value is taken whole.
        const auto eq = line.find('=');
        std::string key = trim(line.substr(0, eq == std::string::npos ? line.size() : eq));
        if (key.empty() || key[0] == '#') continue;
        if (eq == std::string::npos) {
            if (first_error.empty()) first_error = "line " + std::to_string(n) + ": no '='";
            continue;
        }
        std::string value = line.substr(eq + 1);
        if (key != "error_description") value = value.substr(0, value.find('#'));
        value = trim(value);
        const auto w = words(value);
        std::uint64_t u = 0;
        bool ok = true;
        if (key == "default_period_hns") ok = number(value, u), sc.default_period_hns = static_cast<REFERENCE_TIME>(u);
        else if (key == "minimum_period_hns") ok = number(value, u), sc.minimum_period_hns = static_cast<REFERENCE_TIME>(u);
        else if (key == "buffer_frames") ok = number(value, u), sc.buffer_frames = static_cast<UINT32>(u);
        else if (key == "endpoint_frames") ok = number(value, u), sc.endpoint_frames = u;
        else if (key == "total_frames") ok = number(value, u), sc.total_frames = u;
        else if (key == "period_ms") ok = number(value, u) && u > 0, sc.period_ms = static_cast<unsigned>(u);
        else if (key == "packets_per_signal") ok = number(value, u) && u > 0, sc.packets_per_signal = static_cast<unsigned>(u);
        else if (key == "packet_frames") ok = number_list(value, sc.packet_frames);
        else if (key == "packet_flags") ok = number_list(value, sc.packet_flags);
        else if (key == "pace") {
            ok = value == "fast" || value == "realtime";
            sc.pace = value == "fast" ? Pace::Fast : Pace::Realtime;
        } else if (key == "source") {
            if (w.size() == 1 && w[0] == "counting") sc.source = SourceKind::Counting;
            else if (w.size() == 3 && w[0] == "tone") {
                sc.source = SourceKind::Tone;
                ok = real(w[1], sc.frequency) && real(w[2], sc.amplitude);
            } else if (w.size() == 4 && w[0] == "sweep") {
                sc.source = SourceKind::Sweep;
                ok = real(w[1], sc.frequency) && real(w[2], sc.frequency_end) && real(w[3], sc.amplitude) &&
                     sc.frequency > 0 && sc.frequency_end > 0;
            } else if (w.size() >= 2 && w[0] == "file") {
                sc.source = SourceKind::File;
                sc.file = widen(trim(value.substr(4)));
            } else ok = false;
        } else if (key == "loop") {
            ok = value == "yes" || value == "no";
            sc.loop = value == "yes";
        } else if (key == "fail") {
            InjectedFault f;
            std::uint64_t hr = 0, nth = 1;
            ok = (w.size() == 2 || w.size() == 3) && method_named(w[0], f.method) && number(w[1], hr) &&
                 (w.size() == 2 || (number(w[2], nth) && nth > 0));
            f.fault = fakes::Fault::fail(static_cast<HRESULT>(static_cast<std::uint32_t>(hr)), static_cast<unsigned>(nth));
            sc.faults.push_back(f);
        } else if (key == "error_description") {
            sc.error_description = widen(unescape(value));
        } else if (key == "invalidate_after_packets") {
            ok = number(value, u), sc.invalidate_after_packets = u;
        } else if (key == "invalidate_after_ms") {
            ok = number(value, u), sc.invalidate_after_ms = u;
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
            if (ok) sc.endpoint_events.push_back({u, true, eRender, eConsole, endpoint_id(w[1])});
        } else if (key == "notify") {
            static const std::map<std::string, EDataFlow> flows{{"render", eRender}, {"capture", eCapture}};
            static const std::map<std::string, ERole> roles{
                {"console", eConsole}, {"multimedia", eMultimedia}, {"communications", eCommunications}};
            ok = w.size() == 4 && number(w[0], u) && flows.contains(w[1]) && roles.contains(w[2]);
            if (ok) sc.endpoint_events.push_back({u, false, flows.at(w[1]), roles.at(w[2]), endpoint_id(w[3])});
        } else if (key == "log") {
            sc.log = widen(value);
        } else if (key == "log_calls") {
            ok = value == "all" || value == "setup" || value == "none";
            sc.log_calls = value == "all" ? CallLog::All : value == "setup" ? CallLog::Setup : CallLog::None;
        } else if (key == "log_packets") {
            ok = value == "yes" || value == "no";
            sc.log_packets = value == "yes";
        } else {
            if (first_error.empty()) first_error = "line " + std::to_string(n) + ": unknown key '" + key + "'";
            continue;
        }
        if (!ok && first_error.empty())
            first_error = "line " + std::to_string(n) + ": bad value for '" + key + "': " + value;
    }
    if (!first_error.empty()) return false;
    if (devices_given && !default_given) sc.default_id = sc.devices.front().id;
    bool known = endpoint_known(sc, sc.default_id);
    for (const auto& e : sc.endpoint_events) known = known && (!e.change_default || endpoint_known(sc, e.id));
    if (!known) {
        first_error = "a default names an endpoint that no device line gives";
        return false;
    }
    std::ranges::stable_sort(sc.endpoint_events, {}, &EndpointEvent::at_ms);
    if (sc.source == SourceKind::Sweep && sc.total_frames == 0) {
        first_error = "a sweep needs total_frames";
        return false;
    }
    if (sc.loop && sc.source != SourceKind::File) {
        first_error = "loop applies to a file source only";
        return false;
    }
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
