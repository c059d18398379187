// Drives the simulated engine as a capture program does and prints what it gets, one line per
// event, so that the sim's own checks (tests/e2e/sim_cases.py) can hold it against the engine's
// log. Not shipped.
//
//   sim_probe.exe version                  version <major>.<minor>.<build> (RtlGetVersion)
//   sim_probe.exe devices MASK             EnumAudioEndpoints(eRender, MASK): one line per device
//   sim_probe.exe listen MS                a line per endpoint notification for MS ms
//   sim_probe.exe endpoint ID|default MS...  a stream on the endpoint per MS, each read for MS ms;
//                                          the next is opened, and the last read on for 100 ms,
//                                          before the last is stopped
// Every stream is stopped at its end, and what it holds is read 50 ms later.
//   sim_probe.exe process PID include|exclude MS [non-agile] [bound MS]
//                                          process loopback as the platform notes describe it
//
// A packet line: packet <stream> frames=<n> flags=<f> dev=<device position> qpc=<QPC position>
// now=<QueryPerformanceCounter in 100 ns when read> crc=<CRC-32 of its bytes>.
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "narrow.hpp"
#include "platform/com_ptr.hpp"
#include "platform/owned_handle.hpp"

namespace {

using brisvane::ComPtr;
using brisvane::OwnedHandle;

constexpr DWORD kFirstProcessLoopbackBuild = 19041;

void out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

unsigned long hex(HRESULT hr) { return static_cast<unsigned long>(hr); }

unsigned long long qpc_hns() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    const auto ticks = static_cast<unsigned long long>(c.QuadPart), freq = static_cast<unsigned long long>(f.QuadPart);
    return ticks / freq * 10'000'000 + ticks % freq * 10'000'000 / freq;
}

std::uint32_t crc32(const BYTE* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

DWORD windows_build() {
    using Function = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    auto rtl_get_version =
        reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (rtl_get_version == nullptr || rtl_get_version(&info) != 0) return 0;
    return info.dwBuildNumber;
}

WAVEFORMATEXTENSIBLE float_format(DWORD rate) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format = {WAVE_FORMAT_EXTENSIBLE, 2, rate, rate * 8, 8, 32, sizeof f - sizeof f.Format};
    f.Samples.wValidBitsPerSample = 32;
    f.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    f.SubFormat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    return f;
}

// One started capture stream: its client, its reader and the event that wakes it.
struct Stream {
    int index = 0;
    ComPtr<IAudioClient> client;
    ComPtr<IAudioCaptureClient> reader;
    OwnedHandle event{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    bool failed = false;

    HRESULT start() {
        if (const HRESULT hr = client->SetEventHandle(event.get()); FAILED(hr)) return hr;
        if (const HRESULT hr = client->GetService(__uuidof(IAudioCaptureClient), reader.put_void()); FAILED(hr)) return hr;
        return client->Start();
    }
    // Everything ready now; false once GetBuffer fails.
    bool drain() {
        for (;;) {
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            UINT64 device = 0, qpc = 0;
            const HRESULT hr = reader->GetBuffer(&data, &frames, &flags, &device, &qpc);
            if (hr == AUDCLNT_S_BUFFER_EMPTY) return true;
            if (FAILED(hr)) {
                out("error %d hr=0x%08lX", index, hex(hr));
                failed = true;
                return false;
            }
            out("packet %d frames=%u flags=%lu dev=%llu qpc=%llu now=%llu crc=%08X", index, frames,
                static_cast<unsigned long>(flags), static_cast<unsigned long long>(device),
                static_cast<unsigned long long>(qpc), qpc_hns(), crc32(data, std::size_t{frames} * 8));
            reader->ReleaseBuffer(frames);
        }
    }
    void stop() {
        out("stop %d hr=0x%08lX", index, hex(client->Stop()));
        Sleep(50);
        drain();
    }
    // Reads for `ms`, or until the stream fails; `also` (if any) is reported once when signalled.
    void read_for(DWORD ms, HANDLE also = nullptr, const char* also_says = nullptr) {
        const ULONGLONG until = GetTickCount64() + ms;
        HANDLE handles[2] = {event.get(), also};
        for (ULONGLONG now; !failed && (now = GetTickCount64()) < until;) {
            const DWORD woke = WaitForMultipleObjects(handles[1] ? 2 : 1, handles, FALSE, static_cast<DWORD>(until - now));
            if (woke == WAIT_OBJECT_0 + 1) {
                out("%s t=%llu", also_says, qpc_hns());
                handles[1] = nullptr;
            }
            drain();
        }
    }
};

int devices(DWORD mask) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                  enumerator.put_void());
    ComPtr<IMMDeviceCollection> all;
    if (SUCCEEDED(hr)) hr = enumerator->EnumAudioEndpoints(eRender, mask, all.put());
    UINT count = 0;
    if (SUCCEEDED(hr)) hr = all->GetCount(&count);
    out("devices hr=0x%08lX count=%u", hex(hr), count);
    for (UINT i = 0; i < count; ++i) {
        ComPtr<IMMDevice> device;
        LPWSTR id = nullptr;
        DWORD state = 0;
        ComPtr<IPropertyStore> store;
        PROPVARIANT name;
        PropVariantInit(&name);
        if (FAILED(all->Item(i, device.put())) || FAILED(device->GetId(&id)) || FAILED(device->GetState(&state)) ||
            FAILED(device->OpenPropertyStore(STGM_READ, store.put())))
            return 1;
        // PKEY_Device_FriendlyName
        const PROPERTYKEY friendly = {{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
        store->GetValue(friendly, &name);
        out("device %u state=%lu id=%s name=%s", i, static_cast<unsigned long>(state), narrow(id).c_str(),
            name.vt == VT_LPWSTR ? narrow(name.pwszVal).c_str() : "");
        PropVariantClear(&name);
        CoTaskMemFree(id);
    }
    return 0;
}

// Prints the notifications it gets; lives on listen()'s stack, so counts no references.
class Listener final : public IMMNotificationClient {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IMMNotificationClient)) ? this : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
        out("state id=%s state=%lu", narrow(id).c_str(), static_cast<unsigned long>(state));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR id) override {
        out("default flow=%d role=%d id=%s", static_cast<int>(flow), static_cast<int>(role),
            id != nullptr ? narrow(id).c_str() : "none");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }
};

