// Plain data shared by the simulated audio engine and the tests that drive it:
// which method was called, with what, and how a call should misbehave.
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brisvane::fakes {

enum class ObjectKind {
    Enumerator, Device, AudioClient, CaptureClient, ErrorInfo, Factory, PropertyStore, DeviceCollection,
    ActivateOperation,
    Mmdevapi,  // not an object: the module's own export, ActivateAudioInterfaceAsync
};

enum class Method {
    QueryInterface,
    // IClassFactory
    CreateInstance, LockServer,
    // IMMDeviceEnumerator
    EnumAudioEndpoints, GetDefaultAudioEndpoint, GetDevice,
    RegisterEndpointNotificationCallback, UnregisterEndpointNotificationCallback,
    // IMMDevice
    Activate, OpenPropertyStore, GetId, GetState,
    // IPropertyStore
    GetValue,
    // IAudioClient
    Initialize, GetBufferSize, GetStreamLatency, GetCurrentPadding, IsFormatSupported,
    GetMixFormat, GetDevicePeriod, Start, Stop, Reset, SetEventHandle, GetService,
    // IAudioCaptureClient
    GetBuffer, ReleaseBuffer, GetNextPacketSize,
    // IMMDeviceCollection
    GetCount, Item,
    // process loopback: mmdevapi's export and IActivateAudioInterfaceAsyncOperation
    ActivateAudioInterfaceAsync, GetActivateResult,
};
inline constexpr int kMethodCount = static_cast<int>(Method::GetActivateResult) + 1;

const char* to_string(Method m);
const char* to_string(ObjectKind k);

// One call into a fake object. Only the fields that make sense for `method` are set.
struct Call {
    Method method{};
    ObjectKind object{};
    DWORD thread_id = 0;
    HRESULT result = S_OK;
    unsigned stream = 0;             // the audio stream concerned (1-based), 0 for none
    GUID iid{};                      // QueryInterface, CreateInstance, Activate, GetService
    bool outer_non_null = false;     // CreateInstance pUnkOuter
    EDataFlow data_flow{};           // GetDefaultAudioEndpoint
    ERole role{};
    DWORD clsctx = 0;                // Activate dwClsCtx
    bool params_non_null = false;    // Activate pActivationParams
    AUDCLNT_SHAREMODE share_mode{};  // Initialize, IsFormatSupported
    DWORD stream_flags = 0;
    REFERENCE_TIME buffer_duration = 0;
    REFERENCE_TIME periodicity = 0;
    bool format_non_null = false;
    // Initialize: the format bytes, sizeof(WAVEFORMATEX) + cbSize but at most
    // sizeof(WAVEFORMATEXTENSIBLE); the rest stays zero.
    std::array<std::uint8_t, sizeof(WAVEFORMATEXTENSIBLE)> format{};
    std::size_t format_size = 0;
    bool session_guid_null = true;
    HANDLE handle = nullptr;         // SetEventHandle
    UINT32 frames = 0;               // ReleaseBuffer NumFramesRead
    DWORD state_mask = 0;            // EnumAudioEndpoints
    // ActivateAudioInterfaceAsync: the device path, the process loopback parameters as read
    // (process_id 0 when the blob was not read) and what the completion will report.
    std::wstring path;
    DWORD process_id = 0;
    DWORD loopback_mode = 0;
    std::optional<HRESULT> activate_result;  // none: the completion never comes
    // Whether each out pointer was non-null, in parameter order
    // (GetBuffer: data, frames, flags, device position, qpc position).
    std::array<bool, 5> out_non_null{};
};

// What the error object set by a failing call reports.
struct ErrorInfoContent {
    std::wstring description = L"simulated failure";
    std::wstring source = L"brisvane.fake";
};

// How the Nth call of a method misbehaves: it returns `hr` without doing anything,
// and a method that hands out an object leaves its out pointer null, so hr == S_OK
// gives "succeeds but returns no object".
struct Fault {
    HRESULT hr = E_FAIL;
    unsigned nth = 1;             // 1-based, counted per method over all objects
    bool and_after = false;       // also every later call
    std::optional<ErrorInfoContent> error_info;  // set with SetErrorInfo before returning

    static Fault fail(HRESULT hr, unsigned nth = 1) { return Fault{hr, nth, false, std::nullopt}; }
    static Fault fail_from(HRESULT hr, unsigned nth = 1) { return Fault{hr, nth, true, std::nullopt}; }
    static Fault succeed_null(unsigned nth = 1) { return Fault{S_OK, nth, false, std::nullopt}; }
    Fault with_error_info(ErrorInfoContent content) const {
        Fault f = *this;
        f.error_info = std::move(content);
        return f;
    }
};

// One step of the capture script consumed by GetBuffer/ReleaseBuffer.
struct Packet {
    std::vector<std::uint8_t> bytes;
    std::optional<UINT32> frames;           // default bytes.size() / 8
    DWORD flags = 0;                        // AUDCLNT_BUFFERFLAGS_*
    std::optional<UINT64> device_position;  // default: frames handed out so far
    UINT64 qpc_position = 0;
    HRESULT release_result = S_OK;          // what ReleaseBuffer returns for this packet
    // When set this step is not a packet: GetBuffer fails with it from then on.
    std::optional<HRESULT> get_buffer_failure;

    UINT32 frame_count() const { return frames ? *frames : static_cast<UINT32>(bytes.size() / 8); }
};

// What an audio stream captures: an endpoint, or a process tree through process loopback.
struct StreamTarget {
    std::wstring endpoint_id;       // the endpoint's id; empty for process loopback
    bool process_loopback = false;
    DWORD process_id = 0;           // process loopback: the root of the tree
    bool exclude = false;           // process loopback: every process but the tree
};

// An audio stream as the engine holds it, for whatever makes its packets.
struct StreamView {
    unsigned id = 0;                  // 1-based, in creation order
    StreamTarget target;
    bool closed = false;              // its audio client and capture client are released
    bool failed = false;              // GetBuffer fails from its ready packets on
    HANDLE target_process = nullptr;  // process loopback: the target (SYNCHRONIZE), the engine's
};

// Lifetime bookkeeping of one fake COM object.
struct ObjectStats {
    ObjectKind kind{};
    long refs = 0;
    unsigned add_refs = 0;
    unsigned releases = 0;
    bool destroyed = false;      // reached zero
    bool over_released = false;  // Release called at zero
};

}  // namespace brisvane::fakes
