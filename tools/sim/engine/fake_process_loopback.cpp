#include "fake_process_loopback.hpp"

#include "fake_engine_state.hpp"

#include <cstring>
#include <thread>
#include <utility>

namespace brisvane::fakes {
namespace {

using State = std::shared_ptr<detail::EngineState>;

constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000E);
constexpr DWORD kCompletionDelayMs = 5;

// The operation: holds the client it hands out and, while it cannot complete, the handler.
class FakeActivateOperation final : public detail::Com<IActivateAudioInterfaceAsyncOperation> {
public:
    FakeActivateOperation(State s, std::optional<HRESULT> result, IAudioClient* client,
                          IActivateAudioInterfaceCompletionHandler* handler)
        : Com(std::move(s), ObjectKind::ActivateOperation), result_(result.value_or(E_PENDING)), client_(client) {
        if (!result) (waiting_handler_ = handler)->AddRef();
    }

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        auto guard = state_->lock();
        const std::size_t call = state_->record(stats.kind, Method::GetActivateResult);
        if (result == nullptr || activated == nullptr) return state_->finish(call, E_POINTER);
        *activated = nullptr;
        if (auto f = state_->fault_for(Method::GetActivateResult)) return state_->finish(call, f->hr);
        if (!completed_) return state_->finish(call, kIllegalMethodCall);
        *result = result_;
        if (client_ != nullptr) {
            client_->AddRef();
            *activated = client_;
        }
        return state_->finish(call, S_OK);
    }

    // On the engine's thread, which holds this operation and the handler meanwhile; the handler
    // is told outside the engine's lock, as the system holds none of ours.
    void complete(IActivateAudioInterfaceCompletionHandler* handler) {
        {
            auto guard = state_->lock();
            completed_ = true;
        }
        handler->ActivateCompleted(this);
    }

private:
    void last_release() override {
        if (client_ != nullptr) std::exchange(client_, nullptr)->Release();
        if (waiting_handler_ != nullptr) std::exchange(waiting_handler_, nullptr)->Release();
    }

    HRESULT result_;
    IAudioClient* client_;
    IActivateAudioInterfaceCompletionHandler* waiting_handler_ = nullptr;  // never completes
    bool completed_ = false;
};

bool is_agile(IActivateAudioInterfaceCompletionHandler* handler) {
    IUnknown* agile = nullptr;
    if (FAILED(handler->QueryInterface(__uuidof(IAgileObject), reinterpret_cast<void**>(&agile))) || agile == nullptr)
        return false;
    agile->Release();
    return true;
}

// The blob's three 32-bit fields: activation type, process id, loopback mode.
bool read_params(const PROPVARIANT* params, DWORD (&fields)[3]) {
    if (params == nullptr || params->vt != VT_BLOB || params->blob.cbSize != sizeof fields ||
        params->blob.pBlobData == nullptr)
        return false;
    std::memcpy(fields, params->blob.pBlobData, sizeof fields);
    return true;
}

}  // namespace

HRESULT activate_audio_interface_async(FakeEngine& engine, LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                       IActivateAudioInterfaceCompletionHandler* handler,
                                       IActivateAudioInterfaceAsyncOperation** operation) {
    const State& state = engine.state_;
    // Asked before the engine's lock is taken: the handler is the program's object.
    const bool agile = handler != nullptr && is_agile(handler);
    auto guard = state->lock();
    const std::size_t call = state->record(ObjectKind::Mmdevapi, Method::ActivateAudioInterfaceAsync);
    Call& c = state->calls[call];
    c.iid = riid;
    c.path = path != nullptr ? path : L"";
    DWORD fields[3] = {};
    const bool blob = read_params(params, fields);
    c.process_id = fields[1];
    c.loopback_mode = fields[2];
    if (operation == nullptr || handler == nullptr) return state->finish(call, E_POINTER);
    *operation = nullptr;
    if (auto f = state->fault_for(Method::ActivateAudioInterfaceAsync)) return state->finish(call, f->hr);
    if (!agile) return state->finish(call, kIllegalMethodCall);

    const bool valid = c.path == kProcessLoopbackPath && IsEqualIID(riid, __uuidof(IAudioClient)) && blob &&
                       fields[0] == 1 && fields[2] <= 1;
    HANDLE target = valid ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, fields[1]) : nullptr;
    std::optional<HRESULT> result = target != nullptr ? S_OK : E_INVALIDARG;
    if (const auto it = state->activation_outcomes.find(state->counts[Method::ActivateAudioInterfaceAsync]);
        it != state->activation_outcomes.end())
        result = it->second;
    IAudioClient* client = nullptr;
    if (result == S_OK) {
        auto stream = state->claim_stream(StreamTarget{L"", true, fields[1], fields[2] == 1});
        stream->view.target_process = std::exchange(target, nullptr);
        c.stream = stream->view.id;
        client = detail::new_audio_client(state, std::move(stream));
    }
    if (target != nullptr) CloseHandle(target);
    c.activate_result = result;
    auto* op = new FakeActivateOperation(state, result, client, handler);
    *operation = op;
    if (result) {
        op->hold();
        handler->AddRef();
        std::thread([op, handler] {
            const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            Sleep(kCompletionDelayMs);
            op->complete(handler);
            handler->Release();
            op->unhold();
            if (SUCCEEDED(init)) CoUninitialize();
        }).detach();
    }
    return state->finish(call, S_OK);
}

}  // namespace brisvane::fakes
