// Internals shared by the engine and the fake COM objects: the state behind one
// FakeEngine and the refcount bookkeeping every fake object carries.
#pragma once

#include "fake_endpoints.hpp"
#include "fake_types.hpp"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace brisvane::fakes::detail {

class Tracked;

// One audio stream: what an audio client (and its capture client) reads. Made by Activate or
// by a process loopback activation; test code that pushes packets before any client exists
// fills a stream that the next client takes over.
struct Stream {
    StreamView view;
    bool claimed = false;   // an audio client owns it
    unsigned owners = 0;    // its audio client and capture client not yet released
    std::deque<Packet> script;
    std::vector<std::uint8_t> locked_data;  // the packet handed out by GetBuffer
    bool packet_locked = false;
    UINT64 frames_handed_out = 0;
    bool had_packet = false;  // a packet was ever made ready
    HANDLE event = nullptr;

    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        if (view.target_process != nullptr) CloseHandle(view.target_process);
    }
    bool signal() const { return event != nullptr && SetEvent(event) != FALSE; }
    void push(Packet packet) {
        had_packet = had_packet || !packet.get_buffer_failure;
        script.push_back(std::move(packet));
    }
    UINT64 ready_frames() const;
    std::optional<Packet> drop_oldest();
    void fail_from_here(HRESULT hr);  // a sticky GetBuffer failure behind the ready packets
};

struct EngineState : std::enable_shared_from_this<EngineState> {
    mutable std::recursive_mutex mu;  // recursive: SetErrorInfo calls back into AddRef
    REFERENCE_TIME default_period = 100000;
    REFERENCE_TIME minimum_period = 30000;
    UINT32 buffer_frames = 480;
    std::vector<std::pair<Method, Fault>> faults;
    std::map<Method, unsigned> counts;
    std::vector<Call> calls;
    bool keep_calls = true;  // false: a call is dropped once on_call has seen it
    std::vector<std::shared_ptr<Stream>> streams;  // creation order
    std::shared_ptr<Stream> current;               // the stream that FakeEngine's script calls fill
    // The outcome of the Nth process loopback activation, when not the default (a client).
    std::map<unsigned, std::optional<HRESULT>> activation_outcomes;
    std::vector<Tracked*> objects;  // creation order; kept after refcount zero
    std::vector<ObjectKind> release_order;
    bool detached = false;  // the FakeEngine is gone: objects free themselves at zero
    // Hooks for whatever makes packets as they are asked for (see fake_engine.hpp); both
    // run with the lock held. on_call sees every call once its result is known;
    // on_empty_read runs after a GetBuffer call that found no packet ready.
    std::function<void(const Call&)> on_call;
    std::function<void(unsigned stream)> on_empty_read;
    EndpointDirectory endpoints;

    std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock(mu); }
    // Appends a call and returns its index.
    std::size_t record(ObjectKind kind, Method method);
    // The fault matching the call of `method` just recorded; sets its error object.
    std::optional<Fault> fault_for(Method method);
    HRESULT finish(std::size_t call, HRESULT hr) {
        calls[call].result = hr;
        if (on_call) on_call(calls[call]);
        // Calls finish in the reverse order of their start, so the one finishing is the last.
        if (!keep_calls && call + 1 == calls.size()) calls.pop_back();
        return hr;
    }
    // The stream that test code fills: the newest one, or a fresh one once that is closed.
    Stream& current_stream();
    // A stream for a new audio client: the one test code filled before, or a new one.
    std::shared_ptr<Stream> claim_stream(StreamTarget target);
    Stream* find_stream(unsigned id) const;
};

class Tracked {
public:
    Tracked(std::shared_ptr<EngineState> state, ObjectKind kind);  // refcount 1
    virtual ~Tracked() = default;
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
    ULONG add_ref();
    ULONG release();
    // A reference of the engine's own (a thread that calls the program back with this object):
    // not the program's, so not in `stats`; the object ends when both kinds are gone.
    void hold();
    void unhold();
    ObjectStats stats;

protected:
    // Runs, with the lock held, when the object ends: no reference of either kind is left.
    virtual void last_release() {}
    std::shared_ptr<EngineState> state_;

private:
    bool end_if_unreferenced();  // lock held; true when the object is to be freed
    unsigned holds_ = 0;
};

// The IUnknown part of a fake object exposing one interface.
template <class Iface>
class Com : public Iface, public Tracked {
public:
    using Tracked::Tracked;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        auto guard = state_->lock();
        const std::size_t call = state_->record(stats.kind, Method::QueryInterface);
        state_->calls[call].iid = riid;
        if (ppv == nullptr) return state_->finish(call, E_POINTER);
        if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(Iface))) {
            *ppv = static_cast<Iface*>(this);
            add_ref();
            return state_->finish(call, S_OK);
        }
        *ppv = nullptr;
        return state_->finish(call, E_NOINTERFACE);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

protected:
    // A method that the program has no use for: recorded (so a test can see it was never
    // called), an injected fault applied, otherwise E_NOTIMPL.
    HRESULT not_used(Method method) {
        auto guard = state_->lock();
        const std::size_t call = state_->record(stats.kind, method);
        if (auto f = state_->fault_for(method)) return state_->finish(call, f->hr);
        return state_->finish(call, E_NOTIMPL);
    }
};

IMMDeviceEnumerator* new_enumerator(const std::shared_ptr<EngineState>& state);
// An audio client on `stream`; a process loopback one refuses what that client does not offer.
IAudioClient* new_audio_client(const std::shared_ptr<EngineState>& state, std::shared_ptr<Stream> stream);
IClassFactory* new_factory(const std::shared_ptr<EngineState>& state);
// IClassFactory::CreateInstance for the enumerator class, recorded as such.
HRESULT create_enumerator(const std::shared_ptr<EngineState>& state, IUnknown* outer, REFIID riid,
                          void** ppv);
IErrorInfo* new_error_info(const std::shared_ptr<EngineState>& state, const ErrorInfoContent& content);

}  // namespace brisvane::fakes::detail
