// The error object a failing fake call leaves with SetErrorInfo.
//
// What a test can check: the object's own AddRef/Release (it is a tracked
// object of kind ErrorInfo, so "leaked" covers code that calls GetErrorInfo and
// never releases the result), and how many non-null BSTRs it handed out. Whether
// the caller passed each of those to SysFreeString cannot be observed from here:
// oleaut32 offers no hook and caches freed strings. Calls on the error object are
// not written to the call log, so reading it does not disturb call sequences.
#include "fake_engine_state.hpp"
#include "fake_restricted_error_info.hpp"

namespace brisvane::fakes::detail {
namespace {

class FakeErrorInfo final : public IErrorInfo, public FakeRestrictedErrorInfoInterface, public Tracked {
public:
    FakeErrorInfo(std::shared_ptr<EngineState> s, ErrorInfoContent content)
        : Tracked(std::move(s), ObjectKind::ErrorInfo), content_(std::move(content)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IErrorInfo)))
            *ppv = static_cast<IErrorInfo*>(this);
        else if (content_.restricted && IsEqualIID(riid, kIidRestrictedErrorInfo))
            *ppv = static_cast<FakeRestrictedErrorInfoInterface*>(this);
        else
            return E_NOINTERFACE;
        add_ref();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

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

    HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                              BSTR* restricted_description, BSTR* capability_sid) override {
        if (description == nullptr || error == nullptr || restricted_description == nullptr ||
            capability_sid == nullptr)
            return E_POINTER;
        *error = content_.restricted_error;
        hand_out(description, content_.description);
        hand_out(restricted_description, content_.restricted_description);
        hand_out(capability_sid, content_.capability_sid);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) override {
        return hand_out(reference, content_.reference);
    }

private:
    // An empty text is handed out as a null BSTR and not counted.
    HRESULT hand_out(BSTR* out, const std::wstring& text) {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (text.empty()) return S_OK;
        *out = SysAllocString(text.c_str());
        if (*out == nullptr) return E_OUTOFMEMORY;
        auto guard = state_->lock();
        ++stats.bstrs_handed_out;
        return S_OK;
    }

    ErrorInfoContent content_;
};

}  // namespace

IErrorInfo* new_error_info(const std::shared_ptr<EngineState>& state, const ErrorInfoContent& content) {
    return new FakeErrorInfo(state, content);
}

}  // namespace brisvane::fakes::detail
