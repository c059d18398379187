// The fake enumerator, device, audio client, capture client and class factory.
// Each method records itself, applies an injected fault if one matches, then
// behaves like the shared-mode engine as far as the capture path needs.
#include "fake_engine_state.hpp"

#include <algorithm>
#include <cstring>

namespace brisvane::fakes::detail {
namespace {

using State = std::shared_ptr<EngineState>;

// One owner of the stream (its audio client or capture client) is released; with the last,
// the stream ends.
void release_stream(Stream& stream) {
    if (--stream.owners > 0) return;
    stream.view.closed = true;
}

class FakeCaptureClient final : public Com<IAudioCaptureClient> {
public:
    FakeCaptureClient(State s, std::shared_ptr<Stream> stream)
        : Com(std::move(s), ObjectKind::CaptureClient), stream_(std::move(stream)) {
        ++stream_->owners;
    }

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device,
                                        UINT64* qpc) override {
        auto guard = state_->lock();
        const std::size_t call = record(Method::GetBuffer);
        state_->calls[call].out_non_null = {data != nullptr, frames != nullptr, flags != nullptr,
                                            device != nullptr, qpc != nullptr};
        if (auto f = state_->fault_for(Method::GetBuffer)) return state_->finish(call, f->hr);
        if (data == nullptr || frames == nullptr || flags == nullptr)
            return state_->finish(call, E_POINTER);
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        Stream& s = *stream_;
        if (s.packet_locked) return state_->finish(call, AUDCLNT_E_OUT_OF_ORDER);
        if (s.script.empty()) {
            if (device != nullptr) *device = s.frames_handed_out;
            if (qpc != nullptr) *qpc = 0;
            if (state_->on_empty_read) state_->on_empty_read(s.view.id);
            return state_->finish(call, AUDCLNT_S_BUFFER_EMPTY);
        }
        const Packet& p = s.script.front();
        if (p.get_buffer_failure) return state_->finish(call, *p.get_buffer_failure);
        const UINT32 n = p.frame_count();
        // Short packets are padded with zeros so a reader of n frames stays in bounds.
        s.locked_data = p.bytes;
        s.locked_data.resize(std::max<std::size_t>({p.bytes.size(), std::size_t{n} * 8, 8}));
        *data = s.locked_data.data();
        *frames = n;
        *flags = p.flags;
        if (device != nullptr) *device = p.device_position.value_or(s.frames_handed_out);
        if (qpc != nullptr) *qpc = p.qpc_position;
        s.packet_locked = true;
        return state_->finish(call, S_OK);
    }

    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames_read) override {
        auto guard = state_->lock();
        const std::size_t call = record(Method::ReleaseBuffer);
        state_->calls[call].frames = frames_read;
        if (auto f = state_->fault_for(Method::ReleaseBuffer)) return state_->finish(call, f->hr);
        Stream& s = *stream_;
        if (!s.packet_locked) return state_->finish(call, frames_read == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER);
        const Packet& p = s.script.front();
        if (frames_read != 0 && frames_read != p.frame_count()) return state_->finish(call, AUDCLNT_E_INVALID_SIZE);
        const HRESULT hr = p.release_result;
        s.packet_locked = false;
        // Reading the buffer after releasing it now yields 0xDD bytes, not the packet.
        std::ranges::fill(s.locked_data, std::uint8_t{0xDD});
        if (frames_read != 0) {  // releasing 0 frames leaves the packet for the next GetBuffer
            s.frames_handed_out += frames_read;
            s.script.pop_front();
        }
        return state_->finish(call, hr);
    }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32*) override { return not_used(Method::GetNextPacketSize); }

private:
    std::size_t record(Method method) {
        const std::size_t call = state_->record(stats.kind, method);
        state_->calls[call].stream = stream_->view.id;
        return call;
    }
    void last_release() override { release_stream(*stream_); }

    std::shared_ptr<Stream> stream_;
};

