// The error object a failing fake call leaves with SetErrorInfo. It is a tracked object
// of kind ErrorInfo, so code that fetches it with GetErrorInfo and never releases it
// shows as a leak. Calls on it are not written to the call log, so reading it does not
// disturb call sequences.
#include "fake_engine_state.hpp"

namespace brisvane::fakes::detail {
namespace {

class FakeErrorInfo final : public Com<IErrorInfo> {
public:
    FakeErrorInfo(std::shared_ptr<EngineState> s, ErrorInfoContent content)
        : Com(std::move(s), ObjectKind::ErrorInfo), content_(std::move(content)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, __uuidof(IUnknown)) && !IsEqualIID(riid, __uuidof(IErrorInfo))) return E_NOINTERFACE;
        *ppv = static_cast<IErrorInfo*>(this);
        add_ref();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
        if (guid == nullptr) return E_POINTER;
        *guid = GUID{};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return hand_out(out, content_.source); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return hand_out(out, content_.description); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return hand_out(out, {}); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override {
        if (context == nullptr) return E_POINTER;
        *context = 0;
        return S_OK;
    }

private:
    // An empty text is handed out as a null BSTR.
    static HRESULT hand_out(BSTR* out, const std::wstring& text) {
        if (out == nullptr) return E_POINTER;
        *out = text.empty() ? nullptr : SysAllocString(text.c_str());
        return text.empty() || *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    ErrorInfoContent content_;
};

}  // namespace

IErrorInfo* new_error_info(const std::shared_ptr<EngineState>& state, const ErrorInfoContent& content) {
    return new FakeErrorInfo(state, content);
}

}  // namespace brisvane::fakes::detail
