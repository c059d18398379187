// A simulated audio engine: fake IMMDeviceEnumerator, IMMDevice, IAudioClient and
// IAudioCaptureClient objects that record every call, misbehave on request and
// play back a script of capture packets. Independent of any test framework and
// of how the enumerator class is made reachable (see fake_registration.hpp).
//
// All members may be called from any thread; the fake objects share one lock.
#pragma once

#include "fake_types.hpp"

#include <chrono>
#include <memory>
#include <vector>

namespace brisvane::fakes {

namespace detail {
struct EngineState;
}

class FakeEngine {
public:
    FakeEngine();
    ~FakeEngine();  // stops pacing; objects still referenced outlive the engine harmlessly
    FakeEngine(const FakeEngine&) = delete;
    FakeEngine& operator=(const FakeEngine&) = delete;

    // --- configuration (before the code under test runs) ---
    void set_device_period(REFERENCE_TIME default_period, REFERENCE_TIME minimum_period);
    void set_buffer_frames(UINT32 frames);
    void set_initialize_result(HRESULT hr);
    // Start sets the event once if packets are queued (on by default).
    void set_signal_on_start(bool on);
    // Off: calls are counted and passed to the driver's on_call, but not kept, so that an
    // engine that runs for hours does not grow (calls() is then empty).
    void set_call_history(bool keep);
    void inject(Method method, Fault fault);

    // --- capture script ---
    void push_packet(Packet packet, bool signal_now = false);
    // Queues all the packets at once (no reader sees only some of them), then signals if asked.
    void push_packets(std::vector<Packet> packets, bool signal_now = false);
    void push_get_buffer_failure(HRESULT hr, bool sticky = true, bool signal_now = false);
    std::size_t steps_left() const;
    // SetEvent on the handle last passed to SetEventHandle; false if there is none.
    bool signal();
    // A thread that, every `period`, queues the next packet and signals; after the last
    // packet it queues `then_fail` (if any) and signals once more. Stopped by stop_pacing
    // or the destructor.
    void start_pacing(std::chrono::milliseconds period, std::vector<Packet> packets,
                      std::optional<HRESULT> then_fail = std::nullopt);
    void stop_pacing();

    // --- what happened ---
    std::vector<Call> calls() const;
    std::vector<Call> calls_of(Method method) const;
    unsigned count(Method method) const;
    // Method names in call order, without QueryInterface.
    std::vector<Method> sequence() const;
    // Objects in creation order (the class factory is not listed).
    std::vector<ObjectStats> objects() const;
    std::vector<ObjectStats> objects_of(ObjectKind kind) const;
    // Kinds in the order their objects reached refcount zero (factory excluded).
    std::vector<ObjectKind> release_order() const;
    // Objects with refcount above zero; an error object nobody fetched with GetErrorInfo
    // counts until its thread replaces or clears it (SetErrorInfo(0, nullptr)).
    std::size_t leaked() const;
    std::size_t over_released() const;  // objects released below zero
    HANDLE event_handle() const;

    // --- entry points for whatever exposes the engine to COM ---
    // A new class factory for CLSID_MMDeviceEnumerator, refcount 1, owned by the caller.
    IClassFactory* new_class_factory();
    // Creates a fake enumerator as IClassFactory::CreateInstance would.
    HRESULT create_enumerator(IUnknown* outer, REFIID riid, void** ppv);

private:
    friend class EngineDriver;  // fake_engine_driver.hpp
    friend class EndpointDriver;  // fake_endpoint_driver.hpp
    std::shared_ptr<detail::EngineState> state_;
};

// {BCDE0395-E52F-467C-8E3D-C4579291692E}
inline constexpr GUID kClsidMMDeviceEnumerator = {
    0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};

}  // namespace brisvane::fakes
