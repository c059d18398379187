// Drives the simulated audio engine through plain COM calls, the way the capture
// code will, to show that registration, call recording, fault injection, the
// packet script and refcount tracking behave as the capture tests rely on.
#include "fake_engine.hpp"
#include "fake_registration.hpp"
#include "fake_restricted_error_info.hpp"

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
