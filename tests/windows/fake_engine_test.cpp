// Drives the simulated audio engine through plain COM calls, the way the capture
// code will, to show that registration, call recording, fault injection, the
// packet script and refcount tracking behave as the capture tests rely on.
#include "../fakes/fake_engine.hpp"
#include "../fakes/fake_registration.hpp"
#include "../fakes/fake_restricted_error_info.hpp"

#include <gtest/gtest.h>

#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <thread>
#include <utility>

namespace {

using namespace brisvane::fakes;

template <class T>
class Ref {
public:
    Ref() = default;
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
    }
    // Lets a test drop a reference without releasing it, to simulate a leak.
    T* detach() { return std::exchange(p_, nullptr); }

private:
    T* p_ = nullptr;
};

class Event {
public:
    Event() : h_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Event() {
        if (h_ != nullptr) CloseHandle(h_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE get() const { return h_; }
    bool signaled(DWORD ms = 0) const { return WaitForSingleObject(h_, ms) == WAIT_OBJECT_0; }

private:
    HANDLE h_;
};

class Bstr {
public:
    ~Bstr() { SysFreeString(s_); }
    BSTR* put() { return &s_; }
    std::wstring str() const { return s_ == nullptr ? std::wstring() : std::wstring(s_); }
    bool null() const { return s_ == nullptr; }

private:
    BSTR s_ = nullptr;
};

struct ComInit {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ~ComInit() {
        if (SUCCEEDED(hr)) CoUninitialize();
    }
};

WAVEFORMATEXTENSIBLE float_stereo() {
    WAVEFORMATEXTENSIBLE f{};
    f.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 48000 * 8, 8, 32, 22};
    f.Samples.wValidBitsPerSample = 32;
    f.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    f.SubFormat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    return f;
}

Packet packet_of(std::size_t bytes, std::uint8_t fill, DWORD flags = 0) {
    Packet p;
    p.bytes.assign(bytes, fill);
    p.flags = flags;
    return p;
}

class FakeEngineTest : public ::testing::Test {
protected:
    // Opens enumerator, device, audio client (initialized, event-driven) and capture client.
    void open_all() {
        ASSERT_EQ(CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), enumerator.put_void()),
                  S_OK);
        ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put()), S_OK);
        ASSERT_EQ(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void()), S_OK);
        const WAVEFORMATEXTENSIBLE format = float_stereo();
        ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                     AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                     200000, 0, &format.Format, nullptr),
                  S_OK);
        ASSERT_EQ(client->SetEventHandle(event.get()), S_OK);
        ASSERT_EQ(client->GetService(__uuidof(IAudioCaptureClient), capture.put_void()), S_OK);
    }
    void release_all() {
        capture.reset();
        client.reset();
        device.reset();
        enumerator.reset();
    }

    ComInit com;
    FakeEngine engine;
    ClassRegistration registration{engine};
    Event event;
    Ref<IMMDeviceEnumerator> enumerator;
    Ref<IMMDevice> device;
    Ref<IAudioClient> client;
    Ref<IAudioCaptureClient> capture;

    void TearDown() override { release_all(); }
};

TEST_F(FakeEngineTest, RegisteredFactoryAnswersCoCreateInstanceFromAnotherMtaThread) {
    ASSERT_TRUE(registration.ok()) << std::hex << registration.result();
    HRESULT hr = E_FAIL;
    std::thread worker([&] {
        ComInit thread_com;
        Ref<IMMDeviceEnumerator> e;
        hr = CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator), e.put_void());
        if (SUCCEEDED(hr)) {
            Ref<IMMDevice> d;
            e->GetDefaultAudioEndpoint(eRender, eConsole, d.put());
        }
    });
    worker.join();
    EXPECT_EQ(hr, S_OK);
    const auto created = engine.calls_of(Method::CreateInstance);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_TRUE(IsEqualIID(created[0].iid, __uuidof(IMMDeviceEnumerator)));
    EXPECT_FALSE(created[0].outer_non_null);
    EXPECT_EQ(engine.count(Method::GetDefaultAudioEndpoint), 1u);
    EXPECT_EQ(engine.leaked(), 0u);
}

