#include "fake_engine.hpp"

#include "fake_engine_state.hpp"

#include <algorithm>
#include <iterator>

namespace brisvane::fakes {

namespace detail {

std::size_t EngineState::record(ObjectKind kind, Method method) {
    Call call;
    call.method = method;
    call.object = kind;
    call.thread_id = GetCurrentThreadId();
    calls.push_back(call);
    ++counts[method];
    return calls.size() - 1;
}

std::optional<Fault> EngineState::fault_for(Method method) {
    const unsigned n = counts[method];
    for (const auto& [m, fault] : faults) {
        if (m != method || !(n == fault.nth || (fault.and_after && n > fault.nth))) continue;
        if (fault.error_info) {
            IErrorInfo* info = new_error_info(shared_from_this(), *fault.error_info);
            SetErrorInfo(0, info);  // the thread's error slot takes its own reference
            info->Release();
        }
        return fault;
    }
    return std::nullopt;
}

UINT64 Stream::ready_frames() const {
    UINT64 frames = 0;
    for (std::size_t i = packet_locked ? 1 : 0; i < script.size(); ++i)
        if (!script[i].get_buffer_failure) frames += script[i].frame_count();
    return frames;
}

std::optional<Packet> Stream::drop_oldest() {
    for (auto it = script.begin() + (packet_locked ? 1 : 0); it != script.end(); ++it) {
        if (it->get_buffer_failure) continue;
        Packet dropped = std::move(*it);
        script.erase(it);
        return dropped;
    }
    return std::nullopt;
}

void Stream::fail_from_here(HRESULT hr) {
    Packet step;
    step.get_buffer_failure = hr;
    script.push_back(std::move(step));
    view.failed = true;
}

Stream& EngineState::current_stream() {
    if (!current || current->view.closed) {
        current = std::shared_ptr<Stream>(new Stream);  // not make_shared: see FakeEngine()
        current->view.id = static_cast<unsigned>(streams.size() + 1);
        streams.push_back(current);
    }
    return *current;
}

std::shared_ptr<Stream> EngineState::claim_stream(StreamTarget target) {
    if (!current || current->claimed || current->view.closed) current.reset();
    current_stream();
    current->claimed = true;
    current->view.target = std::move(target);
    return current;
}

Stream* EngineState::find_stream(unsigned id) const {
    return id >= 1 && id <= streams.size() ? streams[id - 1].get() : nullptr;
}

Tracked::Tracked(std::shared_ptr<EngineState> state, ObjectKind kind) : state_(std::move(state)) {
    stats.kind = kind;
    stats.refs = 1;
    auto guard = state_->lock();
    state_->objects.push_back(this);
}

ULONG Tracked::add_ref() {
    auto guard = state_->lock();
    ++stats.add_refs;
    return static_cast<ULONG>(++stats.refs);
}

ULONG Tracked::release() {
    const std::shared_ptr<EngineState> keep = state_;  // outlives a self-delete below
    bool free_now = false;
    ULONG left = 0;
    {
        auto guard = keep->lock();
        ++stats.releases;
        if (stats.refs <= 0) {
            stats.over_released = true;
            return 0;
        }
        left = static_cast<ULONG>(--stats.refs);
        if (left == 0) {
            stats.destroyed = true;
            if (stats.kind != ObjectKind::Factory) keep->release_order.push_back(stats.kind);
            free_now = end_if_unreferenced();
        }
    }
    if (free_now) delete this;
    return left;
}

void Tracked::hold() {
    auto guard = state_->lock();
    ++holds_;
}

void Tracked::unhold() {
    const std::shared_ptr<EngineState> keep = state_;
    bool free_now = false;
    {
        auto guard = keep->lock();
        free_now = --holds_ == 0 && stats.refs == 0 && end_if_unreferenced();
    }
    if (free_now) delete this;
}

bool Tracked::end_if_unreferenced() {
    if (holds_ > 0) return false;
    last_release();
    if (!state_->detached) return false;
    std::erase(state_->objects, this);
    return true;
}

}  // namespace detail

const char* to_string(ObjectKind k) {
    switch (k) {
        case ObjectKind::Enumerator: return "Enumerator";
        case ObjectKind::Device: return "Device";
        case ObjectKind::AudioClient: return "AudioClient";
        case ObjectKind::CaptureClient: return "CaptureClient";
        case ObjectKind::ErrorInfo: return "ErrorInfo";
        case ObjectKind::Factory: return "Factory";
        case ObjectKind::PropertyStore: return "PropertyStore";
        case ObjectKind::DeviceCollection: return "DeviceCollection";
        case ObjectKind::ActivateOperation: return "ActivateOperation";
        case ObjectKind::Mmdevapi: return "mmdevapi";
    }
    return "?";
}

const char* to_string(Method m) {
    static constexpr const char* names[] = {
        "QueryInterface", "CreateInstance", "LockServer", "EnumAudioEndpoints",
        "GetDefaultAudioEndpoint", "GetDevice", "RegisterEndpointNotificationCallback",
        "UnregisterEndpointNotificationCallback", "Activate", "OpenPropertyStore", "GetId",
        "GetState", "GetValue", "Initialize", "GetBufferSize", "GetStreamLatency", "GetCurrentPadding",
        "IsFormatSupported", "GetMixFormat", "GetDevicePeriod", "Start", "Stop", "Reset",
        "SetEventHandle", "GetService", "GetBuffer", "ReleaseBuffer", "GetNextPacketSize", "GetCount", "Item",
        "ActivateAudioInterfaceAsync", "GetActivateResult"};
    static_assert(std::size(names) == kMethodCount);
    const auto i = static_cast<std::size_t>(m);
    return i < std::size(names) ? names[i] : "?";
}

// Not make_shared: with MinGW GCC 12 in C++23 mode its typeid comparison emits an
// inline std::type_info::operator== that clashes with the one in static libstdc++.
FakeEngine::FakeEngine() : state_(new detail::EngineState) {}

FakeEngine::~FakeEngine() {
    auto guard = state_->lock();
    state_->detached = true;
    // Objects still referenced stay allocated and free themselves at refcount zero.
    std::vector<detail::Tracked*> dead;
    std::erase_if(state_->objects, [&](detail::Tracked* t) {
        if (t->stats.refs > 0) return false;
        dead.push_back(t);
        return true;
    });
    guard.unlock();
    for (detail::Tracked* t : dead) delete t;
}

void FakeEngine::set_device_period(REFERENCE_TIME default_period, REFERENCE_TIME minimum_period) {
    auto guard = state_->lock();
    state_->default_period = default_period;
    state_->minimum_period = minimum_period;
}

void FakeEngine::set_buffer_frames(UINT32 frames) {
    auto guard = state_->lock();
    state_->buffer_frames = frames;
}

void FakeEngine::set_call_history(bool keep) {
    auto guard = state_->lock();
    state_->keep_calls = keep;
}

void FakeEngine::inject(Method method, Fault fault) {
    auto guard = state_->lock();
    state_->faults.emplace_back(method, std::move(fault));
}

void FakeEngine::set_activation_outcome(unsigned nth, std::optional<HRESULT> result) {
    auto guard = state_->lock();
    state_->activation_outcomes[nth] = result;
}

void FakeEngine::push_packet(Packet packet, bool signal_now) {
    auto guard = state_->lock();
    detail::Stream& stream = state_->current_stream();
    stream.push(std::move(packet));
    if (signal_now) stream.signal();
}

void FakeEngine::push_packets(std::vector<Packet> packets, bool signal_now) {
    auto guard = state_->lock();
    detail::Stream& stream = state_->current_stream();
    for (Packet& p : packets) stream.push(std::move(p));
    if (signal_now) stream.signal();
}

void FakeEngine::push_get_buffer_failure(HRESULT hr, bool signal_now) {
    auto guard = state_->lock();
    detail::Stream& stream = state_->current_stream();
    stream.fail_from_here(hr);
    if (signal_now) stream.signal();
}

bool FakeEngine::signal() {
    auto guard = state_->lock();
    return state_->current_stream().signal();
}

std::vector<Call> FakeEngine::calls() const {
    auto guard = state_->lock();
    return state_->calls;
}

std::vector<Call> FakeEngine::calls_of(Method method) const {
    auto guard = state_->lock();
    std::vector<Call> out;
    std::ranges::copy_if(state_->calls, std::back_inserter(out),
                         [&](const Call& c) { return c.method == method; });
    return out;
}

unsigned FakeEngine::count(Method method) const {
    auto guard = state_->lock();
    const auto it = state_->counts.find(method);
    return it == state_->counts.end() ? 0 : it->second;
}

std::vector<Method> FakeEngine::sequence() const {
    auto guard = state_->lock();
    std::vector<Method> out;
    for (const Call& c : state_->calls)
        if (c.method != Method::QueryInterface) out.push_back(c.method);
    return out;
}

std::vector<ObjectStats> FakeEngine::objects(bool with_factories) const {
    auto guard = state_->lock();
    std::vector<ObjectStats> out;
    for (const detail::Tracked* t : state_->objects)
        if (with_factories || t->stats.kind != ObjectKind::Factory) out.push_back(t->stats);
    return out;
}

std::vector<ObjectStats> FakeEngine::objects_of(ObjectKind kind) const {
    std::vector<ObjectStats> out = objects();
    std::erase_if(out, [&](const ObjectStats& s) { return s.kind != kind; });
    return out;
}

std::vector<ObjectKind> FakeEngine::release_order() const {
    auto guard = state_->lock();
    return state_->release_order;
}

HANDLE FakeEngine::event_handle() const {
    auto guard = state_->lock();
    return state_->current ? state_->current->event : nullptr;
}

std::optional<StreamView> FakeEngine::stream(unsigned id) const {
    auto guard = state_->lock();
    const detail::Stream* s = state_->find_stream(id);
    return s != nullptr && s->claimed ? std::optional(s->view) : std::nullopt;
}

void FakeEngine::on_call(std::function<void(const Call&)> hook) {
    auto guard = state_->lock();
    state_->on_call = std::move(hook);
}

void FakeEngine::on_empty_read(std::function<void(unsigned stream)> hook) {
    auto guard = state_->lock();
    state_->on_empty_read = std::move(hook);
}

void FakeEngine::with_lock(const std::function<void()>& fn) const {
    auto guard = state_->lock();
    fn();
}

bool FakeEngine::try_with_lock(const std::function<void()>& fn, std::chrono::milliseconds patience) const {
    const auto until = std::chrono::steady_clock::now() + patience;
    while (!state_->mu.try_lock()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        Sleep(1);
    }
    std::unique_lock guard(state_->mu, std::adopt_lock);
    fn();
    return true;
}

void FakeEngine::push_packet_to(unsigned stream, Packet packet) {
    auto guard = state_->lock();
    if (detail::Stream* s = state_->find_stream(stream)) s->push(std::move(packet));
}

void FakeEngine::fail_stream(unsigned stream, HRESULT hr) {
    auto guard = state_->lock();
    detail::Stream* s = state_->find_stream(stream);
    if (s == nullptr || s->view.failed) return;
    s->fail_from_here(hr);
    s->signal();
}

bool FakeEngine::signal_stream(unsigned stream) {
    auto guard = state_->lock();
    const detail::Stream* s = state_->find_stream(stream);
    return s != nullptr && s->signal();
}

UINT64 FakeEngine::ready_frames(unsigned stream) const {
    auto guard = state_->lock();
    const detail::Stream* s = state_->find_stream(stream);
    return s == nullptr ? 0 : s->ready_frames();
}

std::optional<Packet> FakeEngine::drop_oldest(unsigned stream) {
    auto guard = state_->lock();
    detail::Stream* s = state_->find_stream(stream);
    return s == nullptr ? std::nullopt : s->drop_oldest();
}

IClassFactory* FakeEngine::new_class_factory() { return detail::new_factory(state_); }

}  // namespace brisvane::fakes