// Whether a format is the one process loopback accepts: 48 kHz, 2 channels, 32-bit float.
bool is_float_stereo_48k(const WAVEFORMATEX& f) {
    if (f.nSamplesPerSec != 48000 || f.nChannels != 2 || f.wBitsPerSample != 32) return false;
    if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
    if (f.wFormatTag != WAVE_FORMAT_EXTENSIBLE || f.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
        return false;
    // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT: {00000003-0000-0010-8000-00AA00389B71}
    constexpr GUID kFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    return IsEqualGUID(reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(f).SubFormat, kFloat);
}

// GetBufferSize of a process loopback client before its first packet: nonsense, as the
// platform's may be.
constexpr UINT32 kUnsizedBufferFrames = 1;

class FakeAudioClient final : public Com<IAudioClient> {
public:
    FakeAudioClient(State s, std::shared_ptr<Stream> stream)
        : Com(std::move(s), ObjectKind::AudioClient), stream_(std::move(stream)),
          process_loopback_(stream_->view.target.process_loopback) {
        ++stream_->owners;
    }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                                         REFERENCE_TIME periodicity, const WAVEFORMATEX* format,
                                         LPCGUID session) override {
        auto guard = state_->lock();
        const std::size_t call = record(Method::Initialize);
        Call& c = state_->calls[call];
        c.share_mode = mode;
        c.stream_flags = flags;
        c.buffer_duration = duration;
        c.periodicity = periodicity;
        c.session_guid_null = session == nullptr;
        copy_format(c, format);
        if (auto f = state_->fault_for(Method::Initialize)) return state_->finish(call, f->hr);
        if (initialized_) return state_->finish(call, AUDCLNT_E_ALREADY_INITIALIZED);
        if (format == nullptr) return state_->finish(call, E_POINTER);
        if (process_loopback_) {
            constexpr DWORD needed = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
            if (mode != AUDCLNT_SHAREMODE_SHARED || (flags & needed) != needed ||
                (flags & AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM) != 0)
                return state_->finish(call, E_INVALIDARG);
            if (!is_float_stereo_48k(*format)) return state_->finish(call, AUDCLNT_E_UNSUPPORTED_FORMAT);
        }
        initialized_ = true;
        event_driven_ = (flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
        duration_frames_ = static_cast<UINT32>((duration * 48000 + 5000000) / 10000000);
        return state_->finish(call, S_OK);
    }

    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        auto guard = state_->lock();
        UINT32 size = state_->buffer_frames;
        if (process_loopback_) size = stream_->had_packet ? duration_frames_ : kUnsizedBufferFrames;
        return get_value(Method::GetBufferSize, frames, size);
    }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return not_used(Method::GetStreamLatency); }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return not_used(Method::GetCurrentPadding); }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX** closest) override {
        if (closest != nullptr) *closest = nullptr;
        return not_used(Method::IsFormatSupported);
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
        if (format != nullptr) *format = nullptr;
        return not_used(Method::GetMixFormat);
    }

    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* default_period,
                                              REFERENCE_TIME* minimum_period) override {
        if (process_loopback_) return not_used(Method::GetDevicePeriod);
        auto guard = state_->lock();
        const std::size_t call = record(Method::GetDevicePeriod);
        state_->calls[call].out_non_null[0] = default_period != nullptr;
        state_->calls[call].out_non_null[1] = minimum_period != nullptr;
        if (auto f = state_->fault_for(Method::GetDevicePeriod)) return state_->finish(call, f->hr);
        if (default_period == nullptr && minimum_period == nullptr) return state_->finish(call, E_POINTER);
        if (default_period != nullptr) *default_period = state_->default_period;
        if (minimum_period != nullptr) *minimum_period = state_->minimum_period;
        return state_->finish(call, S_OK);
    }

    HRESULT STDMETHODCALLTYPE Start() override {
        auto guard = state_->lock();
        const std::size_t call = record(Method::Start);
        if (auto hr = refusal(Method::Start)) return state_->finish(call, *hr);
        if (started_) return state_->finish(call, AUDCLNT_E_NOT_STOPPED);
        if (event_driven_ && !has_event_) return state_->finish(call, AUDCLNT_E_EVENTHANDLE_NOT_SET);
        started_ = true;
        if (!stream_->script.empty()) stream_->signal();
        return state_->finish(call, S_OK);
    }

    HRESULT STDMETHODCALLTYPE Stop() override {
        auto guard = state_->lock();
        const std::size_t call = record(Method::Stop);
        if (auto hr = refusal(Method::Stop)) return state_->finish(call, *hr);
        if (!started_) return state_->finish(call, S_FALSE);
        started_ = false;
        return state_->finish(call, S_OK);
    }

    HRESULT STDMETHODCALLTYPE Reset() override {
        auto guard = state_->lock();
        const std::size_t call = record(Method::Reset);
        if (auto hr = refusal(Method::Reset)) return state_->finish(call, *hr);
        if (started_) return state_->finish(call, AUDCLNT_E_NOT_STOPPED);
        Stream& s = *stream_;
        if (s.packet_locked) return state_->finish(call, AUDCLNT_E_BUFFER_OPERATION_PENDING);
        // The ready packets are flushed; a device loss already queued stays.
        std::erase_if(s.script, [](const Packet& p) { return !p.get_buffer_failure; });
        s.frames_handed_out = 0;
        return state_->finish(call, S_OK);
    }

    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        auto guard = state_->lock();
        const std::size_t call = record(Method::SetEventHandle);
        state_->calls[call].handle = event;
        if (auto f = state_->fault_for(Method::SetEventHandle)) return state_->finish(call, f->hr);
        if (!initialized_) return state_->finish(call, AUDCLNT_E_NOT_INITIALIZED);
        if (!event_driven_) return state_->finish(call, AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED);
        if (event == nullptr || event == INVALID_HANDLE_VALUE) return state_->finish(call, E_INVALIDARG);
        stream_->event = event;
        has_event_ = true;
        return state_->finish(call, S_OK);
    }

    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** ppv) override {
        auto guard = state_->lock();
        const std::size_t call = record(Method::GetService);
        state_->calls[call].iid = riid;
        state_->calls[call].out_non_null[0] = ppv != nullptr;
        if (ppv == nullptr) return state_->finish(call, E_POINTER);
        *ppv = nullptr;
        if (auto f = state_->fault_for(Method::GetService)) return state_->finish(call, f->hr);
        if (!initialized_) return state_->finish(call, AUDCLNT_E_NOT_INITIALIZED);
        if (!IsEqualIID(riid, __uuidof(IAudioCaptureClient))) return state_->finish(call, E_NOINTERFACE);
        *ppv = static_cast<IAudioCaptureClient*>(new FakeCaptureClient(state_, stream_));
        return state_->finish(call, S_OK);
    }

