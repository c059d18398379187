// What MinGW-w64's headers lack for process loopback capture: the activation parameters of
// ActivateAudioInterfaceAsync and the function's type, as the platform declares them
// (audioclientactivationparams.h). In a namespace of ours, so that a header that declares
// them some day cannot clash.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

namespace brisvane::process_loopback {

enum AUDIOCLIENT_ACTIVATION_TYPE : DWORD {
    AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT = 0,
    AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1,
};

enum PROCESS_LOOPBACK_MODE : DWORD {
    PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
    PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1,
};

struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
    DWORD TargetProcessId;
    PROCESS_LOOPBACK_MODE ProcessLoopbackMode;
};

struct AUDIOCLIENT_ACTIVATION_PARAMS {
    AUDIOCLIENT_ACTIVATION_TYPE ActivationType;
    AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;  // a union of one member in the platform's header
};

static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12);

// The device path that activates process loopback instead of an endpoint.
inline constexpr const wchar_t* VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK = L"VAD\\Process_Loopback";

using ActivateAudioInterfaceAsyncFunction = HRESULT(WINAPI*)(LPCWSTR device_interface_path, REFIID riid,
                                                              PROPVARIANT* activation_params,
                                                              IActivateAudioInterfaceCompletionHandler* handler,
                                                              IActivateAudioInterfaceAsyncOperation** operation);

// The first Windows build that has process loopback (Windows 10 version 2004).
inline constexpr DWORD PROCESS_LOOPBACK_MINIMUM_BUILD = 19041;

}  // namespace brisvane::process_loopback
