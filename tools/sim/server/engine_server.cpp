// The simulated audio engine as an in-process COM server: serves the device
// enumerator class with the fake objects of tools/sim/engine and plays the scenario
// named by BRISVANE_ENGINE_SCENARIO (see tools/sim/README.md). Test tooling only.
#include "endpoint_timeline.hpp"
#include "fake_engine.hpp"
#include "narrow.hpp"
#include "scenario.hpp"

#include <windows.h>

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace brisvane::engine_server {
namespace {

constexpr HRESULT kDeviceInvalidated = static_cast<HRESULT>(0x88890004);

std::uint64_t qpc_us() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<std::uint64_t>(static_cast<long double>(c.QuadPart) * 1e6L / f.QuadPart);
}

std::string guid_text(const GUID& g) {
    char t[40];
    std::snprintf(t, sizeof t, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return t;
}

class Log {
public:
    // Opened for appending: the later processes of a run (`truncate` false) write to it too,
    // whole lines, each in one write.
    void open(const std::wstring& path, bool truncate) {
        if (path.empty()) return;
        file_ = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    bool on() const { return file_ != INVALID_HANDLE_VALUE; }
    // One line, written through at once: the process may be ended at any moment.
    void line(const char* format, ...) {
        if (!on()) return;
        char buffer[1024];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(buffer, sizeof buffer - 1, format, args);
        va_end(args);
        if (n < 0) return;
        if (n > static_cast<int>(sizeof buffer) - 2) n = static_cast<int>(sizeof buffer) - 2;
        buffer[n++] = '\n';
        EnterCriticalSection(&cs_);
        DWORD written = 0;
        WriteFile(file_, buffer, static_cast<DWORD>(n), &written, nullptr);
        LeaveCriticalSection(&cs_);
    }
    Log() { InitializeCriticalSection(&cs_); }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    CRITICAL_SECTION cs_;
};

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
        case Method::GetBuffer:
            std::snprintf(t, sizeof t, "out=%d%d%d%d%d", c.out_non_null[0], c.out_non_null[1], c.out_non_null[2],
                          c.out_non_null[3], c.out_non_null[4]);
            break;
        default:
            break;
    }
    return t;
}

class Server {
public:
    HRESULT load() {
        std::lock_guard guard(load_mu_);
        if (loaded_) return load_result_;
        loaded_ = true;
        wchar_t path[MAX_PATH * 4];
        const DWORD n = GetEnvironmentVariableW(L"BRISVANE_ENGINE_SCENARIO", path, static_cast<DWORD>(std::size(path)));
        std::string text;
        std::string error;
        if (n > 0 && n < std::size(path)) {
            if (!read_file(path, text)) error = "cannot read the scenario file " + narrow(path);
        }
        if (error.empty() && !parse_scenario(text, sc_, error)) {
        }
        clock_ = join_run_clock(n > 0 ? std::wstring(path) : std::wstring());
        log_.open(sc_.log, clock_.first);
        log_.line("server pid=%lu scenario=%s", GetCurrentProcessId(), n > 0 ? narrow(path).c_str() : "(none)");
        if (error.empty() && sc_.source == SourceKind::File) {
            if (!read_file(sc_.file.c_str(), file_bytes_)) error = "cannot read the source file " + narrow(sc_.file);
            else if (file_bytes_.size() < 8) error = "the source file holds no whole frame";
        }
        if (!error.empty()) {
            // Refused through the class factory, so that CoCreateInstance reports E_INVALIDARG
            // itself (COM would report a failing DllGetClassObject as "class not registered").
            log_.line("scenario error: %s", error.c_str());
            engine_.inject(fakes::Method::CreateInstance, fakes::Fault::fail_from(E_INVALIDARG));
            load_result_ = S_OK;
            return load_result_;
        }
        if (sc_.source == SourceKind::File) {
            const std::uint64_t frames = file_bytes_.size() / 8;
            file_bytes_.resize(frames * 8);  // a trailing partial frame is not played
            if (!sc_.loop) sc_.total_frames = sc_.total_frames == 0 ? frames : std::min(sc_.total_frames, frames);
        }
        engine_.set_device_period(sc_.default_period_hns, sc_.minimum_period_hns);
        engine_.set_buffer_frames(sc_.buffer_frames);
        engine_.set_call_history(false);  // the log gets every call through on_call
        for (const auto& f : sc_.faults) engine_.inject(f.method, f.fault);
        engine_.on_call([this](const fakes::Call& c) { on_call(c); });
        if (sc_.pace == Pace::Fast) engine_.on_empty_read([this] { produce_burst(); });
        timeline_.start(engine_, sc_, clock_.epoch_us,
                        [this](const std::string& line) { log_.line("%s", line.c_str()); });
        log_.line("scenario ok pace=%s", sc_.pace == Pace::Fast ? "fast" : "realtime");
        load_result_ = S_OK;
        return load_result_;
    }

    HRESULT get_class_object(REFIID riid, void** ppv) {
        if (const HRESULT hr = load(); FAILED(hr)) return hr;
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
                  index, leaks, over, static_cast<unsigned long long>(packets_made_),
                  static_cast<unsigned long long>(lost_packets_), static_cast<unsigned long long>(lost_frames_));
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

    void on_call(const fakes::Call& c) {
        using fakes::Method;
        const bool hot = c.method == Method::GetBuffer || c.method == Method::ReleaseBuffer ||
                         c.method == Method::GetNextPacketSize;
        if (sc_.log_calls == CallLog::All || (sc_.log_calls == CallLog::Setup && !hot)) {
            log_.line("call t=%llu tid=%lu %s.%s %s -> 0x%08lX", static_cast<unsigned long long>(qpc_us()),
                      c.thread_id, fakes::to_string(c.object), fakes::to_string(c.method), call_arguments(c).c_str(),
                      static_cast<unsigned long>(c.result));
        }
        if (c.method == Method::Start && SUCCEEDED(c.result) && !started_) {
            started_ = true;
            start_us_ = qpc_us();
            log_.line("started t=%llu", static_cast<unsigned long long>(start_us_));
            if (sc_.pace == Pace::Realtime) pacer_ = std::thread([this] { pace(); });
        }
    }

    // Sample frame `n` of a generated source, both channels.
    float sample(std::uint64_t n) const {
        const double t = static_cast<double>(n) / 48000.0;
        if (sc_.source == SourceKind::Tone)
            return static_cast<float>(sc_.amplitude * std::sin(2 * std::numbers::pi * sc_.frequency * t));
        const double duration = static_cast<double>(sc_.total_frames) / 48000.0;
        const double k = std::log(sc_.frequency_end / sc_.frequency);
        const double phase = 2 * std::numbers::pi * sc_.frequency * duration / k * (std::exp(t * k / duration) - 1);
        return static_cast<float>(sc_.amplitude * std::sin(phase));
    }

    // The next packet of the source; false once it has ended. Lock held.
    bool next_packet(fakes::Packet& p) {
        if (sc_.total_frames != 0 && frames_made_ >= sc_.total_frames) return false;
        UINT32 frames = sc_.packet_frames[packets_made_ % sc_.packet_frames.size()];
        if (sc_.total_frames != 0) frames = static_cast<UINT32>(std::min<std::uint64_t>(frames, sc_.total_frames - frames_made_));
        p.bytes.resize(std::size_t{frames} * 8);
        p.flags = sc_.packet_flags[packets_made_ % sc_.packet_flags.size()];
        const std::uint64_t offset = frames_made_ * 8;
        switch (sc_.source) {
            case SourceKind::Counting:
                for (std::size_t i = 0; i < p.bytes.size(); ++i) p.bytes[i] = counting_byte(offset + i);
                break;
            case SourceKind::File:
                // Played once, or looped: byte i of the stream is byte i mod size of the file.
                for (std::size_t done = 0; done < p.bytes.size();) {
                    const std::size_t at = static_cast<std::size_t>((offset + done) % file_bytes_.size());
                    const std::size_t n = std::min(p.bytes.size() - done, file_bytes_.size() - at);
                    std::memcpy(p.bytes.data() + done, file_bytes_.data() + at, n);
                    done += n;
                }
                break;
            default:
                for (UINT32 i = 0; i < frames; ++i) {
                    const float v = sample(frames_made_ + i);
                    std::memcpy(p.bytes.data() + i * 8, &v, 4);
                    std::memcpy(p.bytes.data() + i * 8 + 4, &v, 4);
                }
        }
        if (sc_.log_packets)
            log_.line("ready seq=%llu frames=%u offset=%llu flags=%lu t=%llu", static_cast<unsigned long long>(packets_made_),
                      frames, static_cast<unsigned long long>(offset), static_cast<unsigned long>(p.flags),
                      static_cast<unsigned long long>(qpc_us()));
        ++packets_made_;
        frames_made_ += frames;
        return true;
    }

    bool invalidation_due() const {
        if (sc_.invalidate_after_packets && packets_made_ >= *sc_.invalidate_after_packets) return true;
        return sc_.invalidate_after_ms && qpc_us() - start_us_ >= *sc_.invalidate_after_ms * 1000;
    }

    // Lock held. Queues the device-invalidated step once.
    bool invalidate() {
        if (invalidated_) return true;
        if (!invalidation_due()) return false;
        invalidated_ = true;
        engine_.push_get_buffer_failure(kDeviceInvalidated);
        log_.line("invalidated packets=%llu offset=%llu t=%llu", static_cast<unsigned long long>(packets_made_),
                  static_cast<unsigned long long>(frames_made_ * 8), static_cast<unsigned long long>(qpc_us()));
        return true;
    }

    // packets_per_signal packets (fewer at the end), or the invalidation, then one signal.
    // Lock held. False when nothing more will ever come.
    bool produce_burst() {
        if (ended_) return false;
        bool any = false;
        for (unsigned i = 0; i < sc_.packets_per_signal; ++i) {
            if (invalidate()) {
                ended_ = any = true;
                break;
            }
            fakes::Packet p;
            if (!next_packet(p)) {
                ended_ = true;
                log_.line("source ended packets=%llu bytes=%llu", static_cast<unsigned long long>(packets_made_),
                          static_cast<unsigned long long>(frames_made_ * 8));
                break;
            }
            if (sc_.pace == Pace::Realtime) make_room(p.frame_count());
            engine_.push_packet(std::move(p));
            any = true;
        }
        if (any) engine_.signal();
        return !ended_;
    }

    // The endpoint buffer overflows as a real one does: the oldest packets are overwritten.
    void make_room(UINT32 frames) {
        while (engine_.ready_frames() + frames > sc_.endpoint_frames) {
            auto dropped = engine_.drop_oldest();
            if (!dropped) break;
            ++lost_packets_;
            lost_frames_ += dropped->frame_count();
            log_.line("lost frames=%u t=%llu", dropped->frame_count(), static_cast<unsigned long long>(qpc_us()));
        }
    }

    void pace() {
        using namespace std::chrono;
        const auto t0 = steady_clock::now();
        const auto period = milliseconds(std::uint64_t{sc_.period_ms} * sc_.packets_per_signal);
        for (std::uint64_t tick = 1;; ++tick) {
            std::this_thread::sleep_until(t0 + tick * period);
            bool more = true;
            engine_.with_lock([&] { more = produce_burst(); });
            if (!more) return;
        }
    }

    fakes::FakeEngine engine_;
    Scenario sc_;
    Log log_;
    std::mutex load_mu_;
    bool loaded_ = false;
    HRESULT load_result_ = E_UNEXPECTED;
    std::string file_bytes_;
    bool started_ = false;
    bool ended_ = false;
    bool invalidated_ = false;
    std::uint64_t start_us_ = 0;
    std::uint64_t packets_made_ = 0;
    std::uint64_t frames_made_ = 0;
    std::uint64_t lost_packets_ = 0;
    std::uint64_t lost_frames_ = 0;
    std::thread pacer_;
    RunClock clock_;
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

// The engine's state lives as long as the process.
extern "C" HRESULT __stdcall DllCanUnloadNow() { return S_FALSE; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH && brisvane::engine_server::g_used) brisvane::engine_server::server().report();
    return TRUE;
}