private:
    std::size_t record(Method method) {
        const std::size_t call = state_->record(stats.kind, method);
        state_->calls[call].stream = stream_->view.id;
        return call;
    }
    void last_release() override { release_stream(*stream_); }
    // What a call that needs an initialised client gives before it does anything: an injected
    // fault, or AUDCLNT_E_NOT_INITIALIZED.
    std::optional<HRESULT> refusal(Method method) {
        if (auto f = state_->fault_for(method)) return f->hr;
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        return std::nullopt;
    }

    static void copy_format(Call& c, const WAVEFORMATEX* format) {
        c.format_non_null = format != nullptr;
        if (format == nullptr) return;
        c.format_size = std::min(sizeof(WAVEFORMATEX) + format->cbSize, c.format.size());
        std::memcpy(c.format.data(), format, c.format_size);
    }

    template <class T>
    HRESULT get_value(Method method, T* out, T value) {
        auto guard = state_->lock();
        const std::size_t call = record(method);
        state_->calls[call].out_non_null[0] = out != nullptr;
        if (auto f = state_->fault_for(method)) return state_->finish(call, f->hr);
        if (out == nullptr) return state_->finish(call, E_POINTER);
        if (!initialized_) return state_->finish(call, AUDCLNT_E_NOT_INITIALIZED);
        *out = value;
        return state_->finish(call, S_OK);
    }

    std::shared_ptr<Stream> stream_;
    bool process_loopback_;
    bool initialized_ = false;
    bool event_driven_ = false;
    bool has_event_ = false;
    bool started_ = false;
    UINT32 duration_frames_ = 0;
};