TEST(FakeEngineRegistration, RevokingStopsRoutingToTheFake) {
    ComInit com;
    FakeEngine engine;
    {
        ClassRegistration registration(engine);
        ASSERT_TRUE(registration.ok());
    }
    Ref<IMMDeviceEnumerator> e;
    CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                     e.put_void());
    EXPECT_EQ(engine.count(Method::CreateInstance), 0u);
}

TEST_F(FakeEngineTest, RecordsEveryCallWithItsArguments) {
    ASSERT_NO_FATAL_FAILURE(open_all());
    REFERENCE_TIME def = 0;
    REFERENCE_TIME min = 0;
    EXPECT_EQ(client->GetDevicePeriod(&def, nullptr), S_OK);
    EXPECT_EQ(client->GetDevicePeriod(nullptr, &min), S_OK);
    EXPECT_EQ(def, 100000);
    EXPECT_EQ(min, 30000);
    UINT32 frames = 0;
    EXPECT_EQ(client->GetBufferSize(&frames), S_OK);
    EXPECT_EQ(frames, 480u);
    EXPECT_EQ(client->Start(), S_OK);
    capture->ReleaseBuffer(0);

    const std::vector<Method> expected = {
        Method::CreateInstance, Method::GetDefaultAudioEndpoint, Method::Activate,
        Method::Initialize,     Method::SetEventHandle,          Method::GetService,
        Method::GetDevicePeriod, Method::GetDevicePeriod,        Method::GetBufferSize,
        Method::Start,          Method::ReleaseBuffer};
    EXPECT_EQ(engine.sequence(), expected);

    const Call endpoint = engine.calls_of(Method::GetDefaultAudioEndpoint).at(0);
    EXPECT_EQ(endpoint.data_flow, eRender);
    EXPECT_EQ(endpoint.role, eConsole);
    const Call activate = engine.calls_of(Method::Activate).at(0);
    EXPECT_TRUE(IsEqualIID(activate.iid, __uuidof(IAudioClient)));
    EXPECT_EQ(activate.clsctx, static_cast<DWORD>(CLSCTX_ALL));
    EXPECT_FALSE(activate.params_non_null);

    const Call init = engine.calls_of(Method::Initialize).at(0);
    EXPECT_EQ(init.share_mode, AUDCLNT_SHAREMODE_SHARED);
    EXPECT_EQ(init.stream_flags, static_cast<DWORD>(AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK));
    EXPECT_EQ(init.buffer_duration, 200000);
    EXPECT_EQ(init.periodicity, 0);
    EXPECT_TRUE(init.session_guid_null);
    EXPECT_EQ(init.format_size, sizeof(WAVEFORMATEXTENSIBLE));
    const WAVEFORMATEXTENSIBLE sent = float_stereo();
    EXPECT_EQ(std::memcmp(init.format.data(), &sent, sizeof sent), 0);
    EXPECT_EQ(init.format_as_extensible().Format.nSamplesPerSec, 48000u);

    EXPECT_EQ(engine.calls_of(Method::SetEventHandle).at(0).handle, event.get());
    EXPECT_EQ(engine.event_handle(), event.get());
    EXPECT_TRUE(IsEqualIID(engine.calls_of(Method::GetService).at(0).iid, __uuidof(IAudioCaptureClient)));
    const auto periods = engine.calls_of(Method::GetDevicePeriod);
    EXPECT_TRUE(periods[0].out_non_null[0] && !periods[0].out_non_null[1]);
    EXPECT_TRUE(!periods[1].out_non_null[0] && periods[1].out_non_null[1]);
    EXPECT_EQ(engine.calls_of(Method::ReleaseBuffer).at(0).frames, 0u);
    for (Method never : {Method::Stop, Method::Reset, Method::GetMixFormat, Method::IsFormatSupported})
        EXPECT_EQ(engine.count(never), 0u) << to_string(never);
}

TEST_F(FakeEngineTest, RecordsAPlainWaveFormatWithoutReadingPastIt) {
    ASSERT_EQ(engine.create_enumerator(nullptr, __uuidof(IMMDeviceEnumerator), enumerator.put_void()), S_OK);
    ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put()), S_OK);
    ASSERT_EQ(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void()), S_OK);
    const WAVEFORMATEX plain = {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 48000 * 8, 8, 32, 0};
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 0, 0, &plain, &GUID_NULL), S_OK);
    const Call init = engine.calls_of(Method::Initialize).at(0);
    EXPECT_EQ(init.format_size, sizeof(WAVEFORMATEX));
    EXPECT_FALSE(init.session_guid_null);
    EXPECT_EQ(init.format_as_extensible().Format.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(init.format_as_extensible().dwChannelMask, 0u);
}