int listen(DWORD ms) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    Listener listener;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                enumerator.put_void())) ||
        FAILED(enumerator->RegisterEndpointNotificationCallback(&listener)))
        return 1;
    Sleep(ms);
    enumerator->UnregisterEndpointNotificationCallback(&listener);
    return 0;
}

// A loopback stream on the endpoint, initialised as the capture program does it.
HRESULT open_endpoint(IMMDeviceEnumerator* enumerator, const std::wstring& id, Stream& stream) {
    ComPtr<IMMDevice> device;
    HRESULT hr = id == L"default" ? enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put())
                                  : enumerator->GetDevice(id.c_str(), device.put());
    if (SUCCEEDED(hr)) hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, stream.client.put_void());
    REFERENCE_TIME period = 0;
    if (SUCCEEDED(hr)) hr = stream.client->GetDevicePeriod(&period, nullptr);
    const WAVEFORMATEXTENSIBLE format = float_format(48000);
    if (SUCCEEDED(hr))
        hr = stream.client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                       AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                           AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY,
                                       2 * period, 0, &format.Format, nullptr);
    return SUCCEEDED(hr) ? stream.start() : hr;
}

int endpoint(const std::wstring& id, const std::vector<DWORD>& spans) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                enumerator.put_void())))
        return 1;
    Stream previous;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        Stream stream;
        stream.index = static_cast<int>(k + 1);
        const HRESULT hr = open_endpoint(enumerator.get(), id, stream);
        out("stream %d hr=0x%08lX", stream.index, hex(hr));
        // The old stream runs on beside the new one, then is stopped and released.
        if (previous.client) {
            previous.read_for(100);
            previous.stop();
        }
        previous = Stream{};
        if (FAILED(hr)) return 1;
        stream.read_for(spans[k]);
        previous = std::move(stream);
    }
    previous.stop();
    return 0;
}

// The completion handler: agile (IAgileObject) unless told otherwise; signals when called.
class Completion final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
public:
    explicit Completion(bool agile) : agile_(agile) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IActivateAudioInterfaceCompletionHandler)))
            *ppv = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
        else if (agile_ && IsEqualIID(riid, __uuidof(IAgileObject)))
            *ppv = static_cast<IAgileObject*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation*) override {
        SetEvent(done.get());
        return S_OK;
    }
    OwnedHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

private:
    bool agile_;
    std::atomic<ULONG> refs_{1};
};

