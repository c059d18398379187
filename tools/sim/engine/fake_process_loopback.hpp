// Process loopback as mmdevapi.dll offers it: ActivateAudioInterfaceAsync against a FakeEngine.
#pragma once

#include "fake_engine.hpp"

namespace brisvane::fakes {

// The device path that asks for process loopback.
inline constexpr wchar_t kProcessLoopbackPath[] = L"VAD\\Process_Loopback";

// As the platform's: a completion handler that is not agile (no IAgileObject) fails the call
// at once with E_ILLEGAL_METHOD_CALL; otherwise the call hands out an operation and, a few ms
// later on a thread of the engine's own, calls the handler's ActivateCompleted, after which
// GetActivateResult gives the result and, on success, a process loopback IAudioClient on a
// stream of its own. The result is E_INVALIDARG unless the path is kProcessLoopbackPath, riid
// IID_IAudioClient and params a VT_BLOB of 12 bytes (type 1, the process id, mode 0 or 1)
// naming a process that can be opened; FakeEngine::set_activation_outcome overrides it.
HRESULT activate_audio_interface_async(FakeEngine& engine, LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                       IActivateAudioInterfaceCompletionHandler* handler,
                                       IActivateAudioInterfaceAsyncOperation** operation);

}  // namespace brisvane::fakes
