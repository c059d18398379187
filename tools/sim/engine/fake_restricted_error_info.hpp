// The restricted error interface, which the MinGW headers lack. Declared under
// our own name so it cannot clash with the Windows SDK's IRestrictedErrorInfo;
// the vtable and IID are the same, so production code sees an identical object.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace brisvane::fakes {

// {82BA7092-4C88-427D-A7BC-16DD93FEB67E}
inline constexpr GUID kIidRestrictedErrorInfo = {
    0x82ba7092, 0x4c88, 0x427d, {0xa7, 0xbc, 0x16, 0xdd, 0x93, 0xfe, 0xb6, 0x7e}};

struct FakeRestrictedErrorInfoInterface : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                                      BSTR* restricted_description,
                                                      BSTR* capability_sid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};

}  // namespace brisvane::fakes