TEST_F(FakeEngineTest, CaptureScriptPlaysPacketsInOrderThenReportsEmpty) {
    Packet first = packet_of(16, 0x11);
    first.qpc_position = 777;
    engine.push_packet(std::move(first));
    Packet silent;
    silent.frames = 3;
    silent.flags = AUDCLNT_BUFFERFLAGS_SILENT | AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    engine.push_packet(std::move(silent));
    ASSERT_NO_FATAL_FAILURE(open_all());
    EXPECT_FALSE(event.signaled());
    ASSERT_EQ(client->Start(), S_OK);
    EXPECT_TRUE(event.signaled()) << "Start signals once when packets are queued";
    EXPECT_FALSE(event.signaled());

    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 99;
    UINT64 device_pos = 99;
    UINT64 qpc = 0;
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &device_pos, &qpc), S_OK);
    EXPECT_EQ(frames, 2u);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(device_pos, 0u);
    EXPECT_EQ(qpc, 777u);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 0x11);
    EXPECT_EQ(data[15], 0x11);
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(capture->ReleaseBuffer(1), AUDCLNT_E_INVALID_SIZE);
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(engine.steps_left(), 2u);

    // GetBuffer above failed and nulled data; hand it out again after releasing 0 frames.
    EXPECT_EQ(capture->ReleaseBuffer(0), S_OK);
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    BYTE* const held = data;
    EXPECT_EQ(capture->ReleaseBuffer(2), S_OK);
    EXPECT_EQ(held[0], 0xDD) << "released data is overwritten";

    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &device_pos, nullptr), S_OK);
    EXPECT_EQ(frames, 3u);
    EXPECT_EQ(flags, static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT | AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY));
    EXPECT_EQ(device_pos, 2u);
    EXPECT_EQ(data[23], 0) << "a packet without bytes reads as zeros";
    EXPECT_EQ(capture->ReleaseBuffer(3), S_OK);

    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, &device_pos, nullptr), AUDCLNT_S_BUFFER_EMPTY);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(device_pos, 5u);
    EXPECT_EQ(engine.steps_left(), 0u);
}

TEST_F(FakeEngineTest, ScriptedFailuresEndTheCaptureLoop) {
    Packet bad_release = packet_of(8, 1);
    bad_release.release_result = AUDCLNT_E_BUFFER_ERROR;
    engine.push_packet(std::move(bad_release));
    engine.push_get_buffer_failure(E_UNEXPECTED, false);
    engine.push_get_buffer_failure(AUDCLNT_E_DEVICE_INVALIDATED);
    ASSERT_NO_FATAL_FAILURE(open_all());
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(capture->ReleaseBuffer(frames), AUDCLNT_E_BUFFER_ERROR);
    EXPECT_EQ(capture->GetNextPacketSize(&frames), E_UNEXPECTED);
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), E_UNEXPECTED);
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_DEVICE_INVALIDATED)
        << "a sticky failure stays";
    EXPECT_EQ(engine.steps_left(), 1u);
}

TEST_F(FakeEngineTest, EventIsSignaledOnlyWhenAsked) {
    EXPECT_FALSE(engine.signal()) << "no handle yet";
    ASSERT_NO_FATAL_FAILURE(open_all());
    ASSERT_EQ(client->Start(), S_OK);
    EXPECT_FALSE(event.signaled()) << "nothing queued at Start";
    engine.push_packet(packet_of(8, 2));
    EXPECT_FALSE(event.signaled());
    engine.push_packet(packet_of(8, 3), true);
    EXPECT_TRUE(event.signaled());
    EXPECT_TRUE(engine.signal());
    EXPECT_TRUE(event.signaled());
}