int process(DWORD pid, bool exclude, DWORD ms, bool agile, DWORD bound_ms) {
    const DWORD build = windows_build();
    if (build < kFirstProcessLoopbackBuild) {
        out("refused build=%lu", static_cast<unsigned long>(build));
        return 3;
    }
    HMODULE mmdevapi = LoadLibraryW(L"mmdevapi.dll");
    using Activate = HRESULT(WINAPI*)(LPCWSTR, REFIID, PROPVARIANT*, IActivateAudioInterfaceCompletionHandler*,
                                      IActivateAudioInterfaceAsyncOperation**);
    auto activate = mmdevapi == nullptr ? nullptr
                                        : reinterpret_cast<Activate>(reinterpret_cast<void*>(
                                              GetProcAddress(mmdevapi, "ActivateAudioInterfaceAsync")));
    // One module serves the enumerator class and the export: the enumerator's code lies in it.
    ComPtr<IMMDeviceEnumerator> enumerator;
    HMODULE serving = nullptr;
    if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                   enumerator.put_void())))
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           *reinterpret_cast<LPCWSTR*>(enumerator.get()), &serving);
    out("module build=%lu export=%d same=%d", static_cast<unsigned long>(build), activate != nullptr,
        serving != nullptr && serving == mmdevapi);
    if (activate == nullptr) return 1;
    OwnedHandle target{OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)};

    DWORD blob[3] = {1, pid, exclude ? 1u : 0u};  // process loopback, the tree's root, the mode
    PROPVARIANT params;
    PropVariantInit(&params);
    params.vt = VT_BLOB;
    params.blob.cbSize = sizeof blob;
    params.blob.pBlobData = reinterpret_cast<BYTE*>(blob);
    auto* completion = new Completion(agile);
    const ComPtr<IActivateAudioInterfaceCompletionHandler> handler(completion);
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    const HRESULT called = activate(L"VAD\\Process_Loopback", __uuidof(IAudioClient), &params, handler.get(), operation.put());
    out("activate hr=0x%08lX", hex(called));
    if (FAILED(called)) return 1;
    const bool completed = WaitForSingleObject(completion->done.get(), bound_ms) == WAIT_OBJECT_0;
    HRESULT result = E_FAIL;
    ComPtr<IUnknown> activated;
    const HRESULT got = operation->GetActivateResult(&result, activated.put());
    out("completed %d get=0x%08lX result=0x%08lX", completed, hex(got), hex(result));
    if (!completed || FAILED(got) || FAILED(result)) return 1;

    Stream stream;
    stream.index = 1;
    if (FAILED(activated->QueryInterface(__uuidof(IAudioClient), stream.client.put_void()))) return 1;
    WAVEFORMATEX* mix = nullptr;
    REFERENCE_TIME period = 0;
    UINT32 padding = 0;
    const WAVEFORMATEXTENSIBLE format = float_format(48000), other_rate = float_format(44100);
    out("unsupported mix=0x%08lX supported=0x%08lX period=0x%08lX padding=0x%08lX", hex(stream.client->GetMixFormat(&mix)),
        hex(stream.client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &format.Format, &mix)),
        hex(stream.client->GetDevicePeriod(&period, nullptr)), hex(stream.client->GetCurrentPadding(&padding)));
    constexpr DWORD flags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    constexpr REFERENCE_TIME duration = 200000;  // 20 ms
    const HRESULT converting = stream.client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                                                         duration, 0, &format.Format, nullptr);
    const HRESULT wrong_rate = stream.client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, duration, 0, &other_rate.Format, nullptr);
    const HRESULT initialized = stream.client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, duration, 0, &format.Format, nullptr);
    UINT32 before = 0, after = 0;
    stream.client->GetBufferSize(&before);
    out("initialize autoconvert=0x%08lX rate44100=0x%08lX ok=0x%08lX buffer=%u", hex(converting), hex(wrong_rate),
        hex(initialized), before);
    if (FAILED(initialized) || FAILED(stream.start())) return 1;
    stream.read_for(ms, target.get(), "target exited");
    stream.client->GetBufferSize(&after);
    out("buffer %u", after);
    stream.stop();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    const auto number = [&](std::size_t i) { return static_cast<DWORD>(std::wcstoul(args.at(i).c_str(), nullptr, 0)); };
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    int status = 2;
    if (args.size() == 1 && args[0] == L"version") {
        out("version build=%lu", static_cast<unsigned long>(windows_build()));
        status = 0;
    } else if (args.size() == 2 && args[0] == L"devices") {
        status = devices(number(1));
    } else if (args.size() == 2 && args[0] == L"listen") {
        status = listen(number(1));
    } else if (args.size() >= 3 && args[0] == L"endpoint") {
        std::vector<DWORD> spans;
        for (std::size_t i = 2; i < args.size(); ++i) spans.push_back(number(i));
        status = endpoint(args[1], spans);
    } else if (args.size() >= 4 && args[0] == L"process") {
        bool agile = true;
        DWORD bound = 2000;
        for (std::size_t i = 4; i < args.size(); ++i) {
            if (args[i] == L"non-agile") agile = false;
            else if (args[i] == L"bound" && i + 1 < args.size()) bound = number(++i);
        }
        status = process(number(1), args[2] == L"exclude", number(3), agile, bound);
    } else {
        std::fprintf(stderr, "usage: see the head of tools/sim/probe/sim_probe.cpp\n");
    }
    CoUninitialize();
    return status;
}