class FakeDevice final : public Com<IMMDevice> {
public:
    FakeDevice(State s, std::wstring id) : Com(std::move(s), ObjectKind::Device), id_(std::move(id)) {}

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD clsctx, PROPVARIANT* params, void** ppv) override {
        auto guard = state_->lock();
        const std::size_t call = state_->record(stats.kind, Method::Activate);
        Call& c = state_->calls[call];
        c.iid = iid;
        c.clsctx = clsctx;
        c.params_non_null = params != nullptr;
        c.out_non_null[0] = ppv != nullptr;
        if (ppv == nullptr) return state_->finish(call, E_POINTER);
        *ppv = nullptr;
        if (auto f = state_->fault_for(Method::Activate)) return state_->finish(call, f->hr);
        if (!IsEqualIID(iid, __uuidof(IAudioClient))) return state_->finish(call, E_NOINTERFACE);
        const FakeEndpoint* endpoint = state_->endpoints.find(id_);
        if (endpoint == nullptr || endpoint->state != DEVICE_STATE_ACTIVE)
            return state_->finish(call, AUDCLNT_E_DEVICE_INVALIDATED);
        auto stream = state_->claim_stream(StreamTarget{id_});
        c.stream = stream->view.id;
        *ppv = new_audio_client(state_, std::move(stream));
        return state_->finish(call, S_OK);
    }

    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override {
        return open_property_store(state_, id_, store);
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override { return copy_device_id(state_, id_, id); }
    HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override { return device_state(state_, id_, state); }

private:
    std::wstring id_;
};

class FakeEnumerator final : public Com<IMMDeviceEnumerator> {
public:
    explicit FakeEnumerator(State s) : Com(std::move(s), ObjectKind::Enumerator) {}

    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** device) override {
        auto guard = state_->lock();
        const std::size_t call = state_->record(stats.kind, Method::GetDefaultAudioEndpoint);
        state_->calls[call].data_flow = flow;
        state_->calls[call].role = role;
        state_->calls[call].out_non_null[0] = device != nullptr;
        if (device == nullptr) return state_->finish(call, E_POINTER);
        *device = nullptr;
        if (auto f = state_->fault_for(Method::GetDefaultAudioEndpoint)) return state_->finish(call, f->hr);
        if (!state_->endpoints.default_id) return state_->finish(call, HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
        *device = new FakeDevice(state_, *state_->endpoints.default_id);
        return state_->finish(call, S_OK);
    }

    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask, IMMDeviceCollection** out) override {
        return enum_endpoints(state_, flow, mask, out);
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** out) override { return get_device(state_, id, out); }
    HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* listener) override {
        return register_listener(state_, listener);
    }
    HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* listener) override {
        return unregister_listener(state_, listener);
    }
};

class FakeFactory final : public Com<IClassFactory> {
public:
    explicit FakeFactory(State s) : Com(std::move(s), ObjectKind::Factory) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return create_enumerator(state_, outer, riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override {
        auto guard = state_->lock();
        return state_->finish(state_->record(stats.kind, Method::LockServer), S_OK);
    }
};

}  // namespace

HRESULT create_enumerator(const State& state, IUnknown* outer, REFIID riid, void** ppv) {
    auto guard = state->lock();
    const std::size_t call = state->record(ObjectKind::Factory, Method::CreateInstance);
    state->calls[call].iid = riid;
    state->calls[call].outer_non_null = outer != nullptr;
    state->calls[call].out_non_null[0] = ppv != nullptr;
    if (ppv == nullptr) return state->finish(call, E_POINTER);
    *ppv = nullptr;
    if (auto f = state->fault_for(Method::CreateInstance)) return state->finish(call, f->hr);
    if (outer != nullptr) return state->finish(call, CLASS_E_NOAGGREGATION);
    if (!IsEqualIID(riid, __uuidof(IUnknown)) && !IsEqualIID(riid, __uuidof(IMMDeviceEnumerator)))
        return state->finish(call, E_NOINTERFACE);
    *ppv = new_enumerator(state);
    return state->finish(call, S_OK);
}

IMMDeviceEnumerator* new_enumerator(const State& state) { return new FakeEnumerator(state); }

IClassFactory* new_factory(const State& state) { return new FakeFactory(state); }

IMMDevice* new_device(const State& state, std::wstring id) { return new FakeDevice(state, std::move(id)); }

IAudioClient* new_audio_client(const State& state, std::shared_ptr<Stream> stream) {
    return new FakeAudioClient(state, std::move(stream));
}

}  // namespace brisvane::fakes::detail