TEST_F(FakeEngineTest, PacingThreadFeedsAnEventDrivenLoop) {
    ASSERT_NO_FATAL_FAILURE(open_all());
    engine.start_pacing(std::chrono::milliseconds(5), {packet_of(8, 1), packet_of(16, 2), packet_of(24, 3)},
                        AUDCLNT_E_DEVICE_INVALIDATED);
    ASSERT_EQ(client->Start(), S_OK);
    std::vector<UINT32> got;
    HRESULT hr = S_OK;
    while (SUCCEEDED(hr) && event.signaled(2000)) {
        for (;;) {
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            hr = capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
            if (hr != S_OK) break;
            got.push_back(frames);
            capture->ReleaseBuffer(frames);
        }
    }
    EXPECT_EQ(hr, AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(got, (std::vector<UINT32>{1, 2, 3}));
}

TEST_F(FakeEngineTest, AudioClientEnforcesCallOrder) {
    ASSERT_EQ(engine.create_enumerator(nullptr, __uuidof(IUnknown), enumerator.put_void()), S_OK);
    ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put()), S_OK);
    EXPECT_EQ(device->Activate(__uuidof(IAudioCaptureClient), CLSCTX_ALL, nullptr, client.put_void()),
              E_NOINTERFACE);
    ASSERT_EQ(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void()), S_OK);
    UINT32 frames = 0;
    EXPECT_EQ(client->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
    const WAVEFORMATEXTENSIBLE format = float_stereo();
    ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0,
                                 &format.Format, nullptr), S_OK);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 0, 0, &format.Format, nullptr),
              AUDCLNT_E_ALREADY_INITIALIZED);
    EXPECT_EQ(client->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
    EXPECT_EQ(client->SetEventHandle(event.get()), S_OK);
    EXPECT_EQ(client->Start(), S_OK);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(client->Stop(), S_OK);
    EXPECT_EQ(client->Stop(), S_FALSE);
}

TEST_F(FakeEngineTest, InjectedFaultsHitTheChosenCalls) {
    engine.inject(Method::GetDefaultAudioEndpoint, Fault::fail(E_NOTFOUND, 2));
    engine.inject(Method::GetBufferSize, Fault::fail_from(E_OUTOFMEMORY, 2));
    engine.inject(Method::Activate, Fault::succeed_null(1));
    engine.set_initialize_result(AUDCLNT_E_UNSUPPORTED_FORMAT);
    ASSERT_EQ(engine.create_enumerator(nullptr, __uuidof(IMMDeviceEnumerator), enumerator.put_void()), S_OK);

    Ref<IMMDevice> second;
    ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put()), S_OK);
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, second.put()), E_NOTFOUND);
    EXPECT_EQ(second.get(), nullptr);
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, second.put()), S_OK);

    EXPECT_EQ(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void()), S_OK);
    EXPECT_EQ(client.get(), nullptr) << "succeeds but hands out nothing";
    ASSERT_EQ(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void()), S_OK);
    ASSERT_NE(client.get(), nullptr);

    const WAVEFORMATEXTENSIBLE format = float_stereo();
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 0, 0, &format.Format, nullptr),
              AUDCLNT_E_UNSUPPORTED_FORMAT);
    engine.set_initialize_result(S_OK);
    ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 0, 0, &format.Format, nullptr), S_OK);
    UINT32 frames = 0;
    EXPECT_EQ(client->GetBufferSize(&frames), S_OK);
    EXPECT_EQ(client->GetBufferSize(&frames), E_OUTOFMEMORY);
    EXPECT_EQ(client->GetBufferSize(&frames), E_OUTOFMEMORY);
    const auto sizes = engine.calls_of(Method::GetBufferSize);
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_EQ(sizes[1].result, E_OUTOFMEMORY);
    EXPECT_EQ(engine.objects_of(ObjectKind::Device).size(), 2u);
    EXPECT_EQ(engine.objects_of(ObjectKind::AudioClient).size(), 1u);
}

