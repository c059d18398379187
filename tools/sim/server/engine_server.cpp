// The simulated audio engine as an in-process COM server: serves the device
// enumerator class and process loopback (mmdevapi's ActivateAudioInterfaceAsync) with the fake
// objects of tools/sim/engine and plays the scenario named by BRISVANE_ENGINE_SCENARIO (see
// tools/sim/README.md). Test tooling only.
#include "endpoint_timeline.hpp"
#include "fake_engine.hpp"
#include "fake_process_loopback.hpp"
#include "narrow.hpp"
#include "run_clock.hpp"
#include "scenario.hpp"
#include "server_log.hpp"
#include "stream_player.hpp"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brisvane::engine_server {
namespace {

std::string guid_text(const GUID& g) {
    char t[40];
    std::snprintf(t, sizeof t, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return t;
}

std::string call_arguments(const fakes::Call& c) {
    using fakes::Method;
    char t[512] = "";
    switch (c.method) {
        case Method::QueryInterface:
        case Method::GetService:
            std::snprintf(t, sizeof t, "iid=%s", guid_text(c.iid).c_str());
            break;
        case Method::CreateInstance:
            std::snprintf(t, sizeof t, "outer=%d iid=%s", c.outer_non_null, guid_text(c.iid).c_str());
            break;
        case Method::GetDefaultAudioEndpoint:
            std::snprintf(t, sizeof t, "flow=%d role=%d", static_cast<int>(c.data_flow), static_cast<int>(c.role));
            break;
        case Method::Activate:
            std::snprintf(t, sizeof t, "iid=%s clsctx=0x%lX params=%s", guid_text(c.iid).c_str(),
                          static_cast<unsigned long>(c.clsctx), c.params_non_null ? "set" : "null");
            break;
        case Method::Initialize: {
            std::string format;
            char hex[4];
            for (std::size_t i = 0; i < c.format_size; ++i) {
                std::snprintf(hex, sizeof hex, "%02X", c.format[i]);
                format += hex;
            }
            std::snprintf(t, sizeof t, "share=%d flags=0x%08lX duration=%lld periodicity=%lld format=%s session=%s",
                          static_cast<int>(c.share_mode), static_cast<unsigned long>(c.stream_flags),
                          static_cast<long long>(c.buffer_duration), static_cast<long long>(c.periodicity),
                          c.format_non_null ? format.c_str() : "null", c.session_guid_null ? "null" : "set");
            break;
        }
        case Method::SetEventHandle:
            std::snprintf(t, sizeof t, "handle=%p", c.handle);
            break;
        case Method::ReleaseBuffer:
            std::snprintf(t, sizeof t, "frames=%u", c.frames);
            break;
        case Method::EnumAudioEndpoints:
            std::snprintf(t, sizeof t, "flow=%d mask=0x%lX", static_cast<int>(c.data_flow),
                          static_cast<unsigned long>(c.state_mask));
            break;
        case Method::ActivateAudioInterfaceAsync: {
            char result[16] = "never";
            if (c.activate_result) std::snprintf(result, sizeof result, "0x%08lX", static_cast<unsigned long>(*c.activate_result));
            std::snprintf(t, sizeof t, "path=%s iid=%s pid=%lu mode=%lu activation=%s", narrow(c.path).c_str(),
                          guid_text(c.iid).c_str(), static_cast<unsigned long>(c.process_id),
                          static_cast<unsigned long>(c.loopback_mode), result);
            break;
        }
        case Method::GetBuffer:
            std::snprintf(t, sizeof t, "out=%d%d%d%d%d", c.out_non_null[0], c.out_non_null[1], c.out_non_null[2],
                          c.out_non_null[3], c.out_non_null[4]);
            break;
        default:
            break;
    }
    if (c.stream == 0) return t;
    return std::string(t) + (t[0] != '\0' ? " " : "") + "stream=" + std::to_string(c.stream);
}

class Server {
public:
    void load() {
        std::lock_guard guard(load_mu_);
        if (loaded_) return;
        loaded_ = true;
        wchar_t path[MAX_PATH * 4];
        const DWORD n = GetEnvironmentVariableW(L"BRISVANE_ENGINE_SCENARIO", path, static_cast<DWORD>(std::size(path)));
        std::string text;
        std::string error;
        if (n > 0 && n < std::size(path)) {
            if (!read_file(path, text)) error = "cannot read the scenario file " + narrow(path);
        }
        if (error.empty()) parse_scenario(text, sc_, error);
        clock_ = RunClock::join(n > 0 ? std::wstring(path) : std::wstring());
        log_.open(sc_.log, clock_.first());
        log_.line("server pid=%lu scenario=%s", GetCurrentProcessId(), n > 0 ? narrow(path).c_str() : "(none)");
        for (const std::wstring& file : error.empty() ? sc_.source_files() : std::vector<std::wstring>{}) {
            std::string& bytes = files_[file];
            if (!read_file(file.c_str(), bytes)) error = "cannot read the source file " + narrow(file);
            else if (bytes.size() < 8) error = "the source file holds no whole frame";
            bytes.resize(bytes.size() / 8 * 8);  // a trailing partial frame is not played
            if (!error.empty()) break;
        }
        if (!error.empty()) {
            // Refused through the class factory, so that CoCreateInstance reports E_INVALIDARG
            // itself (COM would report a failing DllGetClassObject as "class not registered").
            log_.line("scenario error: %s", error.c_str());
            engine_.inject(fakes::Method::CreateInstance, fakes::Fault::fail_from(E_INVALIDARG));
            engine_.inject(fakes::Method::ActivateAudioInterfaceAsync, fakes::Fault::fail_from(E_INVALIDARG));
            return;
        }
        engine_.set_device_period(sc_.default_period_hns, sc_.minimum_period_hns);
        engine_.set_buffer_frames(sc_.buffer_frames);
        engine_.set_call_history(false);  // the log gets every call through on_call
        players_context_.log_packets = sc_.log_packets;
        for (const auto& f : sc_.faults) engine_.inject(f.method, f.fault);
        for (const auto& a : sc_.activations) engine_.set_activation_outcome(a.nth, a.result);
        engine_.on_call([this](const fakes::Call& c) { on_call(c); });
        engine_.on_empty_read([this](unsigned stream) {
            if (auto it = players_.find(stream); it != players_.end()) it->second.on_empty_read();
        });
        timeline_.start(engine_, sc_, clock_, [this](const std::string& line) { log_.line("%s", line.c_str()); });
        wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        pacer_ = std::thread([this] { pace(); });
        log_.line("scenario ok pace=%s epoch=%llu", sc_.stream.pace == Pace::Fast ? "fast" : "realtime",
                  static_cast<unsigned long long>(clock_.qpc_position(0)));
    }

    fakes::FakeEngine& engine() { return engine_; }

    HRESULT get_class_object(REFIID riid, void** ppv) {
        load();
        IClassFactory* factory = engine_.new_class_factory();
        const HRESULT hr = factory->QueryInterface(riid, ppv);
        factory->Release();
        log_.line("DllGetClassObject iid=%s -> 0x%08lX", guid_text(riid).c_str(), static_cast<unsigned long>(hr));
        return hr;
    }

    // At process detach: every object and whether it was released exactly once.
    void report() {
        if (!log_.on()) return;
        std::vector<fakes::ObjectStats> objects;
        const bool locked = engine_.try_with_lock([&] { objects = engine_.objects(true); },
                                                  std::chrono::milliseconds(500));
        if (!locked) {
            log_.line("ERROR engine lock held by a vanished thread; no object report");
            log_.line("end");
            return;
        }
        unsigned leaks = 0, over = 0, index = 0;
        for (const auto& s : objects) {
            const char* kind = fakes::to_string(s.kind);
            log_.line("object %s#%u add_refs=%u releases=%u refs=%ld", kind, index, s.add_refs, s.releases, s.refs);
            // The class factory is COM's, not the program's; it is listed, not judged.
            if (s.kind != fakes::ObjectKind::Factory) {
                if (s.refs > 0) ++leaks, log_.line("LEAK %s#%u refs=%ld", kind, index, s.refs);
                if (s.over_released) ++over, log_.line("OVER-RELEASED %s#%u", kind, index);
            }
            ++index;
        }
        log_.line("summary objects=%u leaks=%u over_released=%u packets=%llu lost_packets=%llu lost_frames=%llu",
                  index, leaks, over, static_cast<unsigned long long>(players_context_.packets),
                  static_cast<unsigned long long>(players_context_.lost_packets),
                  static_cast<unsigned long long>(players_context_.lost_frames));
        log_.line("end");
    }

private:
    static bool read_file(const wchar_t* path, std::string& out) {
        HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) return false;
        LARGE_INTEGER size;
        GetFileSizeEx(f, &size);
        out.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD got = 0;
        std::size_t done = 0;
        while (done < out.size() &&
               ReadFile(f, out.data() + done, static_cast<DWORD>(std::min<std::size_t>(out.size() - done, 1 << 24)),
                        &got, nullptr) &&
               got > 0)
            done += got;
        CloseHandle(f);
        out.resize(done);
        return true;
    }

    // Lock held.
    void on_call(const fakes::Call& c) {
        using fakes::Method;
        const bool hot = c.method == Method::GetBuffer || c.method == Method::ReleaseBuffer ||
                         c.method == Method::GetNextPacketSize;
        if (sc_.log_calls == CallLog::All || (sc_.log_calls == CallLog::Setup && !hot)) {
            log_.line("call t=%llu tid=%lu %s.%s %s -> 0x%08lX", static_cast<unsigned long long>(qpc_us()),
                      c.thread_id, fakes::to_string(c.object), fakes::to_string(c.method), call_arguments(c).c_str(),
                      static_cast<unsigned long>(c.result));
        }
        if (c.result != S_OK || c.stream == 0) return;
        if (c.method == Method::Activate || c.method == Method::ActivateAudioInterfaceAsync) {
            if (const auto stream = engine_.stream(c.stream)) add_player(*stream);
            return;
        }
        const auto it = players_.find(c.stream);
        if (it == players_.end()) return;
        if (c.method == Method::Start) {
            it->second.start();
            SetEvent(wake_);
        } else if (c.method == Method::Stop) {
            it->second.stop();
        } else if (c.method == Method::Reset) {
            it->second.reset();
        }
    }

    void add_player(const fakes::StreamView& stream) {
        const fakes::StreamTarget& target = stream.target;
        const unsigned long long t = qpc_us();
        if (target.process_loopback)
            log_.line("stream id=%u pid=%lu mode=%s t=%llu", stream.id, static_cast<unsigned long>(target.process_id),
                      target.exclude ? "exclude" : "include", t);
        else
            log_.line("stream id=%u endpoint=%s t=%llu", stream.id, narrow(target.endpoint_id).c_str(), t);
        StreamSettings settings = sc_.settings_for(target);
        const auto file = files_.find(settings.file);
        const std::string* bytes = settings.source == SourceKind::File ? &file->second : nullptr;
        players_.try_emplace(stream.id, players_context_, stream, std::move(settings), bytes);
    }

    // The real-time streams' packets, each made ready when its endpoint has played it.
    void pace() {
        for (std::optional<std::uint64_t> next;;) {
            const std::uint64_t now = clock_.now();
            WaitForSingleObject(wake_, !next ? INFINITE
                                       : *next <= now ? 0
                                                      : static_cast<DWORD>(clock_.ticks_in_ms(*next - now) + 1));
            next.reset();
            engine_.with_lock([&] {
                for (auto& [id, player] : players_)
                    if (const auto at = player.serve(); at && (!next || *at < *next)) next = at;
            });
        }
    }

    fakes::FakeEngine engine_;
    Scenario sc_;
    Log log_;
    std::mutex load_mu_;
    bool loaded_ = false;
    std::map<std::wstring, std::string> files_;
    RunClock clock_;
    PlayerContext players_context_{engine_, clock_, log_, true};
    std::map<unsigned, StreamPlayer> players_;  // by stream id; only under the engine's lock
    HANDLE wake_ = nullptr;
    std::thread pacer_;
    EndpointTimeline timeline_;
};

// Made on first use and never destroyed: at process exit other threads are gone and
// objects the program still holds must stay valid.
Server& server() {
    static Server* const instance = new Server;
    return *instance;
}

bool g_used = false;

}  // namespace
}  // namespace brisvane::engine_server

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(clsid, brisvane::fakes::kClsidMMDeviceEnumerator)) return CLASS_E_CLASSNOTAVAILABLE;
    brisvane::engine_server::g_used = true;
    return brisvane::engine_server::server().get_class_object(riid, ppv);
}

// Installed as mmdevapi.dll, the same engine serves process loopback.
extern "C" HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                                      IActivateAudioInterfaceCompletionHandler* handler,
                                                      IActivateAudioInterfaceAsyncOperation** operation) {
    brisvane::engine_server::g_used = true;
    auto& server = brisvane::engine_server::server();
    server.load();
    return brisvane::fakes::activate_audio_interface_async(server.engine(), path, riid, params, handler, operation);
}

// The engine's state lives as long as the process.
extern "C" HRESULT __stdcall DllCanUnloadNow() { return S_FALSE; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH && brisvane::engine_server::g_used) brisvane::engine_server::server().report();
    return TRUE;
}
