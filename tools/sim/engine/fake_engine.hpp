// A simulated audio engine: fake IMMDeviceEnumerator, IMMDevice, IAudioClient and
// IAudioCaptureClient objects (and process loopback's activation, fake_process_loopback.hpp)
// that record every call, misbehave on request and play back scripts of capture packets,
// one per audio client. Independent of any test framework and
// of how the enumerator class is made reachable (in this process through
// fake_registration.hpp, in any process through the server DLL of ../server).
//
// All members may be called from any thread; the fake objects share one lock.
#pragma once

#include "fake_types.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace brisvane::fakes {

namespace detail {
struct EngineState;
}

class FakeEngine {
public:
    FakeEngine();
    ~FakeEngine();  // objects still referenced outlive the engine harmlessly
    FakeEngine(const FakeEngine&) = delete;
    FakeEngine& operator=(const FakeEngine&) = delete;

    // --- configuration (before the code under test runs) ---
    void set_device_period(REFERENCE_TIME default_period, REFERENCE_TIME minimum_period);
    void set_buffer_frames(UINT32 frames);
    // Off: calls are counted and passed to on_call, but not kept, so that an engine that
    // runs for hours does not grow (calls() is then empty).
    void set_call_history(bool keep);
    void inject(Method method, Fault fault);
    // The Nth process loopback activation (counted from 1) completes with `result` (a failure:
    // no client), or never completes (nullopt). By default every activation gives a client.
    void set_activation_outcome(unsigned nth, std::optional<HRESULT> result);

    // --- capture script of the current stream: the newest audio client's (or, before any
    // client exists or once the newest is released, the one the next client takes over) ---
    void push_packet(Packet packet, bool signal_now = false);
    // Queues all the packets at once (no reader sees only some of them), then signals if asked.
    void push_packets(std::vector<Packet> packets, bool signal_now = false);
    // From the ready packets on, every GetBuffer call fails with hr.
    void push_get_buffer_failure(HRESULT hr, bool signal_now = false);
    // SetEvent on the handle last passed to SetEventHandle; false if there is none.
    bool signal();

    // --- what happened ---
    std::vector<Call> calls() const;
    std::vector<Call> calls_of(Method method) const;
    unsigned count(Method method) const;
    // Method names in call order, without QueryInterface.
    std::vector<Method> sequence() const;
    // Objects in creation order; the class factories only with `with_factories`.
    std::vector<ObjectStats> objects(bool with_factories = false) const;
    std::vector<ObjectStats> objects_of(ObjectKind kind) const;
    // Kinds in the order their objects reached refcount zero (factory excluded).
    std::vector<ObjectKind> release_order() const;
    HANDLE event_handle() const;

    // --- for something that makes packets as the program asks for them (the server DLL) ---
    // Called, with the engine's lock held, for every call once its result is known.
    void on_call(std::function<void(const Call&)> hook);
    // Called, with the engine's lock held, after a GetBuffer call found no packet ready in
    // `stream` (the call still reports AUDCLNT_S_BUFFER_EMPTY).
    void on_empty_read(std::function<void(unsigned stream)> hook);
    // The stream of an audio client, by the id that calls on it carry (Call::stream).
    std::optional<StreamView> stream(unsigned id) const;
    void push_packet_to(unsigned stream, Packet packet);
    // From the stream's ready packets on, GetBuffer fails with hr; signals. Once per stream.
    void fail_stream(unsigned stream, HRESULT hr);
    bool signal_stream(unsigned stream);
    // Runs fn with the engine's lock held; fn may call the engine (the lock is recursive).
    void with_lock(const std::function<void()>& fn) const;
    // The same, if the lock can be had within `patience`; false when it could not
    // (at process exit its holder may be a thread that no longer exists).
    bool try_with_lock(const std::function<void()>& fn, std::chrono::milliseconds patience) const;
    // Frames in the stream's ready packets that the program does not hold, and the oldest of
    // those packets taken away, as an overflowing endpoint buffer drops it.
    UINT64 ready_frames(unsigned stream) const;
    std::optional<Packet> drop_oldest(unsigned stream);

    // A new class factory for CLSID_MMDeviceEnumerator, refcount 1, owned by the caller.
    IClassFactory* new_class_factory();

private:
    friend class EndpointDriver;  // fake_endpoint_driver.hpp
    friend HRESULT activate_audio_interface_async(FakeEngine&, LPCWSTR, REFIID, PROPVARIANT*,
                                                  IActivateAudioInterfaceCompletionHandler*,
                                                  IActivateAudioInterfaceAsyncOperation**);
    std::shared_ptr<detail::EngineState> state_;
};

// {BCDE0395-E52F-467C-8E3D-C4579291692E}
inline constexpr GUID kClsidMMDeviceEnumerator = {
    0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};

}  // namespace brisvane::fakes