TEST_F(FakeEngineTest, FailingCallLeavesAnErrorObjectForTheThread) {
    ErrorInfoContent content;
    content.description = L"device went away";
    content.restricted = true;
    content.restricted_error = AUDCLNT_E_DEVICE_INVALIDATED;
    content.capability_sid = L"S-1-15-3-1";
    engine.inject(Method::Start, Fault::fail(AUDCLNT_E_SERVICE_NOT_RUNNING).with_error_info(content));
    ASSERT_NO_FATAL_FAILURE(open_all());
    ASSERT_EQ(client->Start(), AUDCLNT_E_SERVICE_NOT_RUNNING);

    Ref<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
    ASSERT_NE(info.get(), nullptr);
    Bstr description;
    ASSERT_EQ(info->GetDescription(description.put()), S_OK);
    EXPECT_EQ(description.str(), L"device went away");

    Ref<FakeRestrictedErrorInfoInterface> restricted;
    ASSERT_EQ(info->QueryInterface(kIidRestrictedErrorInfo, restricted.put_void()), S_OK);
    Bstr details;
    Bstr restricted_description;
    Bstr sid;
    HRESULT error = S_OK;
    ASSERT_EQ(restricted->GetErrorDetails(details.put(), &error, restricted_description.put(), sid.put()), S_OK);
    EXPECT_EQ(error, AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(restricted_description.str(), L"simulated restricted failure");
    EXPECT_EQ(sid.str(), L"S-1-15-3-1");

    auto errors = engine.objects_of(ObjectKind::ErrorInfo);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].bstrs_handed_out, 4u);
    EXPECT_EQ(errors[0].refs, 2);
    restricted.reset();
    info.reset();
    errors = engine.objects_of(ObjectKind::ErrorInfo);
    EXPECT_TRUE(errors[0].destroyed);
    EXPECT_FALSE(errors[0].over_released);
}

TEST_F(FakeEngineTest, ErrorObjectAnswersRestrictedInterfaceOnlyWhenAsked) {
    engine.inject(Method::GetService, Fault::fail(E_ACCESSDENIED).with_error_info({}));
    ASSERT_EQ(engine.create_enumerator(nullptr, __uuidof(IMMDeviceEnumerator), enumerator.put_void()), S_OK);
    ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put()), S_OK);
    ASSERT_EQ(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void()), S_OK);
    EXPECT_EQ(client->GetService(__uuidof(IAudioCaptureClient), capture.put_void()), E_ACCESSDENIED);
    EXPECT_EQ(capture.get(), nullptr);
    Ref<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
    Ref<IUnknown> restricted;
    EXPECT_EQ(info->QueryInterface(kIidRestrictedErrorInfo, restricted.put_void()), E_NOINTERFACE);
    EXPECT_EQ(engine.objects_of(ObjectKind::ErrorInfo).at(0).bstrs_handed_out, 0u);
}

TEST_F(FakeEngineTest, TracksReleaseOrderLeaksAndOverReleases) {
    ASSERT_NO_FATAL_FAILURE(open_all());
    enumerator.reset();
    capture.reset();
    client.reset();
    device.reset();
    EXPECT_EQ(engine.release_order(), (std::vector<ObjectKind>{ObjectKind::Enumerator, ObjectKind::CaptureClient,
                                                               ObjectKind::AudioClient, ObjectKind::Device}));
    EXPECT_EQ(engine.leaked(), 0u);
    EXPECT_EQ(engine.over_released(), 0u);
    for (const ObjectStats& s : engine.objects()) {
        EXPECT_TRUE(s.destroyed) << to_string(s.kind);
        EXPECT_EQ(s.add_refs + 1, s.releases) << to_string(s.kind);
    }

    ASSERT_NO_FATAL_FAILURE(open_all());
    IAudioCaptureClient* extra = capture.get();
    extra->AddRef();
    client->Release();  // one too many once the Ref releases it too
    (void)device.detach();  // never released
    EXPECT_EQ(engine.leaked(), 3u) << "client already at zero";
    extra->Release();
    capture.reset();
    client.reset();
    enumerator.reset();
    EXPECT_EQ(engine.over_released(), 1u);
    EXPECT_EQ(engine.leaked(), 1u);
    EXPECT_EQ(engine.objects_of(ObjectKind::Device).at(1).refs, 1);
}

TEST(FakeEngineLifetime, ObjectsStillHeldOutliveTheEngine) {
    IMMDeviceEnumerator* held = nullptr;
    {
        FakeEngine engine;
        ASSERT_EQ(engine.create_enumerator(nullptr, __uuidof(IMMDeviceEnumerator),
                                           reinterpret_cast<void**>(&held)), S_OK);
    }
    Ref<IMMDevice> device;
    EXPECT_EQ(held->GetDefaultAudioEndpoint(eRender, eConsole, device.put()), S_OK);
    device.reset();
    EXPECT_EQ(held->Release(), 0u);
}

}  // namespace
