#include "audio/process_loopback.hpp"

#include <atomic>

#include "audio/process_loopback_params.hpp"
#include "audio/windows_error.hpp"
#include "platform/owned_handle.hpp"
#include "platform/windows_build.hpp"

namespace brisvane {

namespace {

using namespace process_loopback;

// {00000000-0000-0000-C000-000000000046}
constexpr IID IID_UNKNOWN = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {41D949AB-9862-444A-80F6-C261334DA5EB}
constexpr IID IID_COMPLETION_HANDLER = {0x41D949AB, 0x9862, 0x444A, {0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB}};
// {94EA2B94-E9CC-49E0-C0FF-EE64CA8F5B90}
constexpr IID IID_AGILE_OBJECT = {0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
// {1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}
constexpr IID IID_AUDIO_CLIENT = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};

// How long the system may take to complete the activation.
constexpr DWORD ACTIVATION_TIMEOUT_MS = 10000;
constexpr HRESULT TIMED_OUT = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

ActivateAudioInterfaceAsyncFunction activate_function() {
    HMODULE mmdevapi = LoadLibraryExW(L"mmdevapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (mmdevapi == nullptr) {
        // Systems without the search flags (before an update of Windows 7) refuse it.
        mmdevapi = LoadLibraryW(L"mmdevapi.dll");
    }
    if (mmdevapi == nullptr) return nullptr;
    return reinterpret_cast<ActivateAudioInterfaceAsyncFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(mmdevapi, "ActivateAudioInterfaceAsync")));
}

// Completes on a thread of the system's, so it is agile: it says so, and only sets its event.
class ActivationHandler final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
public:
    explicit ActivationHandler(OwnedHandle done) : done_(std::move(done)) {}

    HANDLE done() const { return done_.get(); }

    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation*) override {
        SetEvent(done_.get());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(iid, IID_UNKNOWN) || IsEqualIID(iid, IID_COMPLETION_HANDLER)) {
            *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
        } else if (IsEqualIID(iid, IID_AGILE_OBJECT)) {
            *object = static_cast<IAgileObject*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> references_ = 1;
    OwnedHandle done_;
};

}  // namespace

std::optional<std::string> process_loopback_unavailable() {
    const std::uint32_t build = windows_build();
    if (build < PROCESS_LOOPBACK_MINIMUM_BUILD) {
        return "capturing applications needs Windows 10 version 2004 (build 19041) or later; this system is build " +
               std::to_string(build);
    }
    if (activate_function() == nullptr) {
        return "this system's mmdevapi.dll has no ActivateAudioInterfaceAsync, which capturing applications needs";
    }
    return std::nullopt;
}

std::expected<StreamClient, AudioError> activate_process_loopback(std::uint32_t process_id, LoopbackTree tree) {
    const ActivateAudioInterfaceAsyncFunction activate = activate_function();
    if (activate == nullptr) return windows_error(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
    OwnedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) return windows_error(HresultError::from_last_error());

    AUDIOCLIENT_ACTIVATION_PARAMS params{};
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = process_id;
    params.ProcessLoopbackParams.ProcessLoopbackMode = tree == LoopbackTree::Include
                                                           ? PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE
                                                           : PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    PROPVARIANT blob{};
    blob.vt = VT_BLOB;
    blob.blob.cbSize = sizeof params;
    blob.blob.pBlobData = reinterpret_cast<BYTE*>(&params);

    ComPtr<ActivationHandler> handler(new ActivationHandler(std::move(done)));
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    if (const HRESULT hr = activate(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, IID_AUDIO_CLIENT, &blob,
                                    static_cast<IActivateAudioInterfaceCompletionHandler*>(handler.get()),
                                    operation.put());
        FAILED(hr)) {
        return windows_error(hr);
    }
    if (!operation) return no_object_error();
    // The handler keeps its event alive for a completion that comes after the bound.
    if (WaitForSingleObject(handler->done(), ACTIVATION_TIMEOUT_MS) != WAIT_OBJECT_0) {
        return windows_error(TIMED_OUT);
    }
    HRESULT activated = E_FAIL;
    ComPtr<IUnknown> unknown;
    if (const HRESULT hr = operation->GetActivateResult(&activated, unknown.put()); FAILED(hr)) {
        return windows_error(hr);
    }
    if (FAILED(activated)) return windows_error(activated);
    ComPtr<IAudioClient> client;
    if (!unknown) return no_object_error();
    if (const HRESULT hr = unknown->QueryInterface(IID_AUDIO_CLIENT, client.put_void()); FAILED(hr)) {
        return windows_error(hr);
    }
    return StreamClient(std::move(client), Direction::Render);
}

}  // namespace brisvane
